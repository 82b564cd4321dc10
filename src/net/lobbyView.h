#pragma once
// What the connection and the dispatcher may do to the windows: the one way from
// the network layer up into the interface. The lobby window implements it
// (lobby/lobbyViewImpl); the network layer includes no window header.
#include <QString>
#include <QStringList>

#include <optional>

class LobbyView {
public:
    virtual ~LobbyView() = default;

    // Every server line is echoed into the lobby chat (the debug setting).
    virtual bool echoesLines() const = 0;
    // Adds a line to the lobby or the room chat; returns the lines the box held before.
    virtual int appendChat(bool room, const QString &line) = 0;
    // Stored lists: entries then one empty element, as they came in their lines.
    virtual void showPlayers(const QStringList &stored) = 0;
    virtual void showRooms(const QStringList &stored) = 0;
    // The room's players (non-empty entries); Start follows the room's size for the
    // host when startEnabled holds a value.
    virtual void showRoomPlayers(const QStringList &players, std::optional<bool> startEnabled) = 0;
    virtual bool isRoomMode() const = 0;
    virtual void clearRoomPlayers() = 0;
    virtual void leaveRoomMode() = 0;
    virtual void setStatusText(const QString &text) = 0;
    // The host's address came: leaving is over, the match is about to start.
    virtual void matchAnnounced() = 0;
    // Phrases the chat inputs can still take besides the user's own, given the cap
    // on a game's phrases.
    virtual qsizetype chatPhraseRoom(qsizetype maxGamePhrases) const = 0;
    virtual void addChatPhrases(const QStringList &phrases) = 0;
    // Every window goes back into the ordinary stacking.
    virtual void dropAlwaysOnTop() = 0;
    // The match started: nothing of the lobby may stay on the screen.
    virtual void closeAll() = 0;
    // The line dropped: the windows that need it close.
    virtual void closeForDroppedLine() = 0;
};
