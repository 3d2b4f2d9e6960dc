#pragma once
// The desktop session's environment, recorded by the configurator and taken
// over by an engine that cron started without one.

#include <QString>
#include <QStringList>

namespace cv::platform {

// DISPLAY, WAYLAND_DISPLAY, XAUTHORITY, DBUS_SESSION_BUS_ADDRESS, XDG_RUNTIME_DIR.
const QStringList &sessionVariableNames();

// Writes the variables this process has, one "NAME=value" a line, mode 0600,
// atomically. Values holding a line feed are left out.
bool recordSessionEnvironment(const QString &path);

// When this process has no display, sets the recorded variables it lacks;
// never overrides one it has. A file that is not ours, is writable by others,
// is a link, or lies in a folder that others can write to is ignored: it would
// let another user redirect our display and bus.
// Returns the names it set.
QStringList loadSessionEnvironment(const QString &path);

// Without DBUS_SESSION_BUS_ADDRESS, points it at $XDG_RUNTIME_DIR/bus, else at
// /run/user/<uid>/bus, where such a socket exists.
void ensureSessionBusAddress();

} // namespace cv::platform
