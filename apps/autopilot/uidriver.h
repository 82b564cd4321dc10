#pragma once
// Drives the component's real windows as a player would: finds them by object
// name, types with key events and clicks. Used by the autopilot and by UI tests.
#include <QString>
#include <QWidget>

class QAbstractButton;
class QListWidget;
class QMessageBox;


namespace uidriver {

// The visible top-level window with this object name, or nullptr.
QWidget *window(const QString &name);

// A child of window by object name, or nullptr.
template <class T>
T *child(QWidget *window, const QString &name)
{
    return window ? window->findChild<T *>(name) : nullptr;
}

// The message box on top, or nullptr.
QMessageBox *messageBox();
// Its button whose caption reads caption (mnemonics such as "(&Y)" ignored).
QAbstractButton *button(QMessageBox *box, const QString &caption);
// A caption without its mnemonic: "はい(&Y)" and "&Yes" read "はい" and "Yes".
QString plainCaption(QString caption);

// One key press and release per character, sent to box (a line edit or the
// widget that forwards keys to one).
void type(QWidget *box, const QString &text);
void pressEnter(QWidget *box);
// Clicks once control returns to the event loop: a click that starts a wait must
// not run inside the caller.
void clickLater(QAbstractButton *button);

// Clicks row of a list with the mouse, from the event loop like clickLater.
void clickRowLater(QListWidget *list, int row);
// The first row of list whose text starts with prefix, or -1.
int findRow(const QListWidget *list, const QString &prefix);

// Saves the window's picture as a PNG; false when that failed.
bool saveShot(QWidget *window, const QString &path);

} // namespace uidriver
