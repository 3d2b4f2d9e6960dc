#include "RBPrefsWindowController.h"

#include "DesktopFit.h"
#include "Log.h"
#include "ScreenFrame.h"
#include "WindowMath.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QGraphicsOpacityEffect>
#include <QLayout>
#include <QMainWindow>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>
#include <QScreen>
#include <QTimer>
#include <QToolBar>

namespace cv::configurator::windows {

namespace {

constexpr int kWindowResizeMs = 200;

// Keeps contentSubview as wide as the content view and at its top; its height
// stays, the bottom margin is the one that gives.
class ContentViewWatcher : public QObject
{
public:
    ContentViewWatcher(QWidget *contentView, QWidget *contentSubview)
        : QObject(contentView), m_subview(contentSubview)
    {
        contentView->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Resize && m_subview) {
            const auto *view = static_cast<QWidget *>(watched);
            m_subview->setGeometry(0, 0, view->width(), m_subview->height());
        }
        return false;
    }

private:
    QPointer<QWidget> m_subview;
};

QGraphicsOpacityEffect *opacityEffect(QWidget *view, qreal initial)
{
    auto *effect = qobject_cast<QGraphicsOpacityEffect *>(view->graphicsEffect());
    if (!effect) {
        effect = new QGraphicsOpacityEffect(view);
        effect->setOpacity(initial);
        view->setGraphicsEffect(effect);
    }
    return effect;
}

} // namespace

void internalInconsistency(const char *message)
{
    platform::NSLog(QString::fromUtf8(message));
    qFatal("%s", message);
}

RBPrefsWindowController::RBPrefsWindowController(QObject *parent)
    : QObject(parent)
{
    m_viewAnimation = new QParallelAnimationGroup(this);
    connect(m_viewAnimation, &QAbstractAnimation::finished, this,
            &RBPrefsWindowController::animationDidEnd);
}

RBPrefsWindowController::~RBPrefsWindowController()
{
    m_viewAnimation->stop();
    delete m_window.data();
}

QString RBPrefsWindowController::nibName() const
{
    return QStringLiteral("Preferences");
}

void RBPrefsWindowController::setupToolbar()
{
}

Qt::KeyboardModifiers RBPrefsWindowController::currentEventModifiers() const
{
    return QGuiApplication::keyboardModifiers();
}

qreal RBPrefsWindowController::screenHeight() const
{
    return m_screenHeight >= 0 ? m_screenHeight : primaryScreenHeight();
}

QIcon RBPrefsWindowController::imageNamed(const QString &name) const
{
    const QString contents = m_bundleContents.isEmpty() ? bundleContentsFolder() : m_bundleContents;
    const QString file = contents + QStringLiteral("/Resources/") + name + QStringLiteral(".png");
    return QFile::exists(file) ? QIcon(file) : QIcon();
}

void RBPrefsWindowController::addView(QWidget *view, const QString &label, const QIcon &image)
{
    if (!view)
        internalInconsistency("Attempted to add a nil view when calling -addView:label:image:.");
    const QString identifier = label;
    m_toolbarIdentifiers.append(identifier);
    m_toolbarViews.insert(identifier, view);

    auto *item = new QAction(image, label, this);
    item->setObjectName(identifier);
    item->setCheckable(true);
    connect(item, &QAction::triggered, this, [this, item] { toggleActivePreferenceView(item); });
    delete m_toolbarItems.value(identifier);
    m_toolbarItems.insert(identifier, item);
}

void RBPrefsWindowController::addView(QWidget *view, const QString &label)
{
    addView(view, label, imageNamed(label));
}

QMainWindow *RBPrefsWindowController::window()
{
    if (!m_window)
        windowDidLoad();
    return m_window;
}

