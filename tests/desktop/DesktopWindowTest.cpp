// The configurator's windows on a real X server as a Linux user meets them:
// the first start in a home that only has Thunderbird, text that stays
// readable under a light and a dark palette (measured on screenshots), no
// text cut off at the smallest window size or with a larger font, and the
// keys and dialogs of the secondary windows.
#include "ConfiguratorTestSupport.h"
#include "Contrast.h"
#include "ScreenGrab.h"

#include "ClientPopUp.h"
#include "Home.h"
#include "LastRun.h"
#include "MyPrefsWindowController.h"
#include "Names.h"
#include "PropertyList.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <QTimeEdit>


#include <cmath>
#include <map>

#include <gtest/gtest.h>

using namespace cv::test;
using cv::configurator::windows::MyPrefsWindowController;

namespace {

const QString kShots = QStringLiteral(CV_SCREENSHOT_DIR "/");

// The contrast of the text in `area` of `shot`: between the area's most
// frequent colour, its background, and the pixel that stands out most from
// it, the core of a glyph.
double textContrast(const QImage &shot, const QRect &area)
{
    std::map<QRgb, int> counts;
    const QRect r = area.intersected(shot.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            ++counts[shot.pixel(x, y) | 0xff000000u];
    if (counts.empty())
        return 0;
    const QRgb background =
        std::max_element(counts.begin(), counts.end(), [](auto &a, auto &b) { return a.second < b.second; })->first;
    double best = 1;
    for (const auto &[colour, n] : counts)
        best = std::max(best, cv::test::contrast(QColor::fromRgb(colour), QColor::fromRgb(background)));
    return best;
}

QImage grabWindow(QWidget *window)
{
    return cv::test::grabScreen(window->frameGeometry());
}

// Where each enabled, visible text of `window` is drawn, in the coordinates
// of a grab of its frame, with what it says.
std::vector<std::pair<QString, QRect>> textAreas(QWidget *window)
{
    std::vector<std::pair<QString, QRect>> out;
    const QPoint origin = window->frameGeometry().topLeft();
    auto add = [&](QWidget *w, const QString &text, QRect local) {
        if (text.isEmpty() || !w->isVisible() || !w->isEnabled() || local.isEmpty())
            return;
        out.emplace_back(text, QRect(w->mapToGlobal(local.topLeft()) - origin, local.size()));
    };
    for (QWidget *w : window->findChildren<QWidget *>()) {
        if (w->window() != window)
            continue;
        if (auto *label = qobject_cast<QLabel *>(w)) {
            add(w, label->text(), label->contentsRect());
        } else if (auto *box = qobject_cast<QCheckBox *>(w)) {
            QStyleOptionButton option;
            option.initFrom(box);
            option.text = box->text();
            add(w, box->text(), box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box));
        } else if (auto *button = qobject_cast<QPushButton *>(w)) {
            add(w, button->text(), button->rect().adjusted(4, 4, -4, -4));
        } else if (auto *combo = qobject_cast<QComboBox *>(w)) {
            add(w, combo->currentText(), combo->rect().adjusted(4, 4, -24, -4));
        } else if (auto *edit = qobject_cast<QLineEdit *>(w)) {
            add(w, edit->text().isEmpty() ? edit->placeholderText() : edit->text(), edit->rect().adjusted(3, 3, -3, -3));
        } else if (auto *bar = qobject_cast<QMenuBar *>(w)) {
            for (QAction *menu : bar->actions())
                add(w, menu->text(), bar->actionGeometry(menu));
        }
    }
    return out;
}

void expectReadable(QWidget *window, const QString &shotName, const char *what)
{
    const QImage shot = grabWindow(window);
    if (!shotName.isEmpty()) {
        EXPECT_TRUE(shot.save(kShots + shotName));
    }
    const auto areas = textAreas(window);
    EXPECT_FALSE(areas.empty()) << what;
    for (const auto &[text, rect] : areas)
        EXPECT_GE(textContrast(shot, rect), 4.5) << what << ": \"" << qPrintable(text) << "\"";
}

QPalette darkPalette()
{
    QPalette p(QColor(0x3a, 0x3a, 0x3a), QColor(0x2b, 0x2b, 0x2b));
    p.setColor(QPalette::Highlight, QColor(0x3d, 0x7a, 0xc8));
    p.setColor(QPalette::HighlightedText, Qt::white);
    return p;
}

// Every text of `window` gets at least the room its size hint asks for.
void expectNothingClipped(QWidget *window, const char *what)
{
    for (QWidget *w : window->findChildren<QWidget *>()) {
        if (!w->isVisible() || w->window() != window)
            continue;
        const QString name = w->objectName();
        if (auto *label = qobject_cast<QLabel *>(w); label && label->text().isEmpty())
            continue; // a picture
        if (auto *label = qobject_cast<QLabel *>(w); label && label->wordWrap()) {
            EXPECT_GE(label->height(), label->heightForWidth(label->width())) << what << ": " << qPrintable(name);
        } else if (qobject_cast<QLabel *>(w) || qobject_cast<QAbstractButton *>(w) || qobject_cast<QTimeEdit *>(w)) {
            const QSize hint = w->sizeHint();
            EXPECT_GE(w->width(), hint.width()) << what << ": " << qPrintable(name);
            EXPECT_GE(w->height(), hint.height()) << what << ": " << qPrintable(name);
        }
    }
}

// No two controls of `window` share a pixel (a control's own parts aside).
void expectNoOverlap(QWidget *window, const char *what)
{
    QList<QWidget *> controls;
    for (QWidget *w : window->findChildren<QWidget *>()) {
        const bool control = qobject_cast<QLabel *>(w) || qobject_cast<QAbstractButton *>(w)
            || qobject_cast<QComboBox *>(w) || qobject_cast<QLineEdit *>(w) || qobject_cast<QAbstractSpinBox *>(w);
        QWidget *parent = w->parentWidget();
        const bool part = qobject_cast<QComboBox *>(parent) || qobject_cast<QAbstractSpinBox *>(parent);
        if (control && !part && w->isVisible() && w->window() == window)
            controls << w;
    }
    for (qsizetype i = 0; i < controls.size(); ++i) {
        const QRect a(controls[i]->mapTo(window, QPoint()), controls[i]->size());
        for (qsizetype j = i + 1; j < controls.size(); ++j) {
            const QRect b(controls[j]->mapTo(window, QPoint()), controls[j]->size());
            EXPECT_FALSE(a.intersects(b)) << what << ": " << qPrintable(controls[i]->objectName()) << " and "
                                          << qPrintable(controls[j]->objectName());
        }
    }
}

QWidget *preferencesWindow() { return MyPrefsWindowController::sharedPrefsWindowController()->window(); }

QWidget *aboutWindow(WindowFixture &f)
{
    f.find<QAction>("aboutAction")->trigger();
    return f.window()->findChild<QWidget *>(QStringLiteral("aboutWindow"));
}

// The shared preferences window goes before the application object.
class PreferencesTeardown : public ::testing::Environment
{
public:
    void TearDown() override { delete MyPrefsWindowController::sharedPrefsWindowController(); }
};
const auto *const kTeardown = ::testing::AddGlobalTestEnvironment(new PreferencesTeardown);

} // namespace

