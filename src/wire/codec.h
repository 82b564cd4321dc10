#pragma once
// The one place where text meets code page 932. Everything on the wire, every byte
// limit of an input box and every key code of the key filters goes through here.
#include <QByteArray>
#include <QString>

namespace cp932 {

// Characters with no code page 932 form become '?', as the ANSI conversion did.
QByteArray encode(const QString &text);
// Bytes that are not valid code page 932 become U+FFFD; decoding never stops early.
QString decode(const QByteArray &bytes);
QString decode(const char *data, qsizetype size);

// Length of the text in code page 932 bytes.
qsizetype byteLength(const QString &text);

// True when every character of text has a code page 932 form.
bool isRepresentable(const QString &text);

// The key code a key filter receives for one typed character: the byte for a
// single-byte character, the two bytes as a negative 16-bit number for a
// double-byte one (0x82A0 gives -32096). A character without a code page 932
// form gives the code of '?'.
qint16 keyCode(const QString &character);
// The character a key code stands for (inverse of keyCode), empty for 0.
QString fromKeyCode(qint16 code);

} // namespace cp932
