#include "TMAboutBox.h"

#include "DesktopFit.h"
#include "PropertyList.h"
#include "ScreenFrame.h"

#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

namespace cv::configurator::windows {

TMAboutBox::TMAboutBox(const QString &bundleContents, QObject *parent)
    : QObject(parent)
    , m_bundleContents(bundleContents.isEmpty() ? bundleContentsFolder() : bundleContents)
{
    m_infoPlist = platform::readDictionaryFile(m_bundleContents + QStringLiteral("/Info.plist"))
                      .value_or(QVariantMap());

    m_aboutWindow = new QWidget(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    m_aboutWindow->setObjectName(QStringLiteral("aboutWindow"));
    m_aboutWindow->setFixedSize(kContentWidth, kContentHeight);

    // In the order of the layout: the background lies under everything, the
    // badge on top.
    addImageView(QStringLiteral("splash_bkg.png"), 0, 0, 400, 250)->setObjectName(QStringLiteral("background"));
    addImageView(m_infoPlist.value(QStringLiteral("CFBundleIconFile")).toString(), 20, 102, 128, 128)
        ->setObjectName(QStringLiteral("icon"));

    m_appNameTextField = addTextField(179, 213, 207, 20);
    m_appNameTextField->setObjectName(QStringLiteral("appNameTextField"));
    // The layout's sizes are points of a 72-dpi screen, one point a pixel;
    // fonts are sized in pixels too so the texts fit their frames.
    QFont nameFont(QStringLiteral("Lucida Grande"));
    nameFont.setPixelSize(12);
    nameFont.setBold(true);
    m_appNameTextField->setFont(nameFont);
    // The background is a fixed light picture: the texts keep their own
    // colours whatever the desktop palette is.
    setFixedTextColours(m_appNameTextField, Qt::black, Qt::black);
    m_appNameTextField->setText(m_infoPlist.value(QStringLiteral("CFBundleName")).toString());

    m_aboutContent = addTextField(179, 94, 198, 111);
    m_aboutContent->setObjectName(QStringLiteral("aboutContent"));
    QFont smallFont = m_aboutContent->font();
    smallFont.setPixelSize(11);
    m_aboutContent->setFont(smallFont);
    // Grey, a third of the way to white: the standard 50 % grey reads at
    // only about 3:1 on this light background.
    const QColor grey = QColor::fromRgbF(0.33f, 0.33f, 0.33f);
    setFixedTextColours(m_aboutContent, grey, grey);
    m_aboutContent->setWordWrap(true);
    m_aboutContent->setText(QString());

    addImageView(QStringLiteral("universal.png"), 280, 20, 95, 60)->setObjectName(QStringLiteral("badge"));

    m_statusTimer = new QTimer(this);
    m_statusTimer->setSingleShot(true);
    m_statusTimer->setTimerType(Qt::PreciseTimer);
    m_statusTimer->setInterval(m_closeInterval);
    connect(m_statusTimer, &QTimer::timeout, this, [this] { closeWindow(m_statusTimer); });
    addCloseShortcuts(m_aboutWindow, [this] { closeWindow(nullptr); });
}

TMAboutBox::~TMAboutBox()
{
    m_statusTimer->stop();
    delete m_aboutWindow.data();
}

QLabel *TMAboutBox::addImageView(const QString &resource, int x, int y, int width, int height)
{
    auto *view = new QLabel(m_aboutWindow);
    view->setGeometry(viewRectToQt(QRectF(x, y, width, height), kContentHeight));
    view->setAlignment(Qt::AlignCenter);
    const QPixmap picture(m_bundleContents + QStringLiteral("/Resources/") + resource);
    if (!resource.isEmpty() && !picture.isNull()) {
        // Scaled down proportionally when larger than its frame.
        view->setPixmap(picture.size().boundedTo(QSize(width, height)) == picture.size()
                            ? picture
                            : picture.scaled(width, height, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    }
    return view;
}

QLabel *TMAboutBox::addTextField(int x, int y, int width, int height)
{
    // Not editable, no bezel, no background, left-aligned.
    auto *field = new QLabel(m_aboutWindow);
    field->setGeometry(viewRectToQt(QRectF(x, y, width, height), kContentHeight));
    field->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    field->setFrameShape(QFrame::NoFrame);
    field->setAutoFillBackground(false);
    field->setTextInteractionFlags(Qt::NoTextInteraction);
    return field;
}

void TMAboutBox::supplyConfiguration(const QVariantMap &configuration)
{
    m_appNameTextField->setText(configuration.value(QStringLiteral("Application Name")).toString());
    m_aboutContent->setText(configuration.value(QStringLiteral("About Content")).toString());
    QWidget *attachment = qobject_cast<QWidget *>(
        configuration.value(QStringLiteral("Attachment Window")).value<QObject *>());
    if (m_attachmentWindow && m_attachmentWindow != attachment)
        disconnect(m_attachmentWindow, &QObject::destroyed, this, nullptr);
    m_attachmentWindow = attachment;
    // The sheet hangs from its window as a child; it must not go down with it.
    if (attachment)
        connect(attachment, &QObject::destroyed, this, &TMAboutBox::detachSheet, Qt::UniqueConnection);
}

void TMAboutBox::detachSheet()
{
    if (!m_aboutWindow || !m_aboutWindow->parentWidget())
        return;
    m_aboutWindow->hide();
    m_aboutWindow->setParent(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    m_aboutWindow->setFixedSize(kContentWidth, kContentHeight);
}

void TMAboutBox::placeSheet()
{
    // A sheet hangs from the top of its window, centred across it.
    if (!m_attachmentWindow)
        return;
    const QRect parent = m_attachmentWindow->geometry();
    m_aboutWindow->move(parent.x() + (parent.width() - kContentWidth) / 2, parent.y());
}

void TMAboutBox::displayWindow(QObject *)
{
    if (!m_aboutWindow)
        return;
    // Window-modal on the attachment window only; without one it is an
    // ordinary window.
    const bool visible = m_aboutWindow->isVisible();
    if (m_aboutWindow->parentWidget() != m_attachmentWindow.data()) {
        m_aboutWindow->hide();
        m_aboutWindow->setParent(m_attachmentWindow, Qt::Sheet | Qt::Dialog | Qt::CustomizeWindowHint
                                                          | Qt::WindowTitleHint);
        m_aboutWindow->setFixedSize(kContentWidth, kContentHeight);
    }
    m_aboutWindow->setWindowModality(m_attachmentWindow ? Qt::WindowModal : Qt::NonModal);
    if (!visible || !m_aboutWindow->isVisible()) {
        placeSheet();
        m_aboutWindow->show();
    }
    m_aboutWindow->raise();
    // Active, so that Escape and Ctrl+W reach it.
    m_aboutWindow->activateWindow();

    if (m_timerInUse == 1 && m_statusTimer->isActive())
        m_statusTimer->stop();
    m_statusTimer->start(m_closeInterval);
    m_timerInUse = 1;
}

void TMAboutBox::closeWindow(QObject *)
{
    didEndSheet(m_aboutWindow, 0, nullptr);
    m_statusTimer->stop();
    m_timerInUse = 0;
}

void TMAboutBox::didEndSheet(QWidget *sheet, int, void *)
{
    if (sheet)
        sheet->hide();
    // Detached while hidden, so closing the main window never takes it along.
    if (sheet == m_aboutWindow)
        detachSheet();
}

} // namespace cv::configurator::windows