TEST(DesktopWindows, FirstStartInAHomeWithOnlyThunderbird)
{
    WindowFixture f;
    ASSERT_TRUE(QDir().mkpath(f.home.file(QStringLiteral(".thunderbird/k3x9.default-release"))));
    f.controller->awakeFromNib();
    f.window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(f.window()));

    auto *popUp = f.find<QComboBox>("sourcePopUpButton");
    EXPECT_EQ(popUp->currentText(), QStringLiteral("Thunderbird"));
    EXPECT_EQ(f.destination()->text(), QString());
    EXPECT_FALSE(f.destination()->placeholderText().isEmpty());
    // The others are marked, keep their exact titles and stay selectable.
    for (int i = 0; i < popUp->count(); ++i) {
        const QString title = popUp->itemText(i);
        const bool found = title == QLatin1String("Thunderbird");
        EXPECT_EQ(popUp->itemData(i, cv::configurator::windows::kClientMissingRole).toBool(), !found) << qPrintable(title);
        EXPECT_EQ(popUp->itemData(i, Qt::ToolTipRole).toString(),
                  found ? QString() : QStringLiteral("not found on this computer"));
        EXPECT_TRUE(cv::names::clientNames().contains(title));
    }
    EXPECT_TRUE(grabWindow(f.window()).save(kShots + QStringLiteral("main_window_first_start.png")));

    popUp->showPopup();
    QWidget *list = popUp->view()->window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(list));
    const QRect both = f.window()->frameGeometry().united(list->frameGeometry());
    EXPECT_TRUE(cv::test::grabScreen(both).save(kShots + QStringLiteral("client_pop_up.png")));
    // The mark is drawn beside the title, not over it.
    const QModelIndex mail = popUp->model()->index(0, 0);
    EXPECT_GT(popUp->view()->itemDelegate()->sizeHint(QStyleOptionViewItem(), mail).width(),
              popUp->view()->itemDelegate()->sizeHint(QStyleOptionViewItem(), popUp->model()->index(5, 0)).width());
    popUp->hidePopup();

    // Saving now asks for a destination instead of backing up into "/".
    f.day("mondayButton")->setChecked(true);
    f.controller->save(nullptr);
    ASSERT_EQ(f.dialogs.alerts.size(), 1);
    EXPECT_TRUE(f.dialogs.alerts.first().startsWith(QStringLiteral("Configuration Error")));

    // A path longer than the field shows whole in its tooltip.
    const QString deep = f.home.file(QStringLiteral("Backups/Mail/").repeated(12));
    f.destination()->setText(deep);
    EXPECT_EQ(f.destination()->toolTip(), deep);
}

