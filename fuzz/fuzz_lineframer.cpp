// The line framer fed in arbitrary pieces: whatever the chunking, it yields exactly
// the lines of the stream that fit the limit, counts the others as dropped, and
// holds no more than one line's worth of bytes.
#include "fuzzcheck.h"
#include "wire/lineframer.h"

#include <cstdint>

namespace {

struct Framed {
    QList<QByteArray> lines;
    qsizetype dropped = 0;
    qsizetype pending = 0;
};

// What a framer must give for the whole stream.
Framed expected(QByteArrayView data, qsizetype max)
{
    Framed f;
    qsizetype pos = 0;
    for (;;) {
        const qsizetype end = data.sliced(pos).indexOf(QByteArrayView("\r\n"));
        if (end < 0)
            break;
        if (end <= max)
            f.lines.append(data.sliced(pos, end).toByteArray());
        else
            ++f.dropped;
        pos += end + 2;
    }
    const QByteArrayView tail = data.sliced(pos);
    // A tail one byte over the limit may still be a whole line once its LF comes.
    if (tail.size() <= max || (tail.size() == max + 1 && tail.endsWith('\r')))
        f.pending = tail.size();
    return f;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size < 2)
        return 0;
    const qsizetype max = 1 + bytes[0] % 48;
    const size_t pieces = bytes[1] % 8;
    if (size < 2 + pieces)
        return 0;
    const uint8_t *sizes = bytes + 2;
    const QByteArrayView data(reinterpret_cast<const char *>(bytes + 2 + pieces), qsizetype(size - 2 - pieces));

    LineFramer chunked(max);
    Framed got;
    qsizetype pos = 0;
    for (size_t i = 0; pos < data.size(); ++i) {
        const qsizetype n = pieces ? std::min<qsizetype>(data.size() - pos, 1 + sizes[i % pieces] % 64) : data.size();
        chunked.feed(data.sliced(pos, n), got.lines);
        FUZZ_CHECK(chunked.pending() <= max + 1);
        pos += n;
    }
    got.dropped = chunked.droppedLines();
    got.pending = chunked.pending();

    const Framed want = expected(data, max);
    FUZZ_CHECK(got.lines == want.lines);
    FUZZ_CHECK(got.dropped == want.dropped);
    FUZZ_CHECK(got.pending == want.pending);

    // After clear() it starts afresh.
    chunked.clear();
    QList<QByteArray> again;
    chunked.feed(QByteArrayView("x\r\n"), again);
    FUZZ_CHECK(again == QList<QByteArray>{QByteArray("x")});
    return 0;
}
