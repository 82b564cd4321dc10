#include "clientlines.h"

#include "protocol.h"

#include <QHash>

namespace protocol {

// The server's splitting of client lines, which parseClientLine keeps.
QString afterKeyword(const QString &line)
{
    const qsizetype sp = line.indexOf(u' ');
    return sp < 0 ? QString() : line.mid(sp + 1);
}

QStringList fieldsAndRest(const QString &line, int n)
{
    QStringList out;
    out.reserve(n + 1);
    qsizetype pos = line.indexOf(u' ');
    for (int i = 0; i < n; ++i) {
        if (pos < 0) {
            out << QString();
            continue;
        }
        const qsizetype next = line.indexOf(u' ', pos + 1);
        out << (next < 0 ? line.mid(pos + 1) : line.mid(pos + 1, next - pos - 1));
        pos = next;
    }
    out << (pos < 0 ? QString() : line.mid(pos + 1));
    return out;
}

QString roomNameArgument(const QString &line)
{
    QString name = afterKeyword(line);
    qsizetype end = name.size();
    while (end > 0 && name.at(end - 1) == u' ')
        --end;
    name.truncate(end);
    return name;
}

} // namespace protocol

namespace protocol::client {

namespace {

QString withArgs(const char *keyword, const QStringList &args) { return command(QString::fromLatin1(keyword), args); }

// The server has always read fields at single spaces, so an empty field between
// two spaces is a field.
template <typename T>
Line account(const QString &line)
{
    const QStringList f = fieldsAndRest(line, 3);
    return T{f[0], f[1], f[2], f[3]};
}

template <typename T>
Line roomCommand(const QString &line)
{
    return T{roomNameArgument(line)};
}

using Parser = Line (*)(const QString &);

template <typename T>
Line bare(const QString &)
{
    return T{};
}

const QHash<QString, Parser> &parsers()
{
    static const QHash<QString, Parser> table{
        {QLatin1String(kw::GAMENAME),
         +[](const QString &l) -> Line { return GameName{unescapeGameName(afterKeyword(l))}; }},
        {QLatin1String(kw::HOST),
         +[](const QString &l) -> Line {
             const QString flag = afterKeyword(l);
             if (flag == QLatin1String("yes"))
                 return Host{true};
             if (flag == QLatin1String("no"))
                 return Host{false};
             return Host{std::nullopt};
         }},
        {QLatin1String(kw::REGISTUSER), account<RegistUser>},
        {QLatin1String(kw::UPDATEUSER), account<UpdateUser>},
        {QLatin1String(kw::LOGIN),
         +[](const QString &l) -> Line {
             const QStringList f = fieldsAndRest(l, 1);
             return Login{f[0], f[1]};
         }},
        {QLatin1String(kw::LISTDELTA), bare<ListDelta>},
        {QLatin1String(kw::QUIT), bare<Quit>},
        {QLatin1String(kw::CHATDATA), bare<ChatData>},
        {QLatin1String(kw::ROOMLIST), bare<RoomList>},
        {QLatin1String(kw::DAYCHART), bare<DayChart>},
        {QLatin1String(kw::WEEKCHART), bare<WeekChart>},
        {QLatin1String(kw::LEAVEROOM), bare<LeaveRoom>},
        {QLatin1String(kw::START), bare<Start>},
        {QLatin1String(kw::LMESSAGE), +[](const QString &l) -> Line { return LobbyMessage{afterKeyword(l)}; }},
        {QLatin1String(kw::RMESSAGE), +[](const QString &l) -> Line { return RoomMessage{afterKeyword(l)}; }},
        {QLatin1String(kw::CREATEROOM), roomCommand<CreateRoom>},
        {QLatin1String(kw::ENTERROOM), roomCommand<EnterRoom>},
        {QLatin1String(kw::ROOMPLAYERLIST), roomCommand<RoomPlayerList>},
        {QLatin1String(kw::DELETEROOM), roomCommand<DeleteRoom>},
        {QLatin1String(kw::PLAYERINFO),
         +[](const QString &l) -> Line { return PlayerInfo::fromEntry(afterKeyword(l)); }},
        {QLatin1String(kw::IP), +[](const QString &l) -> Line { return Ip{afterKeyword(l).trimmed()}; }},
    };
    return table;
}

} // namespace

QString GameName::encode() const { return withArgs(kKeyword, {escapeGameName(name)}); }

QString Host::encode() const
{
    if (!host)
        return QString::fromLatin1(kKeyword);
    return withArgs(kKeyword, {*host ? QStringLiteral("yes") : QStringLiteral("no")});
}

QString RegistUser::encode() const { return withArgs(kKeyword, {user, password, email, comment}); }
QString UpdateUser::encode() const { return withArgs(kKeyword, {user, password, email, comment}); }
QString Login::encode() const { return withArgs(kKeyword, {user, password}); }
QString LobbyMessage::encode() const { return withArgs(kKeyword, {text}); }
QString RoomMessage::encode() const { return withArgs(kKeyword, {text}); }
QString Ip::encode() const { return withArgs(kKeyword, {address}); }

QString roomNameOfEntry(const QString &roomEntry) { return protocol::roomEntry(roomEntry).name + u' '; }

PlayerInfo PlayerInfo::fromEntry(const QString &playerEntry)
{
    const qsizetype sp = playerEntry.indexOf(u' ');
    if (sp < 0)
        return {playerEntry, std::nullopt};
    return {playerEntry.left(sp), playerEntry.mid(sp + 1)};
}

QString PlayerInfo::encode() const
{
    QString line = withArgs(kKeyword, {name});
    if (rest) {
        line += u' ';
        line += *rest;
    }
    return line;
}

Line parseClientLine(const QString &line)
{
    const qsizetype sp = line.indexOf(u' ');
    const QString keyword = sp < 0 ? line : line.left(sp);
    if (keyword.isEmpty())
        return Unknown{Unknown::Why::NoKeyword, QString()};
    const Parser parse = parsers().value(keyword);
    if (!parse)
        return Unknown{Unknown::Why::UnknownKeyword, keyword};
    return parse(line);
}

QString encode(const Line &line)
{
    return std::visit(
        [](const auto &command) -> QString {
            if constexpr (std::is_same_v<std::decay_t<decltype(command)>, Unknown>)
                return command.keyword;
            else
                return command.encode();
        },
        line);
}

QString loggable(const Line &parsed, const QString &line)
{
    return std::visit(
        [&line](const auto &command) -> QString {
            using T = std::decay_t<decltype(command)>;
            if constexpr (std::is_same_v<T, Login> || std::is_same_v<T, RegistUser> || std::is_same_v<T, UpdateUser>)
                return QString::fromLatin1(T::kKeyword) + u' ' + command.user;
            else
                return line;
        },
        parsed);
}

} // namespace protocol::client