TEST(DesktopWindows, EveryTextReadableUnderALightAndADarkPalette)
{
    const QPalette original = QApplication::palette();
    for (const bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark palette" : "light palette");
        QApplication::setPalette(dark ? darkPalette() : QApplication::style()->standardPalette());
        const QString suffix = dark ? QStringLiteral("_dark.png") : QString();
        WindowFixture f;
        f.controller->awakeFromNib();
        f.destination()->setText(f.home.path());
        f.window()->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(f.window()));
        expectReadable(f.window(), dark ? QStringLiteral("main_window_dark.png") : QString(), "main window");

        f.controller->showPreferenceWindow(nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(preferencesWindow()));
        expectReadable(preferencesWindow(), dark ? QStringLiteral("preferences_dark.png") : QString(), "preferences");
        preferencesWindow()->close();

        QWidget *about = aboutWindow(f);
        ASSERT_NE(about, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(about));
        expectReadable(about, dark ? QStringLiteral("about_box_dark.png") : QString(), "about box");
        about->hide();
    }
    QApplication::setPalette(original);
}

// At 14 pt a run fails for a long reason a week after the last backup: the
// reason takes two lines, whole in the tooltip, "Backups are overdue." stays
// in sight, and the window neither grows nor squashes its fields. Every text
// gets its size hint and nothing overlaps, also at the smallest size; both
// preference panes fit their texts in a window of fixed size, opened centred.
TEST(DesktopWindows, ALongFailureReasonAtFourteenPointsFitsBesideEverythingElse)
{
    const QFont original = QApplication::font();
    QFont font = original;
    font.setPointSizeF(14);
    QApplication::setFont(font);
    WindowFixture f;
    QDir().mkpath(cv::supportFolder());
    ASSERT_TRUE(touchAt(cv::markerFilePath(), QDateTime::currentDateTime().addDays(-7)));
    f.controller->awakeFromNib();
    f.fillIn(f.home.path(), {"mondayButton", "wednesdayButton", "fridayButton"}, QTime(21, 30));
    f.controller->save(nullptr);
    f.window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(f.window()));
    QTest::qWait(200);
    auto *warning = f.find<QLabel>("runWarning");
    ASSERT_EQ(warning->text(), QStringLiteral("Backups are overdue."));
    const QSize size = f.window()->size();
    const auto fieldFrames = [&] {
        QList<QRect> frames;
        for (const char *name : {"sourcePopUpButton", "destinationTextField", "backupTime", "saveButton"})
            frames << f.find<QWidget>(name)->geometry();
        return frames;
    };
    const QList<QRect> fields = fieldFrames();

    QString reason = QStringLiteral("Backup failed.");
    while (reason.size() < 1341)
        reason += QStringLiteral(" ditto: %1/.thunderbird/k3x9.default/Mail/Local Folders/Archives.sbd/%2: "
                                 "Input/output error.").arg(f.home.path()).arg(reason.size());
    cv::LastRun failed;
    failed.time = QDateTime::currentDateTime().addSecs(-3600);
    failed.reason = reason;
    ASSERT_TRUE(cv::platform::writeDictionaryXmlAtomically(cv::supportFolder() + QStringLiteral("lastrun.plist"),
                                                           failed.toDictionary()));
    f.controller->executionComplete();
    QTest::qWait(200);
    EXPECT_EQ(f.window()->size(), size) << "the window grew";
    EXPECT_EQ(fieldFrames(), fields) << "the fields moved or were squashed";

    for (const bool smallest : {false, true}) {
        const char *what = smallest ? "main window at its minimum size" : "main window";
        if (smallest) {
            f.window()->resize(f.window()->minimumSize());
            QTest::qWait(200);
            EXPECT_EQ(f.window()->size(), f.window()->minimumSize());
        }
        const QStringList lines = warning->text().split(QLatin1Char('\n'));
        ASSERT_EQ(lines.size(), 3) << qPrintable(warning->text());
        EXPECT_TRUE(lines[0].startsWith(QStringLiteral("Last run failed on ")));
        EXPECT_TRUE(lines[1].endsWith(QChar(0x2026))) << qPrintable(lines[1]);
        EXPECT_EQ(lines[2], QStringLiteral("Backups are overdue."));
        for (const QString &line : lines)
            EXPECT_LE(warning->fontMetrics().horizontalAdvance(line), warning->contentsRect().width()) << what;
        EXPECT_TRUE(warning->toolTip().endsWith(reason + QStringLiteral("\nBackups are overdue.")));
        expectNothingClipped(f.window(), what);
        expectNoOverlap(f.window(), what);
        if (!smallest) {
            EXPECT_TRUE(grabWindow(f.window()).save(kShots + QStringLiteral("main_window_long_reason.png")));
        }
    }

    f.controller->showPreferenceWindow(nullptr);
    auto *preferences = MyPrefsWindowController::sharedPrefsWindowController();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(preferences->window()));
    const QPoint centre = preferences->window()->screen()->availableGeometry().center();
    EXPECT_LE((preferences->window()->frameGeometry().center() - centre).manhattanLength(), 4);
    for (const char *pane : {"History", "General"}) {
        preferences->displayViewForIdentifier(QString::fromLatin1(pane), false);
        QTest::qWait(200);
        expectNothingClipped(preferences->window(), pane);
        expectNoOverlap(preferences->window(), pane);
        EXPECT_EQ(preferences->window()->minimumSize(), preferences->window()->maximumSize()) << pane;
    }
    preferences->window()->close();
    QApplication::setFont(original);
}

