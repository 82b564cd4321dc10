#include "protocol.h"

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

QString gameName(const QString &name) { return command(kw::GAMENAME, {escapeGameName(name)}); }

QString host(qint16 blnHost)
{
    return command(kw::HOST, {blnHost == -1 ? QStringLiteral("yes") : QStringLiteral("no")});
}

QString registUser(const QString &user, const QString &password, const QString &email, const QString &comment)
{
    return command(kw::REGISTUSER, {user, password, email, comment});
}

QString updateUser(const QString &user, const QString &password, const QString &email, const QString &comment)
{
    return command(kw::UPDATEUSER, {user, password, email, comment});
}

QString login(const QString &user, const QString &password) { return command(kw::LOGIN, {user, password}); }
QString createRoom(const QString &name) { return command(kw::CREATEROOM, {name}); }
QString enterRoom(const QString &roomEntry)
{
    return command(kw::ENTERROOM, {protocol::roomEntry(roomEntry).name + u' '});
}

QString roomPlayerList(const QString &roomEntry)
{
    return command(kw::ROOMPLAYERLIST, {protocol::roomEntry(roomEntry).name + u' '});
}

QString deleteRoom(const QString &name) { return command(kw::DELETEROOM, {name}); }
QString playerInfo(const QString &playerEntry) { return command(kw::PLAYERINFO, {playerEntry}); }
QString lobbyMessage(const QString &text) { return command(kw::LMESSAGE, {text}); }
QString roomMessage(const QString &text) { return command(kw::RMESSAGE, {text}); }
QString ip(const QString &address) { return command(kw::IP, {address}); }

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
    return command(kw::GAMEINFO, {QString::number(id), QString::number(minPlayers), QString::number(n),
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
    return command(kw::DAYCHART, QStringList{x, QString::number(hour)} + numbers(counts));
}

QString weekChartLine(const QDate &newestDay, const QList<int> &counts)
{
    const QString date = QStringLiteral("%1/%2/%3").arg(newestDay.year()).arg(newestDay.month()).arg(newestDay.day());
    return command(kw::WEEKCHART, QStringList{date} + numbers(counts));
}

QString playerInfoLine(const QString &name, const QString &comment)
{
    return command(kw::PLAYERINFO, {name, comment});
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

QString roomRow(const QString &entry)
{
    // The name keeps the space before the status token, so "MyRoom 3" shows as
    // "MyRoom  (3)".
    const RoomEntry r = roomEntry(entry);
    return r.name + QStringLiteral(" (") + r.status + u')';
}

QString playerRow(const QString &entry)
{
    const QStringList t = tokens(entry);
    const bool server = t.size() > 1 && t.at(1) == QLatin1String("1");
    return t.at(0) + QStringLiteral(" (") + (server ? QStringLiteral("サーバー") : QStringLiteral("クライアント")) + u')';
}

} // namespace protocol
