#include "dialogParts.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <algorithm>

namespace dialog {

namespace {
qreal g_scaleForTests = 0;
}

qreal displayScale()
{
    if (g_scaleForTests > 0)
        return g_scaleForTests;
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? std::max<qreal>(1.0, screen->logicalDotsPerInchY() / 96.0) : 1.0;
}

void setDisplayScaleForTests(qreal scale) { g_scaleForTests = scale; }

int twips(int t)
{
    const qreal scale = displayScale();
    // Exactly the 96-dpi pixels when nothing is scaled.
    return scale == 1.0 ? t / 15 : qRound(t * scale / 15.0);
}

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

namespace {
bool isHiragana(QChar c) { return c >= u'\u3041' && c <= u'\u309F'; }
bool isKatakana(QChar c) { return c >= u'\u30A1' && c <= u'\u30FA'; }
bool isKanji(QChar c) { return (c >= u'\u4E00' && c <= u'\u9FFF') || c == u'\u3005'; }
} // namespace

bool mayBreakBetween(QChar before, QChar after)
{
    // After punctuation or a space (not "." or ":" inside Latin text such as an
    // address), before an opening bracket.
    if (QStringLiteral("、。，．）」』！？： 　").contains(before))
        return true;
    if (after == u'「' || after == u'（' || after == u'『')
        return true;
    // Where a phrase ends in kana and a new word begins: 名前を|入力, 部屋の|リスト.
    // Never inside a katakana, kanji or Latin word, nor inside ください.
    return isHiragana(before) && (isKanji(after) || (isKatakana(after) && after != u'ー') || (after.isLetterOrNumber() && after.unicode() < 0x80));
}

namespace {
// The text in pieces, each ending where a line may break.
QStringList pieces(const QString &paragraph)
{
    QStringList out;
    QString piece;
    for (const QChar c : paragraph) {
        if (!piece.isEmpty() && mayBreakBetween(piece.back(), c)) {
            out << piece;
            piece.clear();
        }
        piece += c;
    }
    if (!piece.isEmpty())
        out << piece;
    return out;
}
} // namespace

QSize fitLabel(QLabel *label, const QString &text, int width)
{
    const QFontMetrics fm(label->font());
    QStringList lines;
    QString normalised = text;
    normalised.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    for (const QString &paragraph : normalised.split(u'\n')) {
        QString line;
        for (const QString &piece : pieces(paragraph)) {
            if (!line.isEmpty() && fm.horizontalAdvance(line + piece) > width) {
                lines << line;
                line.clear();
            }
            line += piece;
        }
        lines << line;
    }
    // A space that ends a line is not seen; one that starts it would indent it.
    for (QString &line : lines)
        while (line.startsWith(u' ') && line.size() > 1)
            line.remove(0, 1);
    label->setWordWrap(false);
    label->setText(lines.join(u'\n'));
    int widest = 0;
    for (const QString &line : lines)
        widest = std::max(widest, fm.horizontalAdvance(line));
    const QMargins m = label->contentsMargins();
    const int margin = 2 * label->margin();
    const QSize need(widest + m.left() + m.right() + margin,
                     fm.lineSpacing() * int(lines.size()) - fm.leading() + m.top() + m.bottom() + margin);
    // A layout might otherwise give it a pixel less than the lines take.
    label->setMinimumHeight(need.height());
    return need;
}

void growToFit(QLabel *label, const QString &text)
{
    const QRect was = label->geometry();
    const QSize need = fitLabel(label, text, label->contentsRect().width());
    QWidget *window = label->parentWidget();
    const int down = need.height() - was.height();
    const int right = need.width() - was.width();
    if (down <= 0 && right <= 0)
        return;
    for (QWidget *w : window->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (w == label || w->isWindow())
            continue;
        if (down > 0 && w->y() >= was.bottom())
            w->move(w->x(), w->y() + down);
        else if (right > 0 && w->x() >= was.right() && w->y() < was.bottom())
            w->move(w->x() + right, w->y());
    }
    label->resize(was.width() + std::max(right, 0), was.height() + std::max(down, 0));
    if (window->isWindow() || window->parentWidget() == nullptr)
        window->setFixedSize(window->width() + std::max(right, 0), window->height() + std::max(down, 0));
}

void makePasswordBox(QLineEdit *box)
{
    box->setEchoMode(QLineEdit::Password);
    box->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    // After the echo mode, which sets this attribute itself.
    box->setAttribute(Qt::WA_InputMethodEnabled, false);
}

} // namespace dialog
