#include "protocol.h"

#include "clientlines.h"
#include "wire/rules.h"

#include <QHash>
#include <QSet>

#include <algorithm>

namespace protocol {

QString command(const QString &keyword, const QStringList &args)
{
    QString line = keyword;
    for (const QString &a : args) {
        line += u' ';
        line += a;
    }
    return line;
}

QString escapeGameName(const QString &name)
{
    QString s = name;
    s.replace(QStringLiteral("["), QStringLiteral("\\["));
    s.replace(QStringLiteral("]"), QStringLiteral("\\]"));
    return s;
}

QString unescapeGameName(const QString &escaped)
{
    QString s = escaped;
    s.replace(QStringLiteral("\\["), QStringLiteral("["));
    s.replace(QStringLiteral("\\]"), QStringLiteral("]"));
    return s;
}

// The client's builders, kept for callers that hold plain strings.
QString gameName(const QString &name) { return client::GameName{name}.encode(); }
QString host(qint16 blnHost) { return client::Host{blnHost == -1}.encode(); }

QString registUser(const QString &user, const QString &password, const QString &email, const QString &comment)
{
    return client::RegistUser{user, password, email, comment}.encode();
}

QString updateUser(const QString &user, const QString &password, const QString &email, const QString &comment)
{
    return client::UpdateUser{user, password, email, comment}.encode();
}

QString login(const QString &user, const QString &password) { return client::Login{user, password}.encode(); }
QString createRoom(const QString &name) { return client::CreateRoom{name}.encode(); }
QString enterRoom(const QString &roomEntry) { return client::EnterRoom{client::roomNameOfEntry(roomEntry)}.encode(); }

QString roomPlayerList(const QString &roomEntry)
{
    return client::RoomPlayerList{client::roomNameOfEntry(roomEntry)}.encode();
}

QString deleteRoom(const QString &name) { return client::DeleteRoom{name}.encode(); }
QString playerInfo(const QString &playerEntry) { return client::PlayerInfo::fromEntry(playerEntry).encode(); }
QString lobbyMessage(const QString &text) { return client::LobbyMessage{text}.encode(); }
QString roomMessage(const QString &text) { return client::RoomMessage{text}.encode(); }
QString ip(const QString &address) { return client::Ip{address}.encode(); }

QString okLine(const QString &text)
{
    return text.isEmpty() ? QString::fromLatin1(kw::OK) : command(QLatin1String(kw::OK), {text});
}

QString errLine(int code, const QString &text)
{
    QStringList args{QString::number(code)};
    if (!text.isEmpty())
        args << text;
    return command(QLatin1String(kw::ERR), args);
}

QString chatLine(bool room, const QString &sender, const QString &text)
{
    return command(QLatin1String(room ? kw::RMESSAGE : kw::LMESSAGE), {sender, text});
}

QString hostIpLine(const QString &address) { return command(QLatin1String(kw::HOSTIP), {address}); }
QString startLine() { return QString::fromLatin1(kw::START); }
QString deleteRoomLine(const QString &room) { return command(QLatin1String(kw::DELETEROOM), {room}); }

QString playerListEntry(const QString &name, bool host)
{
    return name + (host ? QStringLiteral(" 1") : QStringLiteral(" 0"));
}

QString roomListEntry(const QString &name, qsizetype members, int capacity)
{
    // Concatenated: a name holding "%2" must not take the place of a number.
    return name + u' ' + QString::number(members) + u'/' + QString::number(capacity);
}

QString listLine(const QString &keyword, const QStringList &entries)
{
    if (entries.isEmpty())
        return keyword;
    QString line = keyword + u' ';
    for (const QString &e : entries) {
        line += u'\n';
        line += e;
    }
    return line;
}

QString chatDataLine(const QStringList &phrases)
{
    QString line = QStringLiteral("CHATDATA ");
    for (const QString &p : phrases) {
        line += p;
        line += u'@';
    }
    return line;
}

QString gameInfoLine(int id, int minPlayers, int n, bool topmost)
{
    return command(QLatin1String(kw::GAMEINFO), {QString::number(id), QString::number(minPlayers), QString::number(n),
                                  topmost ? QStringLiteral("True") : QStringLiteral("False")});
}

static QStringList numbers(const QList<int> &values)
{
    QStringList out;
    out.reserve(values.size());
    for (int v : values)
        out << QString::number(v);
    return out;
}

QString dayChartLine(const QString &x, int hour, const QList<int> &counts)
{
    return command(QLatin1String(kw::DAYCHART), QStringList{x, QString::number(hour)} + numbers(counts));
}

QString weekChartLine(const QDate &newestDay, const QList<int> &counts)
{
    const QString date = QStringLiteral("%1/%2/%3").arg(newestDay.year()).arg(newestDay.month()).arg(newestDay.day());
    return command(QLatin1String(kw::WEEKCHART), QStringList{date} + numbers(counts));
}

QString playerInfoLine(const QString &name, const QString &comment)
{
    return command(QLatin1String(kw::PLAYERINFO), {name, comment});
}

QStringList tokens(const QString &line)
{
    return line.split(u' ');
}

QStringList tokens(const QString &line, qsizetype max)
{
    QStringList out;
    qsizetype from = 0;
    while (out.size() < max) {
        const qsizetype sp = line.indexOf(u' ', from);
        if (sp < 0) {
            out << line.mid(from);
            break;
        }
        out << line.mid(from, sp - from);
        from = sp + 1;
    }
    return out;
}

QString keyword(const QString &line)
{
    const qsizetype sp = line.indexOf(u' ');
    return sp < 0 ? line : line.left(sp);
}

QString restOfLine(const QString &line)
{
    const qsizetype first = line.indexOf(u' ');
    if (first < 0)
        return QString();
    const qsizetype second = line.indexOf(u' ', first + 1);
    if (second < 0)
        return QString();
    return line.mid(second + 1);
}

QStringList listEntries(const QString &line)
{
    QStringList parts = line.split(u'\n');
    parts.removeFirst();
    return parts;
}

QStringList chatPhrases(const QString &line)
{
    const qsizetype start = qsizetype(qstrlen(kw::CHATDATA)) + 1;
    if (line.size() <= start)
        return {};
    QStringList parts = line.mid(start).split(u'@');
    parts.removeLast();
    return parts;
}

QStringList chatPhrases(const QString &line, qsizetype max, qsizetype *more)
{
    QStringList out;
    const qsizetype start = qsizetype(qstrlen(kw::CHATDATA)) + 1;
    qsizetype from = start;
    if (line.size() > start) {
        qsizetype at;
        while (out.size() < max && (at = line.indexOf(u'@', from)) >= 0) {
            out << line.mid(from, at - from);
            from = at + 1;
        }
    }
    if (more)
        *more = line.size() > from ? QStringView(line).sliced(from).count(u'@') : 0;
    return out;
}

RoomEntry roomEntry(const QString &entry)
{
    const qsizetype sp = entry.lastIndexOf(u' ');
    if (sp < 0)
        return {QString(), entry};
    return {entry.left(sp + 1), entry.mid(sp + 1)};
}

PlayerEntry playerEntry(const QString &entry)
{
    const QStringList t = tokens(entry, 2);
    return {t.at(0), t.size() > 1 && t.at(1) == QLatin1String("1")};
}

QString roomRow(const QString &entry)
{
    // The name keeps the space before the status token, so "MyRoom 3" shows as
    // "MyRoom  (3)".
    const RoomEntry r = roomEntry(entry);
    return r.name + QStringLiteral(" (") + r.status + u')';
}

QString playerRow(const QString &entry)
{
    const PlayerEntry p = playerEntry(entry);
    return p.name + QStringLiteral(" (") + (p.host ? QStringLiteral("サーバー") : QStringLiteral("クライアント")) + u')';
}

// ---- Server lines, typed ---------------------------------------------------

namespace {

QStringView keywordOf(QStringView line)
{
    const qsizetype sp = line.indexOf(u' ');
    return sp < 0 ? line : line.first(sp);
}

// The first max tokens as views into line (fewer when the line has fewer).
QList<QStringView> tokenViews(QStringView line, qsizetype max)
{
    QList<QStringView> out;
    qsizetype from = 0;
    while (out.size() < max) {
        const qsizetype sp = line.indexOf(u' ', from);
        if (sp < 0) {
            out << line.sliced(from);
            break;
        }
        out << line.sliced(from, sp - from);
        from = sp + 1;
    }
    return out;
}

std::optional<qint16> integer(QStringView token) { return toInteger(token); }

// Token 1 and everything after the second space, for lines that carry a name and
// then free text. nullopt when no space follows the keyword.
struct NameAndRest {
    QStringView name;
    QStringView rest;
};
std::optional<NameAndRest> nameAndRest(QStringView line)
{
    const qsizetype first = line.indexOf(u' ');
    if (first < 0)
        return std::nullopt;
    const qsizetype second = line.indexOf(u' ', first + 1);
    if (second < 0)
        return NameAndRest{line.sliced(first + 1), QStringView()};
    return NameAndRest{line.sliced(first + 1, second - first - 1), line.sliced(second + 1)};
}

struct Keyword {
    const char *text;
    ServerLine kind;
};
constexpr Keyword kServerKeywords[] = {
    {kw::OK, ServerLine::Ok},
    {kw::ERR, ServerLine::Err},
    {kw::LMESSAGE, ServerLine::LobbyMessage},
    {kw::RMESSAGE, ServerLine::RoomMessage},
    {kw::PLAYERLIST, ServerLine::PlayerList},
    {kw::ROOMLIST, ServerLine::RoomList},
    {kw::DAYCHART, ServerLine::DayChart},
    {kw::WEEKCHART, ServerLine::WeekChart},
    {kw::ROOMPLAYERLIST, ServerLine::RoomPlayerList},
    {kw::HOSTIP, ServerLine::HostIp},
    {kw::START, ServerLine::Start},
    {kw::GAMEINFO, ServerLine::GameInfo},
    {kw::DELETEROOM, ServerLine::DeleteRoom},
    {kw::PLAYERINFO, ServerLine::PlayerInfo},
    {kw::CHATDATA, ServerLine::ChatData},
    {kw::PLAYERSET, ServerLine::ListDelta},
    {kw::PLAYERREMOVE, ServerLine::ListDelta},
    {kw::ROOMSET, ServerLine::ListDelta},
    {kw::ROOMREMOVE, ServerLine::ListDelta},
};

} // namespace

ServerLine serverLine(QStringView line)
{
    const QStringView key = keywordOf(line);
    for (const Keyword &k : kServerKeywords)
        if (key == QLatin1StringView(k.text))
            return k.kind;
    return ServerLine::Unknown;
}

std::optional<Status> parseStatus(const QString &line)
{
    const ServerLine kind = serverLine(line);
    if (kind == ServerLine::Ok) {
        Status st{true, std::nullopt};
        for (const QStringView word : QStringView(line).split(u' ').mid(1))
            st.offersListDelta |= word == QLatin1StringView(kw::LISTDELTA);
        return st;
    }
    if (kind != ServerLine::Err)
        return std::nullopt;
    const QList<QStringView> t = tokenViews(line, 2);
    if (t.size() < 2)
        return Status{false, std::nullopt};
    return Status{false, integer(t.at(1)).value_or(0)};
}

std::optional<ChatLine> parseChatLine(const QString &line)
{
    const ServerLine kind = serverLine(line);
    if (kind != ServerLine::LobbyMessage && kind != ServerLine::RoomMessage)
        return std::nullopt;
    const auto parts = nameAndRest(line);
    if (!parts)
        return std::nullopt;
    return ChatLine{kind == ServerLine::RoomMessage, parts->name, parts->rest};
}

std::optional<ListLine> parseListLine(const QString &line)
{
    ListLine out;
    switch (serverLine(line)) {
    case ServerLine::PlayerList:
        out.kind = ListLine::Players;
        break;
    case ServerLine::RoomList:
        out.kind = ListLine::Rooms;
        break;
    case ServerLine::RoomPlayerList:
        out.kind = ListLine::RoomPlayers;
        break;
    default:
        return std::nullopt;
    }
    out.entries = listEntries(line);
    return out;
}

std::optional<Chart> parseChart(const QString &line)
{
    const ServerLine kind = serverLine(line);
    if (kind != ServerLine::DayChart && kind != ServerLine::WeekChart)
        return std::nullopt;
    Chart out;
    out.week = kind == ServerLine::WeekChart;
    const qsizetype dateToken = out.week ? 1 : 2;
    const QList<QStringView> t = tokenViews(line, dateToken + 1 + kChartValues);
    if (t.size() < 2)
        return out;
    if (t.size() > dateToken)
        out.date = t.at(dateToken).toString();
    const qsizetype first = dateToken + 1;
    const qsizetype count = std::clamp<qsizetype>(t.size() - first, 0, kChartValues);
    QList<qint16> values(count, 0);
    for (qsizetype i = 0; i < count; ++i)
        if (const auto v = integer(t.at(first + i)))
            values[i] = *v;
    out.values = std::move(values);
    return out;
}

std::optional<HostIp> parseHostIp(const QString &line)
{
    if (serverLine(line) != ServerLine::HostIp)
        return std::nullopt;
    HostIp out;
    const QList<QStringView> t = tokenViews(line, 2);
    if (t.size() < 2)
        return out;
    // Longer than any address: no need to copy it to know.
    const QStringView token = t.at(1);
    if (token.size() <= limits::kAddressChars && isPlainAddress(token)) {
        out.address = token.toString();
    } else {
        out.address = QString();
        out.malformed = true;
    }
    return out;
}

std::optional<Start> parseStart(QStringView line)
{
    if (serverLine(line) != ServerLine::Start)
        return std::nullopt;
    return Start{};
}

std::optional<GameInfo> parseGameInfo(const QString &line)
{
    if (serverLine(line) != ServerLine::GameInfo)
        return std::nullopt;
    GameInfo out;
    const QList<QStringView> t = tokenViews(line, 5);
    if (t.size() > 1)
        out.id = integer(t.at(1));
    if (t.size() > 2)
        out.minPlayers = integer(t.at(2));
    if (t.size() > 4)
        out.topmost = toBoolean(t.at(4));
    return out;
}

std::optional<DeleteRoom> parseDeleteRoom(const QString &line)
{
    if (serverLine(line) != ServerLine::DeleteRoom)
        return std::nullopt;
    const qsizetype sp = line.indexOf(u' ');
    return DeleteRoom{sp < 0 ? QStringView() : QStringView(line).sliced(sp + 1)};
}

std::optional<PlayerInfo> parsePlayerInfo(const QString &line)
{
    if (serverLine(line) != ServerLine::PlayerInfo)
        return std::nullopt;
    const auto parts = nameAndRest(line);
    if (!parts)
        return std::nullopt;
    return PlayerInfo{parts->name, parts->rest};
}

std::optional<ChatData> parseChatData(const QString &line, qsizetype max)
{
    if (serverLine(line) != ServerLine::ChatData)
        return std::nullopt;
    ChatData out;
    out.phrases = chatPhrases(line, max, &out.more);
    return out;
}

QString listEntryKey(QStringView entry)
{
    return entry.first(std::max<qsizetype>(0, entry.lastIndexOf(u' '))).toString();
}

std::optional<ListDelta> parseListDelta(const QString &line)
{
    if (serverLine(line) != ServerLine::ListDelta)
        return std::nullopt;
    const QStringView key = keywordOf(line);
    ListDelta out;
    out.kind = key.startsWith(u'R') ? ListDelta::Rooms : ListDelta::Players;
    out.remove = key.endsWith(QLatin1StringView("REMOVE"));
    if (line.size() > key.size())
        out.value = line.sliced(key.size() + 1);
    if (out.value.isEmpty())
        return std::nullopt; // no entry and no name: nothing to do
    return out;
}

void applyListDelta(QStringList &stored, const ListDelta &d)
{
    if (stored.isEmpty() || !stored.constLast().isEmpty())
        stored.append(QString());
    const QString key = d.remove ? d.value : listEntryKey(d.value);
    for (qsizetype i = 0; i + 1 < stored.size(); ++i) {
        if (listEntryKey(stored.at(i)) != key)
            continue;
        if (d.remove)
            stored.removeAt(i);
        else
            stored[i] = d.value;
        return;
    }
    if (!d.remove)
        stored.insert(stored.size() - 1, d.value);
}

QStringList listDeltaLines(ListDelta::Kind kind, const QStringList &sent, const QStringList &now)
{
    const bool rooms = kind == ListDelta::Rooms;
    const QString set = QLatin1StringView(rooms ? kw::ROOMSET : kw::PLAYERSET) + u' ';
    const QString remove = QLatin1StringView(rooms ? kw::ROOMREMOVE : kw::PLAYERREMOVE) + u' ';
    // Views into the lists: a big game's lists are compared without copying a name.
    const auto key = [](const QString &entry) { return QStringView(entry).first(std::max<qsizetype>(0, entry.lastIndexOf(u' '))); };
    QSet<QStringView> nowKeys;
    nowKeys.reserve(now.size());
    for (const QString &e : now)
        nowKeys.insert(key(e));
    QStringList removals, sets;
    QHash<QStringView, qsizetype> keptAt; // entries of sent still there, by their order among those
    keptAt.reserve(sent.size());
    QList<qsizetype> kept;
    kept.reserve(sent.size());
    for (qsizetype i = 0; i < sent.size(); ++i) {
        const QStringView k = key(sent.at(i));
        if (nowKeys.contains(k)) {
            keptAt.insert(k, kept.size());
            kept << i;
        } else {
            removals << remove + k.toString();
        }
    }
    // Kept entries stay where they are as long as now follows their order; one
    // skipped over is removed and appended again, and from the first new entry on
    // everything left is appended.
    qsizetype next = 0; // in kept
    qsizetype i = 0;    // in now
    for (; i < now.size(); ++i) {
        const auto at = keptAt.constFind(key(now.at(i)));
        if (at == keptAt.constEnd() || *at < next)
            break; // new, or removed above as out of order
        for (; next < *at; ++next)
            removals << remove + key(sent.at(kept.at(next))).toString();
        if (sent.at(kept.at(next)) != now.at(i))
            sets << set + now.at(i);
        ++next;
    }
    for (qsizetype k = next; k < kept.size(); ++k)
        removals << remove + key(sent.at(kept.at(k))).toString();
    for (; i < now.size(); ++i)
        sets << set + now.at(i);
    return removals + sets;
}

} // namespace protocol
