// The Off-site pane with real restic and the real keyring, offscreen: what
// Check says, that nothing is saved before a check passes, and Create.
#include "MyPrefsWindowController.h"
#include "OffsitePane.h"
#include "OffsiteRecord.h"
#include "OffsiteTestSupport.h"
#include "SecretStore.h"
#include "UserDefaults.h"

#include <QCheckBox>
#include <QMainWindow>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>

using namespace cv;
using cv::configurator::windows::MyPrefsWindowController;

namespace {

[[maybe_unused]] auto *const keyring = ::testing::AddGlobalTestEnvironment(new test::KeyringEnvironment);

template <typename T> T *child(QWidget *view, const char *name)
{
    auto *widget = view->findChild<T *>(QLatin1String(name));
    EXPECT_TRUE(widget) << name;
    return widget;
}

class OffsitePaneTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        defaults = std::make_unique<platform::UserDefaults>(home.file(QStringLiteral("defaults.plist")));
        prefs.setDefaults(defaults.get());
        prefs.showWindow(nullptr);
        prefs.displayViewForIdentifier(QStringLiteral("Off-site"), false);
        view = prefs.offsitePane()->view();
    }
    // Types, presses a button and waits for the pane's answer.
    QString press(const char *button)
    {
        QSignalSpy done(prefs.offsitePane(), &configurator::windows::OffsitePane::finished);
        child<QPushButton>(view, button)->click();
        if (done.isEmpty())
            done.wait(40000);
        return child<QLabel>(view, "checkResultLabel")->text();
    }
    void type(const char *field, const QString &text) { child<QLineEdit>(view, field)->setText(text); }
    platform::UserDefaults stored() const { return platform::UserDefaults(defaults->path()); }

    test::ScopedHome home;
    std::unique_ptr<platform::UserDefaults> defaults;
    MyPrefsWindowController prefs;
    QWidget *view = nullptr;
};

TEST_F(OffsitePaneTest, NothingIsSavedUntilACheckPassesThenCreateMakesTheRepository)
{
    const QString repository = home.file(QStringLiteral("offsite repo"));
    child<QCheckBox>(view, "offsiteEnabledBox")->click();
    type("repositoryField", repository);
    type("passwordField", QStringLiteral("pw-one"));
    EXPECT_EQ(press("checkButton"),
              QStringLiteral("There is no restic repository there yet. \u201cCreate\u201d makes one with this password."));
    EXPECT_FALSE(stored().hasKey(QLatin1String(offsite::kRepositoryKey)));
    EXPECT_FALSE(stored().boolean(QLatin1String(offsite::kEnabledKey)));
    EXPECT_FALSE(QFileInfo::exists(repository));
    EXPECT_TRUE(child<QPushButton>(view, "createButton")->isVisibleTo(view));

    type("confirmField", QStringLiteral("pw-other"));
    EXPECT_EQ(press("createButton"), QStringLiteral("The two passwords differ; type the same one twice."));
    EXPECT_FALSE(QFileInfo::exists(repository));
    type("confirmField", QStringLiteral("pw-one"));
    EXPECT_EQ(press("createButton"), QStringLiteral("Created a new repository there. Saved."));
    EXPECT_TRUE(QFileInfo::exists(repository + QStringLiteral("/config")));
    EXPECT_EQ(stored().string(QLatin1String(offsite::kRepositoryKey)), repository);
    EXPECT_TRUE(stored().boolean(QLatin1String(offsite::kEnabledKey)));
    offsite::LibsecretStore secrets;
    EXPECT_EQ(secrets.lookup(repository).password, QStringLiteral("pw-one"));
    // The password never lands in the settings.
    EXPECT_FALSE(test::readFile(defaults->path()).contains("pw-one"));
    EXPECT_TRUE(prefs.window()->grab().save(QStringLiteral(CV_BUILD_DIR "/offsite_pane.png")));

    // A wrong password for it changes nothing stored.
    type("passwordField", QStringLiteral("nope"));
    EXPECT_EQ(press("checkButton"), QStringLiteral("The password does not open this repository."));
    EXPECT_EQ(secrets.lookup(repository).password, QStringLiteral("pw-one"));
    // The stored password serves a check with an empty field.
    type("passwordField", {});
    EXPECT_EQ(press("checkButton"), QStringLiteral("Found a repository that this password opens. Saved."));

    // Turning it off needs no check.
    child<QCheckBox>(view, "offsiteEnabledBox")->click();
    EXPECT_FALSE(stored().boolean(QLatin1String(offsite::kEnabledKey), true));
}

} // namespace
