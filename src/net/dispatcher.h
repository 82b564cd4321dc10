#pragma once
// Turns each server line into its effects. The only code that does.
#include "net/protocol/protocol.h"

#include <QString>

class frmCom;

namespace dispatcher {

// The access chart has this many slots; further values of a chart line are ignored.
constexpr int kChartValues = protocol::kChartValues;
// A chat line or a comment is shown cut to this many characters, ending in "…".
constexpr qsizetype kDisplayChars = 2048;
// A game's phrases: CHATDATA stores at most this many, and the drop-down lists of
// the chat inputs take at most this many of them besides the user's own.
constexpr qsizetype kMaxGamePhrases = 100;

// Server text as one line of a chat box or the status bar: cut to kDisplayChars
// and with every line break shown as a space, so it cannot pose as a line of its own.
QString displayText(QStringView text);

// Handles one decoded line. Returns false when the rest of the lines that arrived
// with it must not be read (the match has started).
bool dispatchLine(frmCom &com, const QString &line);

// Shows the stored room-player list in the lobby window and, for the host, enables
// Start by the room's size.
void showRoomPlayerList(frmCom &com);

} // namespace dispatcher
