#include "scramble.h"

#include "wire/codec.h"

#include <optional>

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

QString encodeString(const QString &text)
{
    return shiftText(text, [](quint32 c) { return c + 3; }, true);
}

QString decodeString(const QString &text)
{
    return shiftText(text, [](quint32 c) { return c >= 3 ? c - 3 : 0x10000u; }, false);
}

} // namespace lobbyModule
