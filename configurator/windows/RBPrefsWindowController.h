#pragma once
// A window controller for a preferences window with one toolbar button per
// pane. It owns the toolbar, the switch between panes and the resize of the
// window to each pane, with a cross-fade that leaves the event loop running.
// Subclasses add their panes in setupToolbar.

#include <QHash>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QStringList>

class QAction;
class QActionGroup;
class QMainWindow;
class QParallelAnimationGroup;
class QPropertyAnimation;
class QToolBar;
class QWidget;

namespace cv::configurator::windows {

class RBPrefsWindowController : public QObject
{
    Q_OBJECT
    // The window's frame in bottom-left screen space; the resize part of the
    // cross-fade animates it.
    Q_PROPERTY(QRectF windowFrame READ windowFrame WRITE setWindowFrame)

public:
    explicit RBPrefsWindowController(QObject *parent = nullptr);
    ~RBPrefsWindowController() override;

    // Registers a pane; the identifier is the label. A null view is a
    // programming error and stops the program.
    void addView(QWidget *view, const QString &label, const QIcon &image);
    // As above with the bundle picture named like the label, if there is one.
    void addView(QWidget *view, const QString &label);

    bool crossFade() const { return _crossFade; }
    void setCrossFade(bool crossFade) { _crossFade = crossFade; }
    bool shiftSlowsAnimation() const { return _shiftSlowsAnimation; }
    void setShiftSlowsAnimation(bool slows) { _shiftSlowsAnimation = slows; }

    // Rebuilds the panes, starts on the first one and brings the window up.
    void showWindow(QObject *sender);
    // The action of every pane button.
    void toggleActivePreferenceView(QAction *toolbarItem);
    void displayViewForIdentifier(const QString &identifier, bool animate);
    void crossFadeView(QWidget *oldView, QWidget *newView);
    // The window frame (bottom-left screen space) that fits the view, with
    // the window's top-left corner kept.
    QRectF frameForView(QWidget *view);
    void animationDidEnd();

    // Loads the window on first use.
    QMainWindow *window();
    QWidget *contentSubview() const { return m_contentSubview; }
    // The subviews of contentSubview, back to front; the last is the pane shown.
    QList<QWidget *> contentSubviews() const;
    QParallelAnimationGroup *viewAnimation() const { return m_viewAnimation; }
    const QStringList &toolbarIdentifiers() const { return m_toolbarIdentifiers; }
    QAction *toolbarItem(const QString &identifier) const { return m_toolbarItems.value(identifier); }
    QToolBar *toolbar() const { return m_toolbar; }

    QRectF windowFrame() const;
    void setWindowFrame(const QRectF &frame);

    // The folder whose Resources/ holds the pane pictures; the program's own
    // bundle unless set.
    void setBundleContentsFolder(const QString &folder) { m_bundleContents = folder; }
    void setScreenHeightForTesting(qreal height) { m_screenHeight = height; }

    virtual QString nibName() const;

    static constexpr int kCrossFadeMs = 250;
    static constexpr int kSlowCrossFadeMs = 1250;

protected:
    // Adds the panes; the base class adds none.
    virtual void setupToolbar();
    // The modifier keys of the event being handled.
    virtual Qt::KeyboardModifiers currentEventModifiers() const;

private:
    void windowDidLoad();
    // Centres the window, frame included, on its screen.
    void centre();
    void removeSubview(QWidget *view);
    void clearToolbarItems();
    qreal screenHeight() const;
    QIcon imageNamed(const QString &name) const;

    QStringList m_toolbarIdentifiers;
    QHash<QString, QWidget *> m_toolbarViews;
    QHash<QString, QAction *> m_toolbarItems;
    bool _crossFade = true;
    bool _shiftSlowsAnimation = true;
    QPointer<QWidget> m_contentSubview;
    QParallelAnimationGroup *m_viewAnimation = nullptr;

    QPointer<QMainWindow> m_window;
    QToolBar *m_toolbar = nullptr;
    QActionGroup *m_itemGroup = nullptr;
    QPropertyAnimation *m_resizeAnimation = nullptr; // the window's own animated resize
    QString m_bundleContents;
    qreal m_screenHeight = -1;
};

// Stops the program with the message of a broken internal rule: a state that
// only a programming error can reach.
[[noreturn]] void internalInconsistency(const char *message);

} // namespace cv::configurator::windows
