// The store's side of the operators' tools: account columns, bans and mutes, the
// audit trail and backups.
#include "lobbystore.h"

#include <QFileInfo>
#include <QSqlQuery>
#include <QVariant>

namespace {

LobbyStore::Account accountFrom(const QSqlQuery &q)
{
    LobbyStore::Account a;
    a.name = q.value(0).toString();
    a.email = q.value(1).toString();
    a.comment = q.value(2).toString();
    a.created = q.value(3).toLongLong();
    a.lastSeen = q.value(4).toLongLong();
    a.disabled = q.value(5).toInt() != 0;
    return a;
}

constexpr const char *kAccountColumns = "name, email, comment, created, coalesce(last_seen, 0), disabled";

// 0 ("until lifted") as NULL, so that expiry comparisons need no special case.
QVariant expiry(qint64 expires) { return expires > 0 ? QVariant(expires) : QVariant(QMetaType::fromType<qint64>()); }

} // namespace

bool LobbyStore::addOperatorTables()
{
    const QString key = m_server ? QStringLiteral("BIGSERIAL PRIMARY KEY") : QStringLiteral("INTEGER PRIMARY KEY");
    const QString bigint = m_server ? QStringLiteral("BIGINT") : QStringLiteral("INTEGER");
    const QString ifMissing = m_server ? QStringLiteral("IF NOT EXISTS ") : QString();
    return exec(QStringLiteral("ALTER TABLE users ADD COLUMN %1last_seen %2").arg(ifMissing, bigint))
        && exec(QStringLiteral("ALTER TABLE users ADD COLUMN %1disabled INTEGER NOT NULL DEFAULT 0").arg(ifMissing))
        && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS sanctions (id %1, kind TEXT NOT NULL, scope TEXT NOT NULL,"
                               " target TEXT NOT NULL, reason TEXT NOT NULL, actor TEXT NOT NULL,"
                               " created %2 NOT NULL, expires %2, lifted %2)")
                    .arg(key, bigint))
        && exec(QStringLiteral("CREATE INDEX IF NOT EXISTS sanctions_target ON sanctions (kind, target)"))
        && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS audit (id %1, at %2 NOT NULL, actor TEXT NOT NULL,"
                               " action TEXT NOT NULL, target TEXT NOT NULL, reason TEXT NOT NULL, expires %2)")
                    .arg(key, bigint));
}

bool LobbyStore::ping()
{
    QSqlQuery q(m_db);
    if (q.exec(QStringLiteral("SELECT 1")))
        return true;
    failed(q.lastError());
    return false;
}

std::optional<LobbyStore::Account> LobbyStore::account(const QString &user)
{
    QSqlQuery q(m_db);
    // The exact ID first: an older database may hold look-alikes.
    q.prepare(QStringLiteral("SELECT %1 FROM users WHERE name = ? OR folded = ? ORDER BY name = ? DESC, name LIMIT 1")
                  .arg(QLatin1String(kAccountColumns)));
    q.addBindValue(user);
    q.addBindValue(foldName(user));
    q.addBindValue(user);
    if (!q.exec()) {
        failed(q.lastError());
        return std::nullopt;
    }
    if (!q.next())
        return std::nullopt;
    return accountFrom(q);
}

QList<LobbyStore::Account> LobbyStore::accounts(const QString &pattern, int limit)
{
    QList<Account> out;
    QSqlQuery q(m_db);
    QString escaped = pattern.toCaseFolded();
    escaped.replace(u'\\', QLatin1String("\\\\")).replace(u'%', QLatin1String("\\%")).replace(u'_', QLatin1String("\\_"));
    q.prepare(QStringLiteral("SELECT %1 FROM users WHERE folded LIKE ? ESCAPE '\\' OR lower(email) LIKE ? ESCAPE '\\'"
                             " ORDER BY name LIMIT ?")
                  .arg(QLatin1String(kAccountColumns)));
    const QString like = QStringLiteral("%") + escaped + QStringLiteral("%");
    q.addBindValue(like);
    q.addBindValue(like);
    q.addBindValue(limit);
    if (!q.exec()) {
        failed(q.lastError());
        return out;
    }
    while (q.next())
        out << accountFrom(q);
    return out;
}

LobbyStore::Result LobbyStore::setDisabled(const QString &user, bool disabled)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("UPDATE users SET disabled = ? WHERE name = ?"));
    q.addBindValue(disabled ? 1 : 0);
    q.addBindValue(user);
    if (!q.exec()) {
        failed(q.lastError());
        return Result::Failed;
    }
    return q.numRowsAffected() == 1 ? Result::Ok : Result::Missing;
}

LobbyStore::Result LobbyStore::deleteAccount(const QString &user)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("DELETE FROM users WHERE name = ?"));
    q.addBindValue(user);
    if (!q.exec()) {
        failed(q.lastError());
        return Result::Failed;
    }
    return q.numRowsAffected() == 1 ? Result::Ok : Result::Missing;
}

