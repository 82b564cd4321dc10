#include "dialogParts.h"

#include <QApplication>
#include <QLineEdit>
#include <QScreen>
#include <QWidget>
#include <QWindow>

namespace signin {

void setDialogFrame(QWidget *window)
{
    window->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
}

void centreOnScreen(QWidget *window)
{
    QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect r = window->frameGeometry();
    r.moveCenter(screen->availableGeometry().center());
    window->move(r.topLeft());
}

void centreOnOwner(QWidget *window)
{
    QWidget *owner = QApplication::activeModalWidget();
    if (!owner || owner == window)
        owner = QApplication::activeWindow();
    if (!owner || owner == window || !owner->isVisible()) {
        centreOnScreen(window);
        return;
    }
    // A dialog tied to its owner gets no task bar entry of its own.
    if (window->windowHandle() && owner->windowHandle())
        window->windowHandle()->setTransientParent(owner->windowHandle());
    QRect r = window->frameGeometry();
    r.moveCenter(owner->frameGeometry().center());
    window->move(r.topLeft());
}

void makePasswordBox(QLineEdit *box)
{
    box->setEchoMode(QLineEdit::Password);
    box->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    // After the echo mode, which sets this attribute itself.
    box->setAttribute(Qt::WA_InputMethodEnabled, false);
}

} // namespace signin
