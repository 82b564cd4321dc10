#include "dispatcher.h"

#include "net/frmCom.h"
#include "net/lobbyView.h"
#include "net/protocol/protocol.h"
#include "session/clientLog.h"
#include "session/sessionState.h"
#include "session/seams.h"
#include "session/settingkeys.h"

#include <algorithm>

// The one writer of what frmCom keeps from the server's lines.
struct dispatcherAccess {
    static frmCom::Received &received(frmCom &com) { return com.m_received; }
    static void setClosing(frmCom &com) { com.blnClosing = true; }
};

namespace dispatcher {
namespace {

namespace kw = protocol::kw;

// The windows, reached through the view the lobby installed; a window unloaded
// meanwhile is loaded again by it when a line arrives.
LobbyView &view()
{
    return frmCom::view();
}

frmCom::Received &received(frmCom &com)
{
    return dispatcherAccess::received(com);
}

// The stored shape of a list: its entries, then one empty element.
QStringList stored(QStringList entries)
{
    entries.append(QString());
    return entries;
}

QStringList nonEmptyEntries(const QStringList &stored)
{
    QStringList out;
    for (qsizetype i = 0; i + 1 < stored.size(); ++i)
        if (!stored.at(i).isEmpty())
            out.append(stored.at(i));
    return out;
}

void status(frmCom &com, const protocol::Status &st)
{
    if (st.offersListDelta)
        received(com).blnListDeltaOffered = true;
    received(com).lastStatus = st;
    session().gintStatus = st.ok ? StatusOK : StatusErr;
    if (st.code)
        session().gintErrCode = *st.code;
}

void chatMessage(const protocol::ChatLine &chat, int &lineCount)
{
    // Only what is shown is copied out of a long line.
    QString shown;
    shown.reserve(std::min<qsizetype>(chat.sender.size() + chat.text.size(), 2 * kDisplayChars) + 4);
    shown += u'<';
    shown += chat.sender.first(std::min(chat.sender.size(), kDisplayChars + 1));
    shown += QStringLiteral("> ");
    shown += chat.text.first(std::min(chat.text.size(), kDisplayChars + 1));
    lineCount = view().appendChat(chat.room, displayText(shown));
}

void chart(frmCom &com, const protocol::Chart &c)
{
    if (c.date)
        received(com).strChartDate = *c.date;
    if (c.values)
        received(com).aintChart = *c.values;
    received(com).blnChartReady = true;
}

void list(frmCom &com, protocol::ListLine &&l)
{
    switch (l.kind) {
    case protocol::ListLine::Players:
        received(com).astrPlayers = stored(std::move(l.entries));
        received(com).blnPlayerListReady = true;
        view().showPlayers(com.received().astrPlayers);
        break;
    case protocol::ListLine::Rooms:
        received(com).astrRooms = stored(std::move(l.entries));
        received(com).blnRoomListReady = true;
        view().showRooms(com.received().astrRooms);
        if (!view().isRoomMode())
            view().clearRoomPlayers();
        break;
    case protocol::ListLine::RoomPlayers:
        received(com).astrRoomPlayers = stored(std::move(l.entries));
        showRoomPlayerList(com);
        break;
    }
}

// A list changed by one entry shows as if the whole list had come.
void listDelta(frmCom &com, const protocol::ListDelta &d)
{
    if (d.kind == protocol::ListDelta::Players) {
        protocol::applyListDelta(received(com).astrPlayers, d);
        view().showPlayers(com.received().astrPlayers);
        return;
    }
    protocol::applyListDelta(received(com).astrRooms, d);
    view().showRooms(com.received().astrRooms);
    if (!view().isRoomMode())
        view().clearRoomPlayers();
}

void hostIp(const protocol::HostIp &h)
{
    view().setStatusText(QStringLiteral("ゲームが開始されました。アプリケーションに戻った後ホストに接続してください。"));
    view().matchAnnounced();
    SessionState &s = session();
    if (h.address && s.gblnHost == vbFalse) {
        // The game prints or connects to it: anything but a plain address is none.
        s.gstrHostIP = *h.address;
        if (h.malformed) {
            ++s.gProtocolErrors;
            qCWarning(lcClient) << "HOSTIP without a plain address ignored";
        }
    }
    // A record for the curious; the match goes on whether or not it was stored.
    // A flood of these costs one write per pass of the event loop.
    settings::saveSoon(settings::key::dbgHostIp.sectionName(), {{settings::key::dbgHostIp.keyName(), s.gstrHostIP}});
}

void start(frmCom &com)
{
    dispatcherAccess::setClosing(com);
    session().setLobbyEnd(LobbyEnd::MatchStarted);
    com.send(protocol::client::Quit{});
    // The game may not run our event loop once Execute has returned.
    com.flushOutput();
    settings::flushSoon();
    // The game takes over now: no dialog of the lobby may hold Execute back.
    view().closeAll();
}

void gameInfo(const protocol::GameInfo &g)
{
    SessionState &s = session();
    if (g.id)
        s.gintGameID = *g.id;
    if (g.minPlayers)
        s.gintMinPlayers = *g.minPlayers;
    if (g.topmost) {
        s.gblnTopmost = *g.topmost;
        if (!s.gblnTopmost)
            view().dropAlwaysOnTop();
    }
}

void deleteRoom(const frmCom &com)
{
    if (session().gblnHost == vbFalse) {
        view().clearRoomPlayers();
        // The match starting right after it makes the notice moot.
        if (!com.startQueued())
            platform::msgBox(QStringLiteral("部屋が削除されました"), platform::mb::OKOnly | platform::mb::Information);
    }
    view().leaveRoomMode();
}

void playerInfo(const protocol::PlayerInfo &p)
{
    view().setStatusText(displayText(p.name) + QStringLiteral("のコメント : ") + displayText(p.comment));
}

void chatData(frmCom &com, protocol::ChatData &&data)
{
    QStringList &phrases = data.phrases;
    qsizetype more = data.more;
    // Neither the section nor the lists are emptied first: a second line adds to them.
    settings::Values values;
    values.reserve(phrases.size());
    for (qsizetype i = 0; i < phrases.size(); ++i)
        values.append({QString::number(i + 1), phrases.at(i)});
    // What the server sends again at the next sign-in; nothing to tell the user.
    settings::saveSoon(settings::section::gamePhrases(session().gstrGameName), values);
    // The lists hold no more than the user's own phrases and kMaxGamePhrases others,
    // however many lines come.
    const qsizetype room = std::max<qsizetype>(0, view().chatPhraseRoom(kMaxGamePhrases));
    if (phrases.size() > room) {
        more += phrases.size() - room;
        phrases.resize(room);
    }
    received(com).ignoredChatPhrases += more;
    if (!phrases.isEmpty())
        view().addChatPhrases(phrases);
}

} // namespace

void showRoomPlayerList(frmCom &com)
{
    // An empty entry (a line feed after the last one) is no player: it neither
    // counts towards the room size nor shows as a row.
    const QStringList players = nonEmptyEntries(com.received().astrRoomPlayers);
    std::optional<bool> start;
    if (!players.isEmpty() && session().gblnHost == vbTrue)
        start = players.size() >= session().gintMinPlayers;
    view().showRoomPlayers(players, start);
}

QString displayText(QStringView text)
{
    QString out;
    if (text.size() > kDisplayChars) {
        qsizetype keep = kDisplayChars - 1;
        if (text.at(keep - 1).isHighSurrogate())
            --keep; // a character is not cut in half
        out = text.first(keep).toString() + QStringLiteral("…");
    } else {
        out = text.toString();
    }
    for (QChar &c : out) {
        switch (c.unicode()) {
        case u'\n': case u'\r': case u'\v': case u'\f':
        case 0x85: case 0x2028: case 0x2029:
            c = u' ';
            break;
        default:
            break;
        }
    }
    return out;
}

bool dispatchLine(frmCom &com, const QString &line)
{
    if (view().echoesLines())
        view().appendChat(false, displayText(line));
    if (com.isClosing())
        return false;

    using protocol::ServerLine;
    switch (protocol::serverLine(line)) {
    case ServerLine::Ok:
    case ServerLine::Err:
        if (const auto st = protocol::parseStatus(line))
            status(com, *st);
        break;
    case ServerLine::LobbyMessage:
        if (const auto chat = protocol::parseChatLine(line))
            chatMessage(*chat, received(com).intLobbyLines);
        break;
    case ServerLine::RoomMessage:
        if (const auto chat = protocol::parseChatLine(line))
            chatMessage(*chat, received(com).intRoomLines);
        break;
    case ServerLine::PlayerList:
    case ServerLine::RoomList:
    case ServerLine::RoomPlayerList:
        if (auto l = protocol::parseListLine(line))
            list(com, std::move(*l));
        break;
    case ServerLine::ListDelta:
        if (const auto d = protocol::parseListDelta(line))
            listDelta(com, *d);
        break;
    case ServerLine::DayChart:
    case ServerLine::WeekChart:
        if (const auto c = protocol::parseChart(line))
            chart(com, *c);
        break;
    case ServerLine::HostIp:
        if (const auto h = protocol::parseHostIp(line))
            hostIp(*h);
        break;
    case ServerLine::Start:
        start(com);
        return false;
    case ServerLine::GameInfo:
        if (const auto g = protocol::parseGameInfo(line))
            gameInfo(*g);
        break;
    case ServerLine::DeleteRoom:
        deleteRoom(com);
        break;
    case ServerLine::PlayerInfo:
        if (const auto p = protocol::parsePlayerInfo(line))
            playerInfo(*p);
        break;
    case ServerLine::ChatData:
        if (auto d = protocol::parseChatData(line, kMaxGamePhrases))
            chatData(com, std::move(*d));
        break;
    case ServerLine::Unknown:
        qCDebug(lcClient) << "line of unknown kind ignored:" << QStringView(line).first(std::min<qsizetype>(line.size(), 32));
        break;
    }
    return true;
}

} // namespace dispatcher
