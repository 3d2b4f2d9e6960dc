#pragma once
// Helpers shared by the engine tests.

#include "TestSupport.h"

#include <QByteArray>
#include <QStringList>
#include <QTemporaryFile>

#include <cstdio>
#include <random>
#include <utility>
#include <unistd.h>

namespace cv::test {

// HOME as given for the lifetime of the object; the folder need not exist.
class FixedHome
{
public:
    explicit FixedHome(const QByteArray &home) : m_previous(qgetenv("HOME")) { qputenv("HOME", home); }
    ~FixedHome() { qputenv("HOME", m_previous); }

private:
    QByteArray m_previous;
};

// A text of printable ASCII mixed with what shells and encodings trip over:
// line feeds, tabs, quotes, backslashes, multi-byte characters (one of them
// holding the byte 0x81). Never empty, never holding "/", never "." or "..".
inline QString awkwardName(std::mt19937 &random, int maxLength = 24)
{
    static const QStringList extras = QStringLiteral("\n|\t|\r|é|ā|日本|😀|\u00a0|\"|$|`|\\|'|'\n'").split(u'|');
    std::uniform_int_distribution<int> length(1, maxLength), kind(0, 3), ascii(0x20, 0x7e),
        extra(0, int(extras.size()) - 1);
    for (;;) {
        QString name;
        for (int n = length(random); n > 0; --n)
            name += kind(random) == 0 ? extras[extra(random)] : QString(QChar(ascii(random)));
        name.remove(u'/');
        if (!name.isEmpty() && name != QLatin1String(".") && name != QLatin1String(".."))
            return name;
    }
}

// What has tripped up quoting before, then `count` awkward names.
inline QStringList awkwardSamples(unsigned seed, int count, int maxLength = 24)
{
    QStringList names = {QStringLiteral("Backup $(touch pwned)"), QStringLiteral("My \"Mail\""),
                         QStringLiteral("line\nfeed"), QStringLiteral("back\\slash"), QStringLiteral("back\\ slash"),
                         QStringLiteral("\\'\n'"), QStringLiteral("~tilde"), QStringLiteral("#hash"),
                         QStringLiteral("!bang"), QStringLiteral("[ab]"), QStringLiteral("{a,b}"), QStringLiteral("it's"),
                         QStringLiteral("`id`"), QStringLiteral("$HOME"), QStringLiteral(" lead and trail "),
                         QStringLiteral("*"), QStringLiteral("tab\there"), QStringLiteral("x'\n'y"),
                         QStringLiteral("Sauvegardes ā é 日本 😀"), QStringLiteral("-rf"),
                         QStringLiteral("a/b c"), QStringLiteral("'"), QStringLiteral("\\")};
    std::mt19937 random(seed);
    for (int i = 0; i < count; ++i)
        names += awkwardName(random, maxLength);
    return names;
}

} // namespace cv::test
