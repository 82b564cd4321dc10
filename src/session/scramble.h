#pragma once
// Password scrambling for the settings store.
#include <QString>

namespace lobbyModule {

// Every character moves 3 code points up in code page 932 ("abc" <-> "def"); a
// character whose shifted code is no character (the tilde, row ends) or that has no
// code page 932 form is kept as it is behind the marker U+0001, so every text comes
// back exactly.
QString encodeString(const QString &text);
QString decodeString(const QString &text);

} // namespace lobbyModule
