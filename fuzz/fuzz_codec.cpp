// The code page 932 codec: decoding any bytes, and the round trips that must hold.
#include "fuzzcheck.h"
#include "wire/codec.h"

#include <cstdint>

namespace {

// strict: text that came out of the decoder, which must come back exactly. Other
// text may have characters the code page only approximates; once encoded, though,
// it must be stable.
void checkText(const QString &text, bool strict)
{
    const QByteArray bytes = cp932::encode(text);
    FUZZ_CHECK(cp932::byteLength(text) == bytes.size());
    const QString back = cp932::decode(bytes);
    FUZZ_CHECK(cp932::encode(back) == bytes);
    if (!strict || !cp932::isRepresentable(text))
        return;
    FUZZ_CHECK(back == text);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.unicode() == 0 || c.isSurrogate())
            continue;
        const QString one(c);
        FUZZ_CHECK(cp932::fromKeyCode(cp932::keyCode(one)) == one);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto *chars = reinterpret_cast<const char *>(data);
    const QString decoded = cp932::decode(chars, qsizetype(size));
    FUZZ_CHECK(decoded.size() <= qsizetype(size));
    FUZZ_CHECK(cp932::decode(QByteArray(chars, qsizetype(size))) == decoded);
    checkText(decoded, !decoded.contains(QChar::ReplacementCharacter));
    // Decoding stops at nothing: the bytes after a bad one decode as they would alone
    // once a line break resynchronises.
    const qsizetype nl = QByteArrayView(chars, qsizetype(size)).indexOf('\n');
    if (nl >= 0) {
        const QString after = cp932::decode(chars + nl + 1, qsizetype(size) - nl - 1);
        FUZZ_CHECK(decoded.endsWith(after));
    }
    // The same bytes read as UTF-16 text, which may be anything.
    checkText(QString(reinterpret_cast<const QChar *>(data), qsizetype(size / 2)), false);
    for (size_t i = 0; i + 1 < size; i += 2)
        cp932::fromKeyCode(qint16(quint16(data[i] << 8 | data[i + 1])));
    return 0;
}
