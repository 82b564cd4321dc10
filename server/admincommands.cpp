#include "admincommands.h"

#include <QDateTime>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QTimeZone>

#include "lobbyserver.h"
#include "lobbystore.h"
#include "moderation.h"
#include "wire/rules.h"
#include "wire/wire.h"
#include "passwordhash.h"
#include "serverlog.h"

namespace {

constexpr int kDefaultLimit = 50;
constexpr int kMaxLimit = 10000;
constexpr int kMaxReasonChars = 500;
constexpr int kTemporaryPasswordChars = 10;

QJsonObject fail(const QString &error) { return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), error}}; }

QJsonObject done(const QString &message, const QJsonValue &items = QJsonValue())
{
    QJsonObject o{{QStringLiteral("ok"), true}, {QStringLiteral("message"), message}};
    if (!items.isUndefined() && !items.isNull())
        o.insert(QStringLiteral("items"), items);
    return o;
}

QString timeText(qint64 secs)
{
    return secs > 0 ? QDateTime::fromSecsSinceEpoch(secs, Qt::UTC).toString(Qt::ISODate) : QString();
}

QJsonObject sanctionJson(const LobbyStore::Sanction &s)
{
    return {{QStringLiteral("kind"), s.kind},         {QStringLiteral("scope"), s.scope},
            {QStringLiteral("target"), s.target},     {QStringLiteral("reason"), s.reason},
            {QStringLiteral("actor"), s.actor},       {QStringLiteral("since"), timeText(s.created)},
            {QStringLiteral("expires"), timeText(s.expires)}};
}

QJsonObject accountJson(const LobbyStore::Account &a)
{
    return {{QStringLiteral("name"), a.name},
            {QStringLiteral("email"), a.email},
            {QStringLiteral("comment"), a.comment},
            {QStringLiteral("created"), timeText(a.created)},
            {QStringLiteral("last_seen"), timeText(a.lastSeen)},
            {QStringLiteral("disabled"), a.disabled}};
}

// Letters and digits a player can type without confusing them (no 0/O, 1/l/I).
QString temporaryPassword()
{
    static const QString alphabet = QStringLiteral("abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789");
    QString out;
    for (int i = 0; i < kTemporaryPasswordChars; ++i)
        out += alphabet.at(int(QRandomGenerator::system()->bounded(quint32(alphabet.size()))));
    return out;
}

} // namespace

AdminCommands::AdminCommands(LobbyServer &server, LobbyStore &store, Moderation &moderation)
    : m_server(server), m_store(store), m_moderation(moderation)
{
}

