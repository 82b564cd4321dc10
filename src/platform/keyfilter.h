#pragma once
// Key filters of single-line boxes. Every character that would reach a box from
// the keyboard, including text an input method commits, passes the box's rules one
// character at a time before the box takes it; a refused character never arrives.
// Characters without a code page 932 form are refused in every box: they would
// reach the server as '?'.
//
// Text that does not come key by key (pasted, dropped) is held to the rules that
// can judge a whole text (byte limit, refused characters) by the box's validator;
// an edit that breaks one is undone with a beep. Rules that only make sense per key
// (the user ID's symbols, with their message) are left to the OK handler.
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QEvent;
class QLineEdit;

struct KeyRule {
    // keyAscii: the key code (cp932::keyCode); set it to 0 to refuse the key.
    // text / selectedChars: the box as the character will find it.
    std::function<void(qint16 &keyAscii, const QString &text, int selectedChars)> key;
    // For text that bypassed the keys: true when the whole text may stand. Empty: no check.
    std::function<bool(const QString &text)> accepts;
};

namespace keyRules {
KeyRule userIdChar();               // lobbyModule::checkUserIdChar
KeyRule dependentChar();            // lobbyModule::filterDependentChar
KeyRule byteLength(int maxBytes);   // lobbyModule::limitByteLength
KeyRule noSpace();                  // a space would split a field of the command line
KeyRule noControlChar();            // a pasted line break would end the command line early
} // namespace keyRules

class KeyFilter : public QObject {
    Q_OBJECT
public:
    // Filters box with rules, applied in the order given. The filter belongs to box.
    static KeyFilter *install(QLineEdit *box, QList<KeyRule> rules);

    // The part of chars that passes the rules when typed into the box now, one
    // character at a time, each seeing the ones accepted before it.
    QString filter(const QString &chars) const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    KeyFilter(QLineEdit *box, QList<KeyRule> rules);
    bool acceptsChar(const QString &ch, const QString &text, int selectedChars) const;

    QLineEdit *m_box;
    // The editable combo box the box belongs to: it has the focus and hands keys
    // to the box directly, past the box's own event filters.
    QObject *m_front = nullptr;
    QList<KeyRule> m_rules;
};
