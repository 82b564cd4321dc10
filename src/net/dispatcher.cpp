#include "dispatcher.h"

#include "net/frmCom.h"
#include "net/lobbyView.h"
#include "net/protocol/protocol.h"
#include "session/clientLog.h"
#include "session/lobbyModule.h"
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

bool is(const QString &key, const char *keyword)
{
    return key == QLatin1String(keyword);
}

// The stored shape of a list: its entries, then one empty element.
QStringList storedList(const QString &line)
{
    QStringList entries = protocol::listEntries(line);
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

void chatMessage(const QString &line, bool room, int &lineCount)
{
    // "<" token 1 "> " rest of the line, without splitting more of the line than is shown.
    const qsizetype first = line.indexOf(u' ');
    if (first < 0)
        return; // no sender, nothing to show
    const qsizetype second = line.indexOf(u' ', first + 1);
    const QStringView whole(line);
    const QStringView sender = second < 0 ? whole.sliced(first + 1) : whole.sliced(first + 1, second - first - 1);
    const QStringView text = second < 0 ? QStringView() : whole.sliced(second + 1);
    QString shown;
    shown.reserve(std::min<qsizetype>(line.size(), kDisplayChars + 4));
    shown += u'<';
    shown += sender.first(std::min(sender.size(), kDisplayChars + 1));
    shown += QStringLiteral("> ");
    shown += text.first(std::min(text.size(), kDisplayChars + 1));
    lineCount = view().appendChat(room, displayText(shown));
}

void chart(frmCom &com, const QString &line, qsizetype dateToken)
{
    const QStringList t = protocol::tokens(line, dateToken + 1 + kChartValues);
    if (t.size() > 1) {
        if (t.size() > dateToken)
            received(com).strChartDate = t.at(dateToken);
        const qsizetype first = dateToken + 1;
        const qsizetype count = std::clamp<qsizetype>(t.size() - first, 0, kChartValues);
        QList<qint16> values(count, 0);
        for (qsizetype i = 0; i < count; ++i) {
            if (const auto v = lobbyModule::toInteger(t.at(first + i)))
                values[i] = *v;
        }
        received(com).aintChart = values;
    }
    received(com).blnChartReady = true;
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

namespace {

void roomPlayerList(frmCom &com, const QString &line)
{
    received(com).astrRoomPlayers = storedList(line);
    showRoomPlayerList(com);
}

void hostIp(const QString &line)
{
    view().setStatusText(QStringLiteral("ゲームが開始されました。アプリケーションに戻った後ホストに接続してください。"));
    view().matchAnnounced();
    const QStringList t = protocol::tokens(line, 2);
    if (t.size() > 1 && session().gblnHost == vbFalse) {
        // The game prints or connects to it: anything but a plain address is none.
        if (lobbyModule::isPlainAddress(t.at(1))) {
            session().gstrHostIP = t.at(1);
        } else {
            session().gstrHostIP.clear();
            ++session().gProtocolErrors;
            qCWarning(lcClient) << "HOSTIP without a plain address ignored";
        }
    }
    // A record for the curious; the match goes on whether or not it was stored.
    settings::save(settings::key::dbgHostIp, session().gstrHostIP);
}

void start(frmCom &com)
{
    dispatcherAccess::setClosing(com);
    session().setLobbyEnd(LobbyEnd::MatchStarted);
    com.println(QString::fromLatin1(kw::QUIT));
    // The game may not run our event loop once Execute has returned.
    com.flushOutput();
    // The game takes over now: no dialog of the lobby may hold Execute back.
    view().closeAll();
}

void gameInfo(const QString &line)
{
    const QStringList t = protocol::tokens(line, 5);
    if (t.size() > 1)
        if (const auto v = lobbyModule::toInteger(t.at(1)))
            session().gintGameID = *v;
    if (t.size() > 2)
        if (const auto v = lobbyModule::toInteger(t.at(2)))
            session().gintMinPlayers = *v;
    if (t.size() > 4) {
        if (const auto b = lobbyModule::toBoolean(t.at(4))) {
            session().gblnTopmost = *b;
            if (!session().gblnTopmost)
                view().dropAlwaysOnTop();
        }
    }
}

void deleteRoom()
{
    if (session().gblnHost == vbFalse) {
        view().clearRoomPlayers();
        platform::msgBox(QStringLiteral("部屋が削除されました"), platform::mb::OKOnly | platform::mb::Information);
    }
    view().leaveRoomMode();
}

void playerInfo(const QString &line)
{
    const QStringList t = protocol::tokens(line, 2);
    if (t.size() < 2)
        return;
    const QString name = displayText(t.at(1));
    const QString comment = displayText(QStringView(line).sliced(std::min(line.size(), t.at(0).size() + t.at(1).size() + 2)));
    view().setStatusText(name + QStringLiteral("のコメント : ") + comment);
}

void chatData(frmCom &com, const QString &line)
{
    qsizetype more = 0;
    QStringList phrases = protocol::chatPhrases(line, kMaxGamePhrases, &more);
    const QString section = settings::section::gamePhrases(session().gstrGameName);
    // Neither the section nor the lists are emptied first: a second line adds to them.
    settings::Values values;
    values.reserve(phrases.size());
    for (qsizetype i = 0; i < phrases.size(); ++i)
        values.append({QString::number(i + 1), phrases.at(i)});
    // What the server sends again at the next sign-in; nothing to tell the user.
    settings::SaveSettings(section, values);
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

    const QString key = protocol::keyword(line);
    if (is(key, kw::OK)) {
        session().gintStatus = StatusOK;
    } else if (is(key, kw::ERR)) {
        session().gintStatus = StatusErr;
        const QStringList t = protocol::tokens(line, 2);
        if (t.size() > 1)
            session().gintErrCode = lobbyModule::toInteger(t.at(1)).value_or(0);
    } else if (is(key, kw::LMESSAGE)) {
        chatMessage(line, false, received(com).intLobbyLines);
    } else if (is(key, kw::RMESSAGE)) {
        chatMessage(line, true, received(com).intRoomLines);
    } else if (is(key, kw::PLAYERLIST)) {
        received(com).astrPlayers = storedList(line);
        received(com).blnPlayerListReady = true;
        view().showPlayers(com.received().astrPlayers);
    } else if (is(key, kw::ROOMLIST)) {
        received(com).astrRooms = storedList(line);
        received(com).blnRoomListReady = true;
        view().showRooms(com.received().astrRooms);
        if (!view().isRoomMode())
            view().clearRoomPlayers();
    } else if (is(key, kw::DAYCHART)) {
        chart(com, line, 2);
    } else if (is(key, kw::WEEKCHART)) {
        chart(com, line, 1);
    } else if (is(key, kw::ROOMPLAYERLIST)) {
        roomPlayerList(com, line);
    } else if (is(key, kw::HOSTIP)) {
        hostIp(line);
    } else if (is(key, kw::START)) {
        start(com);
        return false;
    } else if (is(key, kw::GAMEINFO)) {
        gameInfo(line);
    } else if (is(key, kw::DELETEROOM)) {
        deleteRoom();
    } else if (is(key, kw::PLAYERINFO)) {
        playerInfo(line);
    } else if (is(key, kw::CHATDATA)) {
        chatData(com, line);
    } else {
        qCDebug(lcClient) << "line of unknown kind ignored:" << QStringView(key).first(std::min<qsizetype>(key.size(), 32));
    }
    return true;
}

} // namespace dispatcher
