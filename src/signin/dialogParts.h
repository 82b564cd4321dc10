#pragma once
// Frame, placement and password boxes of the sign-in windows.
class QLineEdit;
class QWidget;

namespace signin {

// Places given in twips (15 twips are one pixel at 96 dots per inch).
constexpr int twips(int t) { return t / 15; }

// A fixed dialog frame: title and close box only, no minimise or maximise box.
void setDialogFrame(QWidget *window);
// Centres a window that is about to be shown over its owner: the window that was
// active (or modal) when it opened; over the screen when there is none.
void centreOnOwner(QWidget *window);
void centreOnScreen(QWidget *window);

// Masked with "*", and no input method: a password is typed as it is.
void makePasswordBox(QLineEdit *box);

} // namespace signin
