#pragma once
// What the configurator's windows need to sit well on a Linux desktop, apart
// from what they are: text that stays readable on the fixed backgrounds under
// any palette, names and announcements for screen readers, and the keys that
// close a secondary window.

#include <functional>

class QColor;
class QLabel;
class QLineEdit;
class QWidget;

namespace cv::configurator::windows {

// Sets the text roles of `widget`'s own palette, for every colour group, so
// that text drawn on a fixed light background keeps its contrast whatever
// the desktop palette is. Controls that draw their own background (fields,
// buttons, pop-ups) keep following the desktop.
void setFixedTextColours(QWidget *widget, const QColor &text, const QColor &disabledText);

// The main window's share: the last-backup value is named by its text and
// labelled by "Last backup:", the day bubble is an alert for screen readers,
// and the destination field's tooltip is always the full path.
void fitMainWindow(QWidget *bubbleView, QLabel *bubbleText, QLabel *lastBackupLabel, QLabel *lastBackup,
                   QLineEdit *destination);

// Sizes a preferences pane from its layout at the current font: at least
// as wide as it is (its interface file's width) and as its layout needs, and
// exactly as tall as its texts need at that width, wrapped ones included.
void fitToLayout(QWidget *pane);

// Tells screen readers that `view` (an alert, see above) has appeared.
void announceAlert(QWidget *view);

// Escape and the desktop's Close key (Ctrl+W) run `close` while `window` is
// the active window.
void addCloseShortcuts(QWidget *window, const std::function<void()> &close);

} // namespace cv::configurator::windows
