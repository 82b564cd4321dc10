#include "lobbyModule.h"

#include "codec.h"
#include "seams.h"

#include <QUrl>

#include <arpa/inet.h>
#include <cmath>

SessionState &session()
{
    static SessionState s;
    return s;
}

namespace lobbyModule {

namespace {

constexpr QChar kMarker = QChar(0x0001);

// The character of a 16-bit code, only when it maps back to exactly that code.
std::optional<QString> characterOf(quint32 code)
{
    if (code > 0xFFFF)
        return std::nullopt;
    if (code >= 0x100 && (code >> 8) < 0x81)
        return std::nullopt; // not a lead byte: would decode as two characters
    const QString s = cp932::fromKeyCode(qint16(quint16(code)));
    if (s.size() != 1 || s.at(0) == QChar(0xFFFD) || s.at(0) == kMarker)
        return std::nullopt;
    if (quint16(cp932::keyCode(s)) != code)
        return std::nullopt;
    return s;
}

// The code page 932 code of one character when it maps both ways.
std::optional<quint32> codeOf(const QString &ch)
{
    if (ch.size() != 1 || ch.at(0).isSurrogate() || ch.at(0) == kMarker)
        return std::nullopt;
    const quint16 code = quint16(cp932::keyCode(ch));
    if (code == 0 && ch.at(0) != QChar(0))
        return std::nullopt;
    const auto back = characterOf(code);
    if (!back || *back != ch)
        return std::nullopt;
    return code;
}

template <typename Shift>
QString shiftText(const QString &text, Shift shift, bool encoding)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        qsizetype len = 1;
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            len = 2;
        const QString ch = text.mid(i, len);
        if (!encoding && ch.at(0) == kMarker) {
            // The marker keeps the next code point as it is.
            if (i + 1 < text.size()) {
                qsizetype n = 1;
                if (text.at(i + 1).isHighSurrogate() && i + 2 < text.size() && text.at(i + 2).isLowSurrogate())
                    n = 2;
                out += text.mid(i + 1, n);
                i += n;
            }
            continue;
        }
        std::optional<QString> shifted;
        if (const auto code = codeOf(ch))
            shifted = characterOf(shift(*code));
        if (shifted) {
            out += *shifted;
        } else if (encoding) {
            out += kMarker;
            out += ch;
        } else {
            out += ch; // not something encodeString wrote; keep it rather than lose it
        }
        i += len - 1;
    }
    return out;
}

} // namespace

bool openWebPage(const QString &url)
{
    return platform::browser().open(QUrl(url));
}

QString encodeString(const QString &text)
{
    return shiftText(text, [](quint32 c) { return c + 3; }, true);
}

QString decodeString(const QString &text)
{
    return shiftText(text, [](quint32 c) { return c >= 3 ? c - 3 : 0x10000u; }, false);
}

void limitByteLength(qint16 &keyAscii, const QString &text, int selectedChars, int maxBytes)
{
    if (keyAscii == 8)
        return;
    const int extra = keyAscii < 0 ? 1 : 0;
    const qsizetype used = cp932::byteLength(text) - selectedChars;
    if (used + extra >= maxBytes) {
        platform::messageBoxes().beep();
        keyAscii = 0;
    }
}

void checkUserIdChar(qint16 &keyAscii)
{
    const int k = keyAscii;
    const bool symbol = (k >= 32 && k <= 47) || (k >= 58 && k <= 64) || (k >= 91 && k <= 94) || k == 96
        || (k >= 123 && k <= 126);
    if (!symbol)
        return;
    keyAscii = 0;
    platform::msgBox(QStringLiteral("ユーザーID には '_'(アンダーバー)を除く半角記号、スペースは使えません"),
                     platform::mb::Information);
}

void filterDependentChar(qint16 &keyAscii)
{
    static constexpr struct { quint16 lo, hi; } ranges[] = {
        {0x8540, 0x85FF}, {0x8640, 0x86FF}, {0x8740, 0x87FF}, {0x8840, 0x889E}, {0xFA50, 0xFA5F},
        {0xED40, 0xED6F}, {0xFA80, 0xFAFF}, {0xFB40, 0xFBFF}, {0xFC40, 0xFCFF},
    };
    const quint16 code = quint16(keyAscii);
    for (const auto &r : ranges) {
        if (code >= r.lo && code <= r.hi) {
            keyAscii = 0;
            return;
        }
    }
}

void setTopmost(QWidget *window)
{
    if (window)
        platform::windowOrder().setTopmost(window, session().gblnTopmost);
}

bool isPrivateAddress(const QString &ip)
{
    if (ip.startsWith(QLatin1String("10.")))
        return true;
    if (ip.startsWith(QLatin1String("192.168.")))
        return true;
    if (ip.startsWith(QLatin1String("172."))) {
        const QStringList parts = ip.split(u'.');
        const auto second = parts.size() > 1 ? toInteger(parts.at(1)) : std::nullopt;
        if (!second)
            return false;
        return *second >= 16 && *second <= 31;
    }
    return false;
}

bool isPlainAddress(const QString &text)
{
    // The longest form: "0000:0000:0000:0000:0000:ffff:255.255.255.255".
    constexpr qsizetype kMax = 45;
    if (text.isEmpty() || text.size() > kMax)
        return false;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool hex = (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
        if (!hex && u != u'.' && u != u':')
            return false;
    }
    const QByteArray latin = text.toLatin1();
    unsigned char buffer[16];
    return ::inet_pton(AF_INET, latin.constData(), buffer) == 1 || ::inet_pton(AF_INET6, latin.constData(), buffer) == 1;
}

std::optional<qint16> toInteger(const QString &text)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    for (const QChar c : t) {
        if (!(c.isDigit() && c.unicode() < 0x80) && c != u'.' && c != u'-' && c != u'+' && c != u'e' && c != u'E')
            return std::nullopt;
    }
    bool ok = false;
    const double d = t.toDouble(&ok);
    if (!ok || !std::isfinite(d))
        return std::nullopt;
    const double r = std::nearbyint(d); // the default rounding mode: half to even
    if (r < -32768.0 || r > 32767.0)
        return std::nullopt;
    return qint16(r);
}

std::optional<bool> toBoolean(const QString &text)
{
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const double d = t.toDouble(&ok);
    if (!ok || std::isnan(d))
        return std::nullopt;
    return d != 0.0;
}

} // namespace lobbyModule