TEST(DesktopWindows, SecondaryWindowsCloseWithTheirKeysAndKeepTheirDialogsInFront)
{
    WindowFixture f;
    f.controller->awakeFromNib();
    f.window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(f.window()));

    for (const QKeySequence &keys : {QKeySequence(Qt::Key_Escape), QKeySequence(QStringLiteral("Ctrl+W"))}) {
        f.controller->showPreferenceWindow(nullptr);
        QWidget *preferences = preferencesWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(preferences));
        QTest::keySequence(preferences, keys);
        EXPECT_FALSE(preferences->isVisible()) << qPrintable(keys.toString());

        QWidget *about = aboutWindow(f);
        ASSERT_TRUE(QTest::qWaitForWindowActive(about));
        QTest::keySequence(about, keys);
        EXPECT_FALSE(about->isVisible()) << qPrintable(keys.toString());
    }

    // "Check Now" without an update feed: the answer comes at once, in
    // front of the preferences.
    f.controller->showPreferenceWindow(nullptr);
    QWidget *preferences = preferencesWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(preferences));
    preferences->findChild<QPushButton *>(QStringLiteral("checkNowButton"))->click();
    QMessageBox *answer = nullptr;
    for (int i = 0; i < 50 && !answer; ++i) {
        QTest::qWait(20);
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
                answer = box;
    }
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->parentWidget(), preferences);
    EXPECT_TRUE(answer->informativeText().contains(QStringLiteral("No update feed")));
    answer->close();
    preferences->close();
}
