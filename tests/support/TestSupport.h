#pragma once
// Shared helpers for the test programs: a private HOME per test, file helpers
// and a way to run a program and collect what it printed.

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QVariantMap>

#include "UniqueFd.h"

#include <memory>

namespace cv::test {

// Points HOME at a fresh folder for the lifetime of the object and restores
// the previous HOME afterwards.
class ScopedHome
{
public:
    ScopedHome();
    ~ScopedHome();
    ScopedHome(const ScopedHome &) = delete;
    ScopedHome &operator=(const ScopedHome &) = delete;

    const QString &path() const { return m_path; }
    // path() + "/" + relative
    QString file(const QString &relative) const;

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    QByteArray m_previous;
};

// Sends this process's standard error, where log lines go, to a file until
// take(), which gives back what was written and restores it.
class CapturedStderr
{
public:
    CapturedStderr();
    ~CapturedStderr() { take(); }
    CapturedStderr(const CapturedStderr &) = delete;
    CapturedStderr &operator=(const CapturedStderr &) = delete;

    QByteArray take();
    // The log messages without their time stamp and process prefix.
    QStringList takeMessages();

private:
    QTemporaryFile m_file;
    UniqueFd m_saved; // the standard error to put back
};

bool writeFile(const QString &path, const QByteArray &bytes); // creates parent folders
QByteArray readFile(const QString &path);

struct RunResult {
    int exitCode = -1;
    bool crashed = false;
    bool timedOut = false;
    QByteArray out;
    QByteArray err;
};

// Runs a program with an explicit argument list and waits for it.
RunResult runProgram(const QString &program, const QStringList &arguments,
                     const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                     int timeoutMs = 60000, const QByteArray &input = {});

// Every entry under root, relative, with its content in hex; sorted, so two
// trees compare as lists.
QStringList treeListing(const QString &root);
// The same for a backup: without the earlier versions kept beside the copy.
QStringList mirrorListing(const QString &destination);

// The helper program of the test suite (see tools/TestTool.cpp).
QString testTool();

// What the configurator leaves for the engine: the status sentence in the
// settings file and, unless config is empty, the configuration file.
bool writeEngineSettings(const QString &status, const QVariantMap &config = {});

// The environment for an engine run in the current HOME: the given platform,
// no inherited display unless the platform needs it, and the folder of
// stand-in commands first on PATH when one is given (the engine then keeps
// those and does not add its own).
QProcessEnvironment engineEnvironment(const QString &platform, const QString &standinFolder = {});

} // namespace cv::test