void RBPrefsWindowController::windowDidLoad()
{
    // Titled, closable and miniaturisable; no toolbar toggle.
    auto *window = new QMainWindow(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                                                 | Qt::WindowCloseButtonHint
                                                 | Qt::WindowMinimizeButtonHint);
    window->setContextMenuPolicy(Qt::PreventContextMenu);
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    window->resize(1000, 1000);

    auto *contentView = new QWidget(window);
    contentView->setObjectName(QStringLiteral("contentView"));
    window->setCentralWidget(contentView);
    m_contentSubview = new QWidget(contentView);
    m_contentSubview->setObjectName(QStringLiteral("contentSubview"));
    m_contentSubview->setGeometry(0, 0, 1000, 1000);
    new ContentViewWatcher(contentView, m_contentSubview);
    m_window = window;
    addCloseShortcuts(window, [window] { window->close(); });
}

QList<QWidget *> RBPrefsWindowController::contentSubviews() const
{
    if (!m_contentSubview)
        return {};
    return m_contentSubview->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
}

void RBPrefsWindowController::clearToolbarItems()
{
    if (m_toolbar)
        m_toolbar->clear();
    qDeleteAll(m_toolbarItems);
    m_toolbarItems.clear();
    m_toolbarIdentifiers.clear();
    m_toolbarViews.clear();
}

void RBPrefsWindowController::showWindow(QObject *)
{
    QMainWindow *window = this->window();

    clearToolbarItems();
    setupToolbar();
    if (m_toolbarIdentifiers.isEmpty())
        internalInconsistency("No items were added to the toolbar in -setupToolbar.");

    if (!m_toolbar) {
        m_toolbar = new QToolBar(window);
        m_toolbar->setObjectName(QStringLiteral("RBPreferencesToolbar"));
        m_toolbar->setMovable(false);
        m_toolbar->setFloatable(false);
        m_toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        m_toolbar->toggleViewAction()->setEnabled(false);
        window->addToolBar(Qt::TopToolBarArea, m_toolbar);
    }
    delete m_itemGroup;
    m_itemGroup = new QActionGroup(this);
    m_itemGroup->setExclusive(true);
    for (const QString &identifier : std::as_const(m_toolbarIdentifiers)) {
        QAction *item = m_toolbarItems.value(identifier);
        m_itemGroup->addAction(item);
        m_toolbar->addAction(item);
    }

    const QString first = m_toolbarIdentifiers.first();
    m_toolbarItems.value(first)->setChecked(true);
    displayViewForIdentifier(first, false);

    // Centre on the screen, then bring it to the front as the key window.
    centre();
    window->show();
    window->raise();
    window->activateWindow();
    // The window system adds its frame only once the window is shown.
    QTimer::singleShot(0, this, &RBPrefsWindowController::centre);
}

void RBPrefsWindowController::centre()
{
    QMainWindow *window = m_window;
    if (!window)
        return;
    if (const QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        QRect frame = window->frameGeometry();
        frame.moveCenter(available.center());
        window->move(frame.topLeft());
    }
}

void RBPrefsWindowController::toggleActivePreferenceView(QAction *toolbarItem)
{
    if (toolbarItem)
        displayViewForIdentifier(toolbarItem->objectName(), true);
}

void RBPrefsWindowController::removeSubview(QWidget *view)
{
    view->hide();
    view->setGraphicsEffect(nullptr);
    view->setParent(nullptr);
}

void RBPrefsWindowController::displayViewForIdentifier(const QString &identifier, bool animate)
{
    QWidget *view = m_toolbarViews.value(identifier);
    if (!view)
        return;
    window();

    QWidget *oldView = nullptr;
    const QList<QWidget *> subviews = contentSubviews();
    if (!subviews.isEmpty()) {
        // Anything under the frontmost is left over from an interrupted switch.
        oldView = subviews.last();
        for (QWidget *leftover : subviews) {
            if (leftover != oldView)
                removeSubview(leftover);
        }
    }
    if (view == oldView)
        return;

    // Top-left of contentSubview, at the view's own size. A pane taller than
    // the container would lose its bottom, so the container grows to it.
    if (view->height() > m_contentSubview->height())
        m_contentSubview->resize(m_contentSubview->width(), view->height());
    view->setParent(m_contentSubview);
    view->setGeometry(viewRectToQt(QRectF(0, m_contentSubview->height() - view->height(),
                                          view->width(), view->height()),
                                   m_contentSubview->height()));

    if (animate && _crossFade) {
        crossFadeView(oldView, view);
    } else {
        if (oldView)
            removeSubview(oldView);
        view->setGraphicsEffect(nullptr);
        view->show();
        const QRectF target = frameForView(view);
        if (animate) {
            if (!m_resizeAnimation)
                m_resizeAnimation = new QPropertyAnimation(this, "windowFrame", this);
            m_resizeAnimation->stop();
            m_resizeAnimation->setStartValue(windowFrame());
            m_resizeAnimation->setEndValue(target);
            m_resizeAnimation->setDuration(kWindowResizeMs);
            m_resizeAnimation->start();
        } else {
            setWindowFrame(target);
        }
    }
    view->setFocus();
    m_window->setWindowTitle(m_toolbarItems.value(identifier)->text());
}

