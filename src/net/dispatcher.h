#pragma once
// Turns each server line into its effects. The only code that does.
#include <QString>

class frmCom;

namespace dispatcher {

// The access chart has this many slots; further values of a chart line are ignored.
constexpr int kChartValues = 25;

// Handles one decoded line. Returns false when the rest of the lines that arrived
// with it must not be read (the match has started).
bool dispatchLine(frmCom &com, const QString &line);

// Shows the stored room-player list in the lobby window and, for the host, enables
// Start by the room's size.
void showRoomPlayerList(frmCom &com);

} // namespace dispatcher
