#include "codec.h"

#include <cerrno>
#include <iconv.h>

namespace {

// glibc's CP932 keeps control bytes as they are and maps the vendor rows the way
// Windows does; ICU's windows-31j does neither, so it is not used.
class Converter {
public:
    Converter(const char *to, const char *from) : m_cd(iconv_open(to, from)) {}
    ~Converter() { if (valid()) iconv_close(m_cd); }
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;
    bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    void reset() { iconv(m_cd, nullptr, nullptr, nullptr, nullptr); }
    iconv_t handle() const { return m_cd; }

private:
    iconv_t m_cd;
};

Converter &toCp932()
{
    thread_local Converter c("CP932", "UTF-16LE");
    return c;
}

Converter &fromCp932()
{
    thread_local Converter c("UTF-16LE", "CP932");
    return c;
}

} // namespace

namespace cp932 {

QByteArray encode(const QString &text)
{
    QByteArray out;
    if (text.isEmpty())
        return out;
    Converter &conv = toCp932();
    if (!conv.valid())
        return text.toLatin1();
    conv.reset();
    out.resize(text.size() * 2 + 8);
    char *in = const_cast<char *>(reinterpret_cast<const char *>(text.utf16()));
    size_t inLeft = size_t(text.size()) * 2;
    char *dst = out.data();
    size_t outLeft = size_t(out.size());
    while (inLeft > 0) {
        size_t r = iconv(conv.handle(), &in, &inLeft, &dst, &outLeft);
        if (r != size_t(-1))
            break;
        if (errno == E2BIG) {
            const qsizetype used = dst - out.data();
            out.resize(out.size() * 2);
            dst = out.data() + used;
            outLeft = size_t(out.size() - used);
            continue;
        }
        // An unmappable character, or a lone surrogate: one '?' for the whole
        // code point, then go on after it.
        if (outLeft < 1) {
            const qsizetype used = dst - out.data();
            out.resize(out.size() + 16);
            dst = out.data() + used;
            outLeft = size_t(out.size() - used);
        }
        *dst++ = '?';
        --outLeft;
        const char16_t unit = char16_t(uchar(in[0]) | (uchar(in[1]) << 8));
        size_t skip = 2;
        if (QChar::isHighSurrogate(unit) && inLeft >= 4) {
            const char16_t next = char16_t(uchar(in[2]) | (uchar(in[3]) << 8));
            if (QChar::isLowSurrogate(next))
                skip = 4;
        }
        in += skip;
        inLeft -= skip;
        conv.reset();
    }
    out.resize(dst - out.data());
    return out;
}

QString decode(const char *data, qsizetype size)
{
    QString out;
    if (size <= 0)
        return out;
    Converter &conv = fromCp932();
    if (!conv.valid())
        return QString::fromLatin1(data, size);
    conv.reset();
    out.resize(size + 1);
    char *in = const_cast<char *>(data);
    size_t inLeft = size_t(size);
    char *dst = reinterpret_cast<char *>(out.data());
    size_t outLeft = size_t(out.size()) * 2;
    auto put = [&](char16_t c) {
        dst[0] = char(c & 0xFF);
        dst[1] = char(c >> 8);
        dst += 2;
        outLeft -= 2;
    };
    while (inLeft > 0) {
        size_t r = iconv(conv.handle(), &in, &inLeft, &dst, &outLeft);
        if (r != size_t(-1))
            break;
        if (errno == E2BIG) {
            // Never happens with size + 1 code units, but stay safe.
            const qsizetype used = (dst - reinterpret_cast<char *>(out.data())) / 2;
            out.resize(out.size() * 2);
            dst = reinterpret_cast<char *>(out.data()) + used * 2;
            outLeft = size_t(out.size() - used) * 2;
            continue;
        }
        // EILSEQ or a truncated double-byte character (EINVAL): one replacement
        // character for the offending byte, then resynchronise on the next.
        put(0xFFFD);
        ++in;
        --inLeft;
        conv.reset();
    }
    out.resize((dst - reinterpret_cast<char *>(out.data())) / 2);
    return out;
}

QString decode(const QByteArray &bytes)
{
    return decode(bytes.constData(), bytes.size());
}

qsizetype byteLength(const QString &text)
{
    qsizetype n = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < 0x80) {
            ++n;
            continue;
        }
        // Surrogate pairs have no code page 932 form and become one '?'.
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            ++n;
            ++i;
            continue;
        }
        n += encode(QString(QChar(c))).size();
    }
    return n;
}

bool isRepresentable(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.unicode() < 0x80)
            continue;
        if (c.isSurrogate())
            return false;
        const QByteArray b = encode(QString(c));
        if (b == "?")
            return false;
    }
    return true;
}

qint16 keyCode(const QString &character)
{
    const QByteArray b = encode(character);
    if (b.isEmpty())
        return 0;
    if (b.size() == 1)
        return qint16(uchar(b[0]));
    return qint16(quint16((uchar(b[0]) << 8) | uchar(b[1])));
}

QString fromKeyCode(qint16 code)
{
    if (code == 0)
        return {};
    const quint16 u = quint16(code);
    if (u < 0x100) {
        const char c = char(u);
        return decode(&c, 1);
    }
    const char b[2] = {char(u >> 8), char(u & 0xFF)};
    return decode(b, 2);
}

} // namespace cp932
