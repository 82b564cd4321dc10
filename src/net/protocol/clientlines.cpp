#include "clientlines.h"

#include "protocol.h"

#include <QHash>

namespace protocol::client {

namespace {

QString withArgument(const char *keyword, const QString &argument)
{
    return QString::fromLatin1(keyword) + u' ' + argument;
}

QString fields(const char *keyword, std::initializer_list<const QString *> values)
{
    QString line = QString::fromLatin1(keyword);
    for (const QString *v : values) {
        line += u' ';
        line += *v;
    }
    return line;
}

// A cursor over the text after the keyword. The server has always read fields at
// single spaces, so an empty field between two spaces is a field.
class Fields {
public:
    explicit Fields(const QString &line)
        : m_line(line)
    {
        const qsizetype sp = line.indexOf(u' ');
        m_pos = sp < 0 ? -1 : sp + 1;
    }
    // The next field up to the next space ("" when the line has ended).
    QString next()
    {
        if (m_pos < 0)
            return QString();
        const qsizetype sp = m_line.indexOf(u' ', m_pos);
        const QString f = sp < 0 ? m_line.mid(m_pos) : m_line.mid(m_pos, sp - m_pos);
        m_pos = sp < 0 ? -1 : sp + 1;
        return f;
    }
    // Whether a space was left for rest() to start after.
    bool hasRest() const { return m_pos >= 0; }
    // Everything from here to the end of the line ("" when the line has ended).
    QString rest() const { return m_pos < 0 ? QString() : m_line.mid(m_pos); }

private:
    const QString &m_line;
    qsizetype m_pos;
};

template <typename T>
T account(const QString &line)
{
    Fields f(line);
    T out;
    out.user = f.next();
    out.password = f.next();
    out.email = f.next();
    out.comment = f.rest();
    return out;
}

template <typename T>
Line roomCommand(const QString &line)
{
    QString name = Fields(line).rest();
    qsizetype end = name.size();
    while (end > 0 && name.at(end - 1) == u' ')
        --end;
    name.truncate(end);
    return T{std::move(name)};
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
         +[](const QString &l) -> Line { return GameName{unescapeGameName(Fields(l).rest())}; }},
        {QLatin1String(kw::HOST),
         +[](const QString &l) -> Line {
             const QString flag = Fields(l).rest();
             if (flag == QLatin1String("yes"))
                 return Host{true};
             if (flag == QLatin1String("no"))
                 return Host{false};
             return Host{std::nullopt};
         }},
        {QLatin1String(kw::REGISTUSER), +[](const QString &l) -> Line { return account<RegistUser>(l); }},
        {QLatin1String(kw::UPDATEUSER), +[](const QString &l) -> Line { return account<UpdateUser>(l); }},
        {QLatin1String(kw::LOGIN),
         +[](const QString &l) -> Line {
             Fields f(l);
             Login out;
             out.user = f.next();
             out.password = f.rest();
             return out;
         }},
        {QLatin1String(kw::LISTDELTA), bare<ListDelta>},
        {QLatin1String(kw::QUIT), bare<Quit>},
        {QLatin1String(kw::CHATDATA), bare<ChatData>},
        {QLatin1String(kw::ROOMLIST), bare<RoomList>},
        {QLatin1String(kw::DAYCHART), bare<DayChart>},
        {QLatin1String(kw::WEEKCHART), bare<WeekChart>},
        {QLatin1String(kw::LEAVEROOM), bare<LeaveRoom>},
        {QLatin1String(kw::START), bare<Start>},
        {QLatin1String(kw::LMESSAGE), +[](const QString &l) -> Line { return LobbyMessage{Fields(l).rest()}; }},
        {QLatin1String(kw::RMESSAGE), +[](const QString &l) -> Line { return RoomMessage{Fields(l).rest()}; }},
        {QLatin1String(kw::CREATEROOM), roomCommand<CreateRoom>},
        {QLatin1String(kw::ENTERROOM), roomCommand<EnterRoom>},
        {QLatin1String(kw::ROOMPLAYERLIST), roomCommand<RoomPlayerList>},
        {QLatin1String(kw::DELETEROOM), roomCommand<DeleteRoom>},
        {QLatin1String(kw::PLAYERINFO),
         +[](const QString &l) -> Line { return PlayerInfo::fromEntry(Fields(l).rest()); }},
        {QLatin1String(kw::IP), +[](const QString &l) -> Line { return Ip{Fields(l).rest().trimmed()}; }},
    };
    return table;
}

} // namespace

QString GameName::encode() const { return withArgument(kKeyword, escapeGameName(name)); }

QString Host::encode() const
{
    if (!host)
        return QString::fromLatin1(kKeyword);
    return withArgument(kKeyword, *host ? QStringLiteral("yes") : QStringLiteral("no"));
}

QString RegistUser::encode() const { return fields(kKeyword, {&user, &password, &email, &comment}); }
QString UpdateUser::encode() const { return fields(kKeyword, {&user, &password, &email, &comment}); }
QString Login::encode() const { return fields(kKeyword, {&user, &password}); }
QString LobbyMessage::encode() const { return withArgument(kKeyword, text); }
QString RoomMessage::encode() const { return withArgument(kKeyword, text); }
QString Ip::encode() const { return withArgument(kKeyword, address); }

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
    QString line = withArgument(kKeyword, name);
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
