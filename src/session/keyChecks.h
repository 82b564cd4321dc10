#pragma once
// The checks of typed keys that the input boxes share.
#include <QString>

namespace lobbyModule {

// keyAscii is the code page 932 key code of the typed character (cp932::keyCode);
// setting it to 0 refuses the key. text/selectedChars: the box's current text and
// the length of its selection.
void limitByteLength(qint16 &keyAscii, const QString &text, int selectedChars, int maxBytes);
void checkUserIdChar(qint16 &keyAscii);
void filterDependentChar(qint16 &keyAscii);

} // namespace lobbyModule
