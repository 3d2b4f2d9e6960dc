#pragma once
// Helpers shared by the engine tests.

#include <QByteArray>
#include <QStringList>
#include <QTemporaryFile>

#include <cstdio>
#include <random>
#include <fcntl.h>
#include <unistd.h>

namespace cv::test {

// Sends this process's standard error (where log lines go) to a file for the
// lifetime of the object; text() returns what was written so far.
class CapturedStderr
{
public:
    CapturedStderr()
    {
        m_file.open();
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        ::dup2(m_file.handle(), STDERR_FILENO);
    }
    ~CapturedStderr() { restore(); }
    CapturedStderr(const CapturedStderr &) = delete;
    CapturedStderr &operator=(const CapturedStderr &) = delete;

    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }
    QByteArray text()
    {
        std::fflush(stderr);
        m_file.seek(0);
        return m_file.readAll();
    }

private:
    QTemporaryFile m_file;
    int m_saved = -1;
};

// A text of printable ASCII mixed with what shells and encodings trip over:
// line feeds, tabs, quotes, backslashes, multi-byte characters (one of them
// holding the byte 0x81). Never empty, never holding "/".
inline QString awkwardName(std::mt19937 &random, int maxLength = 24)
{
    static const QStringList extras = {QStringLiteral("\n"), QStringLiteral("\t"), QStringLiteral("\r"),
                                       QStringLiteral("é"), QStringLiteral("ā"), QStringLiteral("日本"),
                                       QStringLiteral("😀"), QStringLiteral("\u00a0"), QStringLiteral("\""),
                                       QStringLiteral("$"), QStringLiteral("`"), QStringLiteral("\\"),
                                       QStringLiteral("'"), QStringLiteral("'\n'")};
    std::uniform_int_distribution<int> length(1, maxLength);
    std::uniform_int_distribution<int> kind(0, 3);
    std::uniform_int_distribution<int> ascii(0x20, 0x7e);
    std::uniform_int_distribution<int> extra(0, int(extras.size()) - 1);
    for (;;) {
        QString name;
        for (int n = length(random); n > 0; --n)
            name += kind(random) == 0 ? extras[extra(random)] : QString(QChar(ascii(random)));
        name.remove(u'/');
        if (!name.isEmpty() && name != QLatin1String(".") && name != QLatin1String(".."))
            return name;
    }
}

} // namespace cv::test
