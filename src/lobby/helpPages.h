#pragma once
// Where the online help lives: the base address in the settings ([server] help),
// else the help pages installed with the component, opened from disk.
#include <QString>

namespace helpPages {

// The game's help page: on a web base "<base>/online/<id>/"; on the local pages
// (a file: base) the one page about matches.
QString gamePage(int gameId);
// The general lobby help page: "<base>/lobby/", or the local lobby page.
QString lobbyPage();
// The folder of the help pages that came with the component ("" when none is found).
QString localFolder();

} // namespace helpPages
