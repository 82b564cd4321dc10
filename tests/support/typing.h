#pragma once
// Typing into a box as the keyboard does it: one key press per character, any
// character (QTest's key clicks take Latin-1 only).
#include <QApplication>
#include <QKeyEvent>
#include <QString>
#include <QWidget>

inline void typeInto(QWidget *box, const QString &text)
{
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(box, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(box, &release);
    }
}
