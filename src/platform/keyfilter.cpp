#include "keyfilter.h"

#include <QComboBox>

#include "wire/codec.h"
#include "session/keyChecks.h"
#include "session/seams.h"

#include <QComboBox>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QValidator>

#include <algorithm>

namespace {

// Splits text into characters, keeping a surrogate pair together.
QStringList characters(const QString &text)
{
    QStringList out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype n = (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) ? 2 : 1;
        out.append(text.mid(i, n));
        i += n - 1;
    }
    return out;
}

// Holds text that bypassed the keys to the rules that judge a whole text.
class WholeTextValidator final : public QValidator {
public:
    WholeTextValidator(QList<KeyRule> rules, QObject *parent) : QValidator(parent), m_rules(std::move(rules)) {}
    State validate(QString &input, int &) const override
    {
        if (!cp932::isRepresentable(input))
            return Invalid;
        for (const KeyRule &r : m_rules)
            if (r.accepts && !r.accepts(input))
                return Invalid;
        return Acceptable;
    }

private:
    QList<KeyRule> m_rules;
};

} // namespace

namespace keyRules {

KeyRule userIdChar()
{
    return {[](qint16 &k, const QString &, int) { lobbyModule::checkUserIdChar(k); }, {}};
}

KeyRule dependentChar()
{
    return {[](qint16 &k, const QString &, int) { lobbyModule::filterDependentChar(k); },
            [](const QString &text) {
                for (const QString &ch : characters(text)) {
                    qint16 k = cp932::keyCode(ch);
                    lobbyModule::filterDependentChar(k);
                    if (k == 0)
                        return false;
                }
                return true;
            }};
}

KeyRule byteLength(int maxBytes)
{
    return {[maxBytes](qint16 &k, const QString &text, int selected) {
                lobbyModule::limitByteLength(k, text, selected, maxBytes);
            },
            [maxBytes](const QString &text) { return cp932::byteLength(text) <= maxBytes; }};
}

KeyRule noSpace()
{
    return {[](qint16 &k, const QString &, int) {
                if (k == 32) {
                    platform::messageBoxes().beep();
                    k = 0;
                }
            },
            [](const QString &text) { return !text.contains(u' '); }};
}

KeyRule noControlChar()
{
    // Typed control keys never reach the rules; only text that bypassed the keys can
    // carry them.
    return {{}, [](const QString &text) {
                return std::none_of(text.cbegin(), text.cend(),
                                    [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
            }};
}

} // namespace keyRules

KeyFilter::KeyFilter(QLineEdit *box, QList<KeyRule> rules) : QObject(box), m_box(box), m_rules(std::move(rules)) {}

KeyFilter *KeyFilter::install(QLineEdit *box, QList<KeyRule> rules)
{
    auto *f = new KeyFilter(box, rules);
    box->installEventFilter(f);
    if (auto *combo = qobject_cast<QComboBox *>(box->parentWidget()); combo && combo->lineEdit() == box) {
        f->m_front = combo;
        combo->installEventFilter(f);
    }
    box->setValidator(new WholeTextValidator(std::move(rules), f));
    connect(box, &QLineEdit::inputRejected, f, [] { platform::messageBoxes().beep(); });
    return f;
}

bool KeyFilter::acceptsChar(const QString &ch, const QString &text, int selectedChars) const
{
    if (!cp932::isRepresentable(ch)) {
        platform::messageBoxes().beep();
        return false;
    }
    qint16 key = cp932::keyCode(ch);
    for (const KeyRule &r : m_rules) {
        if (r.key)
            r.key(key, text, selectedChars);
        if (key == 0)
            return false;
    }
    return true;
}

QString KeyFilter::filter(const QString &chars) const
{
    const QString text = m_box->text();
    const int selected = m_box->selectionLength();
    QString accepted;
    for (const QString &ch : characters(chars))
        if (acceptsChar(ch, text + accepted, selected))
            accepted += ch;
    return accepted;
}

bool KeyFilter::eventFilter(QObject *watched, QEvent *event)
{
    // Only the two kinds of event that carry text; others also come while the box
    // is being destroyed.
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::InputMethod)
        return false;
    if ((watched != m_box && watched != m_front) || m_box->isReadOnly())
        return false;
    if (event->type() == QEvent::KeyPress) {
        auto *e = static_cast<QKeyEvent *>(event);
        const QString t = e->text();
        // Only keys that would put text into the box; shortcuts and editing keys pass.
        if (t.isEmpty() || !(t.at(0).isPrint() || t.at(0).isHighSurrogate())
            || (e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)))
            return false;
        const QString accepted = filter(t);
        if (accepted == t)
            return false;
        if (!accepted.isEmpty())
            m_box->insert(accepted);
        return true;
    }
    auto *e = static_cast<QInputMethodEvent *>(event);
    if (e->commitString().isEmpty())
        return false;
    const QString accepted = filter(e->commitString());
    if (accepted != e->commitString())
        e->setCommitString(accepted, e->replacementStart(), e->replacementLength());
    return false;
}
