#pragma once
// The user's own chat phrases changed in their editor: the window that shows them
// in its chat inputs listens here, so the editor needs no header of it.
#include <QObject>
#include <QStringList>

class ChatPhrases : public QObject {
    Q_OBJECT
public:
    static ChatPhrases &instance();

signals:
    // The old phrases go; then the edited ones come (the store is written between).
    void cleared();
    void added(const QStringList &phrases);
};