bool LobbyStore::touchLastSeen(const QString &user, qint64 when)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("UPDATE users SET last_seen = ? WHERE name = ?"));
    q.addBindValue(when);
    q.addBindValue(user);
    if (!q.exec()) {
        failed(q.lastError());
        return false;
    }
    return true;
}

bool LobbyStore::addSanction(const Sanction &s)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("INSERT INTO sanctions (kind, scope, target, reason, actor, created, expires)"
                             " VALUES (?, ?, ?, coalesce(?, ''), ?, ?, ?)"));
    q.addBindValue(s.kind);
    q.addBindValue(s.scope);
    q.addBindValue(s.target);
    q.addBindValue(s.reason);
    q.addBindValue(s.actor);
    q.addBindValue(s.created);
    q.addBindValue(expiry(s.expires));
    if (!q.exec()) {
        failed(q.lastError());
        return false;
    }
    return true;
}

int LobbyStore::liftSanctions(const QString &kind, const QString &scope, const QString &target, qint64 now)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("UPDATE sanctions SET lifted = ? WHERE kind = ? AND scope = ? AND target = ?"
                             " AND lifted IS NULL AND (expires IS NULL OR expires > ?)"));
    q.addBindValue(now);
    q.addBindValue(kind);
    q.addBindValue(scope);
    q.addBindValue(target);
    q.addBindValue(now);
    if (!q.exec()) {
        failed(q.lastError());
        return -1;
    }
    return q.numRowsAffected();
}

std::optional<QList<LobbyStore::Sanction>> LobbyStore::activeSanctions(qint64 now, const QString &kind,
                                                                       const QString &scope, const QString &target)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT id, kind, scope, target, reason, actor, created, coalesce(expires, 0)"
                             " FROM sanctions WHERE lifted IS NULL AND (expires IS NULL OR expires > ?)"
                             " AND (? = '' OR kind = ?) AND (? = '' OR scope = ?) AND (? = '' OR target = ?)"
                             " ORDER BY id"));
    q.addBindValue(now);
    for (const QString &v : {kind, scope, target}) {
        q.addBindValue(v.isNull() ? QStringLiteral("") : v);
        q.addBindValue(v.isNull() ? QStringLiteral("") : v);
    }
    if (!q.exec()) {
        failed(q.lastError());
        return std::nullopt;
    }
    QList<Sanction> out;
    while (q.next()) {
        Sanction s;
        s.id = q.value(0).toLongLong();
        s.kind = q.value(1).toString();
        s.scope = q.value(2).toString();
        s.target = q.value(3).toString();
        s.reason = q.value(4).toString();
        s.actor = q.value(5).toString();
        s.created = q.value(6).toLongLong();
        s.expires = q.value(7).toLongLong();
        out << s;
    }
    return out;
}

bool LobbyStore::addAudit(const AuditEntry &e)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("INSERT INTO audit (at, actor, action, target, reason, expires)"
                             " VALUES (?, ?, ?, coalesce(?, ''), coalesce(?, ''), ?)"));
    q.addBindValue(e.at);
    q.addBindValue(e.actor);
    q.addBindValue(e.action);
    q.addBindValue(e.target);
    q.addBindValue(e.reason);
    q.addBindValue(expiry(e.expires));
    if (!q.exec()) {
        failed(q.lastError());
        return false;
    }
    return true;
}

std::optional<QList<LobbyStore::AuditEntry>> LobbyStore::audit(int limit, const QString &target)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT at, actor, action, target, reason, coalesce(expires, 0) FROM audit"
                             " WHERE ? = '' OR target = ? ORDER BY id DESC LIMIT ?"));
    q.addBindValue(target.isNull() ? QStringLiteral("") : target);
    q.addBindValue(target.isNull() ? QStringLiteral("") : target);
    q.addBindValue(limit);
    if (!q.exec()) {
        failed(q.lastError());
        return std::nullopt;
    }
    QList<AuditEntry> out;
    while (q.next()) {
        AuditEntry e;
        e.at = q.value(0).toLongLong();
        e.actor = q.value(1).toString();
        e.action = q.value(2).toString();
        e.target = q.value(3).toString();
        e.reason = q.value(4).toString();
        e.expires = q.value(5).toLongLong();
        out << e;
    }
    return out;
}

bool LobbyStore::backup(const QString &file, QString *error)
{
    if (m_server) {
        *error = QStringLiteral("a PostgreSQL database is backed up with pg_dump");
        return false;
    }
    if (QFileInfo::exists(file)) {
        *error = QStringLiteral("%1 exists already").arg(file);
        return false;
    }
    QSqlQuery q(m_db);
    // VACUUM INTO reads one snapshot while the server goes on writing.
    q.prepare(QStringLiteral("VACUUM INTO ?"));
    q.addBindValue(file);
    if (!q.exec()) {
        *error = q.lastError().text();
        return false;
    }
    return true;
}
