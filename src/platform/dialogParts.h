#pragma once
// Frame, placement, label fitting and password boxes that the windows share.
#include <QSize>
#include <QString>
#include <QtGlobal>

class QLabel;
class QLineEdit;
class QWidget;

namespace dialog {

// Places given in twips: 1440 to the inch, so 15 to a pixel at 96 dots per inch
// and 12 at 120. Texts are measured in points, so the places grow with them.
int twips(int t);
// The pixels per 96-dpi pixel: the screen's logical dpi / 96, at least 1.
qreal displayScale();
// Tests: another scale (0 goes back to the screen's).
void setDisplayScaleForTests(qreal scale);

// A fixed dialog frame: title and close box only, no minimise or maximise box.
void setDialogFrame(QWidget *window);
// Centres a window that is about to be shown over its owner: the window that was
// active (or modal) when it opened; over the screen when there is none.
void centreOnOwner(QWidget *window);
void centreOnScreen(QWidget *window);

// Sets label's text in lines no wider than width that break only where Japanese
// text may break (mayBreakBetween; a line break in the text stays). The label shows exactly those lines. A piece
// wider than width keeps its line whole. Returns the room the text needs.
QSize fitLabel(QLabel *label, const QString &text, int width);
// Whether a line may break between these two characters.
bool mayBreakBetween(QChar before, QChar after);
// For a label placed by hand: fits its text to the label's width; when the text
// needs more room the label grows (down, or right for a piece that cannot break),
// and the controls below or beside it and the window grow with it.
void growToFit(QLabel *label, const QString &text);

// Masked with "*", and no input method: a password is typed as it is.
void makePasswordBox(QLineEdit *box);

} // namespace dialog
