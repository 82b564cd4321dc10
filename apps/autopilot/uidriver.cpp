#include "uidriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QRegularExpression>
#include <QTimer>

namespace uidriver {

QWidget *window(const QString &name)
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->objectName() == name)
            return w;
    return nullptr;
}

QMessageBox *messageBox()
{
    if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()); box && box->isVisible())
        return box;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
            return box;
    return nullptr;
}

QString plainCaption(QString caption)
{
    caption.remove(QRegularExpression(QStringLiteral("\\(&.\\)$")));
    return caption.remove(u'&');
}

QAbstractButton *button(QMessageBox *box, const QString &caption)
{
    if (!box)
        return nullptr;
    for (QAbstractButton *b : box->buttons())
        if (plainCaption(b->text()) == caption)
            return b;
    return nullptr;
}

namespace {
QWidget *keyTarget(QWidget *box)
{
    if (auto *combo = qobject_cast<QComboBox *>(box); combo && combo->lineEdit())
        return combo->lineEdit();
    return box;
}
} // namespace

void type(QWidget *box, const QString &text)
{
    QWidget *target = keyTarget(box);
    target->setFocus(Qt::OtherFocusReason);
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(target, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(target, &release);
    }
}

void pressEnter(QWidget *box)
{
    QPointer<QWidget> target = keyTarget(box);
    // Enter may send a line and wait for nothing, but run it from the event loop
    // like a real key all the same.
    QTimer::singleShot(0, target, [target] {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
        QApplication::sendEvent(target, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
        QApplication::sendEvent(target, &release);
    });
}

void clickLater(QAbstractButton *button)
{
    if (!button)
        return;
    QTimer::singleShot(0, button, [b = QPointer<QAbstractButton>(button)] {
        if (b)
            b->click();
    });
}

void clickRowLater(QListWidget *list, int row)
{
    QTimer::singleShot(0, list, [list, row] {
        QListWidgetItem *item = list->item(row);
        if (!item)
            return;
        list->scrollToItem(item);
        const QPointF at = list->visualItemRect(item).center();
        QWidget *viewport = list->viewport();
        const QPointF global = viewport->mapToGlobal(at);
        QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &release);
    });
}

int findRow(const QListWidget *list, const QString &prefix)
{
    for (int r = 0; list && r < list->count(); ++r)
        if (list->item(r)->text().startsWith(prefix))
            return r;
    return -1;
}

bool saveShot(QWidget *window, const QString &path)
{
    return window && window->grab().save(path, "PNG");
}

} // namespace uidriver