QRectF RBPrefsWindowController::windowFrame() const
{
    if (!m_window)
        return {};
    return windows::windowFrame(m_window, screenHeight());
}

void RBPrefsWindowController::setWindowFrame(const QRectF &frame)
{
    if (!m_window)
        return;
    // The window has the size of its pane and no other: the user cannot
    // resize it, only a pane switch does.
    m_window->setMinimumSize(0, 0);
    m_window->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    windows::setWindowFrame(m_window, frame, screenHeight());
    m_window->setFixedSize(m_window->size());
}

QRectF RBPrefsWindowController::frameForView(QWidget *view)
{
    QMainWindow *window = this->window();
    // The content rectangle is what the title bar and the toolbar leave of
    // the frame: the central widget. The layout is made current first so a
    // hidden window answers truly.
    if (window->layout())
        window->layout()->activate();
    const qreal contentHeight = window->centralWidget()->height();
    QRectF frame = frameForViewSize(windowFrame(), contentHeight, QSizeF(view->size()));
    // Where the window system draws side borders the pane still gets its
    // full width inside them.
    frame.setWidth(frame.width() + window->frameGeometry().width() - window->width());
    return frame;
}

void RBPrefsWindowController::crossFadeView(QWidget *oldView, QWidget *newView)
{
    if (m_viewAnimation->state() == QAbstractAnimation::Running)
        m_viewAnimation->stop();
    if (m_resizeAnimation)
        m_resizeAnimation->stop();

    const bool slow = _shiftSlowsAnimation && (currentEventModifiers() & Qt::ShiftModifier);
    const int duration = slow ? kSlowCrossFadeMs : kCrossFadeMs;

    m_viewAnimation->clear();
    auto addPart = [&](QObject *target, const QByteArray &property, const QVariant &from,
                       const QVariant &to) {
        auto *part = new QPropertyAnimation(target, property);
        part->setStartValue(from);
        part->setEndValue(to);
        part->setDuration(duration);
        part->setEasingCurve(QEasingCurve::InOutQuad);
        m_viewAnimation->addAnimation(part);
    };

    if (oldView) {
        QGraphicsOpacityEffect *fadeOut = opacityEffect(oldView, 1.0);
        addPart(fadeOut, "opacity", fadeOut->opacity(), 0.0);
    }
    QGraphicsOpacityEffect *fadeIn = opacityEffect(newView, 0.0);
    newView->show();
    addPart(fadeIn, "opacity", fadeIn->opacity(), 1.0);
    addPart(this, "windowFrame", windowFrame(), frameForView(newView));
    m_viewAnimation->start();
}

void RBPrefsWindowController::animationDidEnd()
{
    const QList<QWidget *> subviews = contentSubviews();
    for (int i = 0; i + 1 < subviews.size(); ++i)
        removeSubview(subviews.at(i));
    if (!subviews.isEmpty())
        subviews.last()->setGraphicsEffect(nullptr); // drawn directly again, not through the effect
    if (m_window) {
        if (QWidget *focus = m_window->focusWidget())
            focus->clearFocus();
    }
}

} // namespace cv::configurator::windows
