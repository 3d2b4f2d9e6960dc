#pragma once
// Local sockets between the programs of one user and home (the end of a run
// told to the agent, an errors bubble handed over between engines). They live
// in the abstract namespace, so no file is left behind, under a name made
// from the user id and home; both ends check that the other is the same user.

#include "BasicResult.h"
#include "UniqueFd.h"

#include <QByteArray>
#include <QString>

#include <chrono>

namespace cv::platform {

// "\0<service>/<uid>/<hash of the home>": short whatever the home's length.
QByteArray sessionSocketName(const char *service, const QString &home);

// A non-blocking socket listening on `name`, or errno (EADDRINUSE: someone
// listens there already).
cv::BasicResult<cv::UniqueFd, int> listenOn(const QByteArray &name, int backlog);

// The next waiting connection from this user; connections of other users are
// refused on the way. Invalid when none waits.
cv::UniqueFd acceptFromThisUser(int listening);

// A socket connected to `name` whose other end is this user; invalid when
// nobody of this user listens there.
cv::UniqueFd connectTo(const QByteArray &name, bool nonBlocking);

// Up to `size` bytes the peer sends at once; a peer silent for `wait` is not
// waited on further.
QByteArray readPromptly(int fd, qsizetype size, std::chrono::milliseconds wait = std::chrono::milliseconds(500));

} // namespace cv::platform
