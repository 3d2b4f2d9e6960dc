#include "SaveTransaction.h"

#include "Log.h"
#include "PropertyList.h"
#include "UniqueFd.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>

namespace cv::configurator {

SaveTransaction::SaveTransaction(platform::UserDefaults &defaults, TMCrontabModifier &crontab, const QStringList &files)
    : m_defaults(defaults)
    , m_crontab(crontab)
    , m_settings(defaults.snapshot())
{
    for (const QString &path : files)
        m_files.push_back(stateOf(path));
}

void SaveTransaction::crontabChanged()
{
    // The first change counts: it found the crontab as it was before the save.
    if (!m_crontabChanged)
        m_crontabBefore = m_crontab.crontabBefore();
    m_crontabChanged = true;
}

SaveTransaction::FileState SaveTransaction::stateOf(const QString &path)
{
    FileState state;
    state.path = path;
    struct stat info {};
    const QByteArray native = QFile::encodeName(path);
    if (::lstat(native.constData(), &info) != 0)
        return state;
    state.kind = FileState::Other;
    // Never wait on a FIFO or a device that stands where a file should.
    const UniqueFd fd(::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    QFile file;
    if (fd && ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode)
        && file.open(fd.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) {
        state.bytes = file.readAll();
        state.kind = file.error() == QFileDevice::NoError ? FileState::Regular : FileState::Other;
    }
    return state;
}

bool SaveTransaction::putBack(const FileState &before)
{
    const FileState now = stateOf(before.path);
    switch (before.kind) {
    case FileState::Missing:
        if (now.kind == FileState::Missing || QFile::remove(before.path))
            return true;
        break;
    case FileState::Regular:
        if ((now.kind == FileState::Regular && now.bytes == before.bytes)
            || platform::writeFileAtomically(before.path, before.bytes))
            return true;
        break;
    case FileState::Other:
        return true;
    }
    platform::NSLog(QStringLiteral("Could not put '%1' back as it was before the failed save.").arg(before.path));
    return false;
}

void SaveTransaction::commit()
{
    for (const QString &line : std::as_const(m_pendingLog))
        platform::NSLog(line);
    m_pendingLog.clear();
}

bool SaveTransaction::rollBack()
{
    m_pendingLog.clear();
    m_defaults.restore(m_settings);
    bool all = true;
    for (const FileState &file : m_files)
        all = putBack(file) && all;
    if (m_crontabChanged) {
        all = m_crontab.restore(m_crontabBefore) && all;
        m_crontabChanged = false;
    }
    return all;
}

} // namespace cv::configurator