QJsonObject AdminCommands::run(const QJsonObject &request, const QString &actor)
{
    const QString command = request.value(QStringLiteral("command")).toString();
    const QJsonArray argArray = request.value(QStringLiteral("args")).toArray();
    QStringList args;
    for (const QJsonValue &v : argArray)
        args << v.toString();
    const QString reason = request.value(QStringLiteral("reason")).toString();
    const QString game = request.value(QStringLiteral("game")).toString();
    const QString target = request.value(QStringLiteral("target")).toString();
    const QJsonValue forValue = request.value(QStringLiteral("for"));
    const QJsonValue limitValue = request.value(QStringLiteral("limit"));
    const QString who = actor;

    if (reason.size() > kMaxReasonChars || protocol::hasControl(reason))
        return fail(QStringLiteral("--reason: at most %1 characters, no control characters").arg(kMaxReasonChars));
    qint64 secs = 0;
    if (!forValue.isUndefined()) {
        secs = qint64(forValue.toDouble(-1));
        if (secs <= 0)
            return fail(QStringLiteral("--for: not a positive duration"));
    }
    int limit = kDefaultLimit;
    if (!limitValue.isUndefined()) {
        limit = limitValue.toInt(-1);
        if (limit < 1 || limit > kMaxLimit)
            return fail(QStringLiteral("--limit: not a number from 1 to %1").arg(kMaxLimit));
    }
    const auto needArgs = [&](qsizetype n) { return args.size() == n; };
    const auto usage = [&](const char *synopsis) {
        return fail(QStringLiteral("usage: %1").arg(QLatin1String(synopsis)));
    };
    // The account named by the first argument, or an answer saying why not.
    std::optional<LobbyStore::Account> account;
    const auto findAccount = [&]() -> std::optional<QJsonObject> {
        account = m_store.account(args.value(0));
        if (account)
            return std::nullopt;
        if (!m_store.lastError().isEmpty() && !m_store.ping())
            return fail(QStringLiteral("database error: %1").arg(m_store.lastError()));
        return fail(QStringLiteral("no such account: %1").arg(args.value(0)));
    };
    const auto storeFailed = [&] { return fail(QStringLiteral("database error: %1").arg(m_store.lastError())); };

    if (command == QLatin1String("status")) {
        if (!needArgs(0))
            return usage("status");
        QJsonArray games;
        for (const auto &g : m_server.gameLoads())
            games << QJsonObject{{QStringLiteral("game"), g.game}, {QStringLiteral("players"), g.players},
                                 {QStringLiteral("rooms"), g.rooms}};
        QJsonObject o = done(QStringLiteral("%1 connections, %2 signed in here")
                                 .arg(m_server.clientCount())
                                 .arg(m_server.signedInCount()),
                             games);
        o.insert(QStringLiteral("connections"), m_server.clientCount());
        o.insert(QStringLiteral("signed_in"), m_server.signedInCount());
        return o;
    }
    if (command == QLatin1String("players")) {
        if (args.size() > 1)
            return usage("players [GAME]");
        QJsonArray items;
        for (const auto &p : m_server.onlinePlayers()) {
            if (!args.isEmpty() && p.game != args[0])
                continue;
            items << QJsonObject{{QStringLiteral("user"), p.user}, {QStringLiteral("game"), p.game},
                                 {QStringLiteral("address"), p.address}, {QStringLiteral("room"), p.room},
                                 {QStringLiteral("host"), p.host}};
        }
        return done(QStringLiteral("%1 players").arg(items.size()), items);
    }
    if (command == QLatin1String("kick")) {
        if (!needArgs(1))
            return usage("kick USER [--reason TEXT]");
        const int n = m_server.kickAccount(LobbyStore::foldName(args[0]));
        if (n == 0)
            return fail(QStringLiteral("%1 is not signed in on this server").arg(args[0]));
        m_moderation.record(QStringLiteral("kick"), args[0], reason, who);
        return done(QStringLiteral("kicked %1").arg(args[0]));
    }
    if (command == QLatin1String("ban") || command == QLatin1String("unban") || command == QLatin1String("mute")
        || command == QLatin1String("unmute")) {
        const bool ban = command.endsWith(QLatin1String("ban"));
        const bool undo = command.startsWith(QLatin1String("un"));
        const QString kind = ban ? QStringLiteral("ban") : QStringLiteral("mute");
        if (!needArgs(1))
            return usage(ban ? (undo ? "unban USER|ADDRESS[/BITS]" : "ban USER|ADDRESS[/BITS] [--for DURATION] [--reason TEXT]")
                             : (undo ? "unmute USER" : "mute USER [--for DURATION] [--reason TEXT]"));
        // A user ID has no "." or ":", so an address never reads as one.
        const auto address = ban ? parseAddressTarget(args[0]) : std::nullopt;
        if (!address && (args[0].contains(u'/') || args[0].contains(u'.') || args[0].contains(u':')))
            return fail(ban ? QStringLiteral("not an address or network: %1").arg(args[0])
                            : QStringLiteral("%1 takes a user ID: %2").arg(command, args[0]));
        QString stored = address.value_or(QString());
        QString shown = stored;
        if (!address) {
            if (auto answer = findAccount())
                return *answer;
            stored = LobbyStore::foldName(account->name);
            shown = account->name;
        }
        const QString scope = address ? QStringLiteral("address") : QStringLiteral("account");
        if (undo) {
            const int n = m_moderation.lift(kind, scope, stored, who);
            if (n < 0)
                return storeFailed();
            if (n == 0)
                return fail(QStringLiteral("%1 is not %2").arg(shown, ban ? QLatin1String("banned") : QLatin1String("muted")));
            qCInfo(lcServer, "%s: %s by %s", qPrintable(command), qPrintable(shown), qPrintable(who));
            return done(QStringLiteral("%1 %2").arg(ban ? QLatin1String("unbanned") : QLatin1String("unmuted"), shown));
        }
        if (!m_moderation.impose(kind, scope, stored, secs, reason, who))
            return storeFailed();
        qCInfo(lcServer, "%s: %s by %s%s%s", ban ? "banned" : "muted", qPrintable(shown), qPrintable(who),
               secs ? qPrintable(QStringLiteral(" for %1 s").arg(secs)) : "",
               reason.isEmpty() ? "" : qPrintable(QStringLiteral(": ") + reason));
        int kicked = 0;
        if (ban)
            kicked = address ? m_server.kickAddress(QHostAddress::parseSubnet(stored)) : m_server.kickAccount(stored);
        const QString until = secs ? QStringLiteral(" until %1").arg(timeText(m_moderation.now() + secs)) : QString();
        return done(QStringLiteral("%1 %2%3%4")
                        .arg(ban ? QLatin1String("banned") : QLatin1String("muted"), shown, until,
                             kicked ? QStringLiteral(", %1 connections closed").arg(kicked) : QString()));
    }
    if (command == QLatin1String("bans") || command == QLatin1String("mutes")) {
        if (!needArgs(0))
            return usage(command == QLatin1String("bans") ? "bans" : "mutes");
        const auto list = m_store.activeSanctions(m_moderation.now(), command.chopped(1));
        if (!list)
            return storeFailed();
        QJsonArray items;
        for (const auto &s : *list)
            items << sanctionJson(s);
        return done(QStringLiteral("%1 %2 in force").arg(items.size()).arg(command), items);
    }
    if (command == QLatin1String("notice")) {
        const QString text = args.join(u' ');
        if (text.trimmed().isEmpty() || protocol::hasControl(text) || text.size() > 1000)
            return usage("notice [--game GAME] TEXT");
        const int n = m_server.notice(game, text);
        m_moderation.record(QStringLiteral("notice"), game.isEmpty() ? QStringLiteral("*") : game, text, who);
        qCInfo(lcServer, "notice to %s by %s: %s", game.isEmpty() ? "all games" : qPrintable(game), qPrintable(who),
               qPrintable(text));
        return done(QStringLiteral("notice sent to %1 players").arg(n));
    }
    if (command == QLatin1String("audit")) {
        if (!needArgs(0))
            return usage("audit [--limit N] [--target TARGET]");
        const auto entries = m_store.audit(limit, target);
        if (!entries)
            return storeFailed();
        QJsonArray items;
        for (const auto &e : *entries)
            items << QJsonObject{{QStringLiteral("at"), timeText(e.at)},         {QStringLiteral("actor"), e.actor},
                                 {QStringLiteral("action"), e.action},           {QStringLiteral("target"), e.target},
                                 {QStringLiteral("reason"), e.reason},           {QStringLiteral("expires"), timeText(e.expires)}};
        return done(QStringLiteral("%1 entries").arg(items.size()), items);
    }
    if (command == QLatin1String("accounts")) {
        if (args.size() > 1)
            return usage("accounts [PATTERN] [--limit N]");
        QJsonArray items;
        for (const auto &a : m_store.accounts(args.value(0), limit))
            items << accountJson(a);
        return done(QStringLiteral("%1 accounts").arg(items.size()), items);
    }
    if (command == QLatin1String("account")) {
        if (!needArgs(1))
            return usage("account USER");
        if (auto answer = findAccount())
            return *answer;
        return done(account->name, QJsonArray{accountJson(*account)});
    }
    if (command == QLatin1String("disable") || command == QLatin1String("enable")) {
        const bool disable = command == QLatin1String("disable");
        if (!needArgs(1))
            return usage(disable ? "disable USER [--reason TEXT]" : "enable USER");
        if (auto answer = findAccount())
            return *answer;
        if (account->disabled == disable)
            return fail(QStringLiteral("%1 is %2 already").arg(account->name, command + u'd'));
        if (m_store.setDisabled(account->name, disable) != LobbyStore::Result::Ok)
            return storeFailed();
        m_moderation.record(command, account->name, reason, who);
        qCInfo(lcServer, "account %sd: %s by %s", qPrintable(command), qPrintable(account->name), qPrintable(who));
        if (disable)
            m_server.kickAccount(LobbyStore::foldName(account->name));
        return done(QStringLiteral("%1 %2d").arg(account->name, command));
    }
    if (command == QLatin1String("delete")) {
        if (!needArgs(1))
            return usage("delete USER [--reason TEXT]");
        if (auto answer = findAccount())
            return *answer;
        if (m_store.deleteAccount(account->name) != LobbyStore::Result::Ok)
            return storeFailed();
        m_moderation.record(command, account->name, reason, who);
        qCInfo(lcServer, "account deleted: %s by %s", qPrintable(account->name), qPrintable(who));
        m_server.kickAccount(LobbyStore::foldName(account->name));
        return done(QStringLiteral("%1 deleted").arg(account->name));
    }
    if (command == QLatin1String("reset-password")) {
        if (!needArgs(1))
            return usage("reset-password USER");
        if (auto answer = findAccount())
            return *answer;
        const QString password = temporaryPassword();
        const passwordhash::Stored stored = passwordhash::hash(password, m_store.hashParams());
        if (!stored.isArgon2())
            return fail(QStringLiteral("password hashing failed"));
        if (m_store.setPassword(account->name, stored) != LobbyStore::Result::Ok)
            return storeFailed();
        m_moderation.record(command, account->name, QString(), who);
        qCInfo(lcServer, "password reset: %s by %s", qPrintable(account->name), qPrintable(who));
        QJsonObject o = done(QStringLiteral("new password of %1: %2").arg(account->name, password));
        o.insert(QStringLiteral("password"), password);
        return o;
    }
    if (command == QLatin1String("reload")) {
        if (!needArgs(0))
            return usage("reload");
        QString error;
        if (!m_reload || !m_reload(&error))
            return fail(m_reload ? error : QStringLiteral("nothing to reload"));
        return done(QStringLiteral("reloaded"));
    }
    return fail(QStringLiteral("unknown command: %1").arg(command));
}
