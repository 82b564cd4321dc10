#include "keyChecks.h"

#include "seams.h"
#include "wire/codec.h"
#include "wire/wire.h"

namespace lobbyModule {

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
    if (!protocol::isUserIdSymbol(keyAscii))
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

} // namespace lobbyModule
