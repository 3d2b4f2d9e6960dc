// Which client a first start offers, from the data folders a home holds.
#include "ClientFolders.h"
#include "Names.h"
#include "TestSupport.h"
#include "UserDefaults.h"
#include "WindowSettings.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace cv::configurator;

TEST(FirstStartClient, OfferedFromTheFoldersPresent)
{
    struct Case {
        QStringList folders;
        QString offered;
        QStringList found; // the clients whose data is here
        bool files = false; // files named like the folders: no data
    };
    const QStringList none;
    const Case cases[] = {
        {none, QStringLiteral("Apple Mail"), none},
        {{QStringLiteral(".thunderbird")}, QStringLiteral("Thunderbird"), {QStringLiteral("Thunderbird")}},
        {{QStringLiteral("snap/thunderbird/common/.thunderbird")}, QStringLiteral("Thunderbird"), {QStringLiteral("Thunderbird")}},
        {{QStringLiteral(".var/app/org.mozilla.Thunderbird/.thunderbird")}, QStringLiteral("Thunderbird"), {QStringLiteral("Thunderbird")}},
        // Apple Mail's own data wins, as it always did.
        {{QStringLiteral(".thunderbird"), QStringLiteral("Library/Mail")}, QStringLiteral("Apple Mail"),
         {QStringLiteral("Thunderbird"), QStringLiteral("Apple Mail")}},
        {{QStringLiteral("Documents/Eudora Folder")}, QStringLiteral("Apple Mail"), {QStringLiteral("Eudora 6")}},
        {{QStringLiteral(".thunderbird")}, QStringLiteral("Apple Mail"), none, true},
    };
    for (const Case &c : cases) {
        cv::test::ScopedHome home;
        for (const QString &folder : c.folders)
            ASSERT_TRUE(c.files ? cv::test::writeFile(home.file(folder), "not a folder") : QDir().mkpath(home.file(folder)));
        const QString where = c.folders.join(QLatin1Char(' '));
        EXPECT_EQ(firstStartClient(home.path()), c.offered) << qPrintable(where);
        for (const QString &client : cv::names::clientNames())
            EXPECT_EQ(clientDataFound(client, home.path()), c.found.contains(client))
                << qPrintable(client + QStringLiteral(" with ") + where);
    }
}

TEST(FirstStartClient, OnlyWhatWasNeverStoredTakesTheFirstStartValues)
{
    cv::test::ScopedHome home;
    QDir().mkpath(home.file(QStringLiteral(".thunderbird")));
    cv::platform::UserDefaults defaults(home.file(QStringLiteral("defaults.plist")));

    WindowSettings fresh = loadPreferences(defaults);
    applyFirstStartDefaults(fresh, defaults, home.path());
    EXPECT_EQ(fresh.client, QStringLiteral("Thunderbird"));
    EXPECT_EQ(fresh.destination, QString());

    // A stored choice stays, even "/" and a client with no data here.
    defaults.setString(QLatin1String(keys::kEmailSource), QStringLiteral("Eudora 6"));
    defaults.setString(QLatin1String(keys::kBackupDestination), QStringLiteral("/"));
    WindowSettings stored = loadPreferences(defaults);
    applyFirstStartDefaults(stored, defaults, home.path());
    EXPECT_EQ(stored.client, QStringLiteral("Eudora 6"));
    EXPECT_EQ(stored.destination, QStringLiteral("/"));
}
