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

// Last seen, disabled, and the tables of sanctions and of the audit trail.
bool LobbyStore::addOperatorTables(const QString &bigint)
{
    const QStringList columns = userColumns();
    if (columns == QStringList{QString()})
        return false;
    const QString key = m_server ? QStringLiteral("BIGSERIAL PRIMARY KEY") : QStringLiteral("INTEGER PRIMARY KEY");
    const QString ifMissing = m_server ? QStringLiteral("IF NOT EXISTS ") : QString();
    const auto addColumn = [&](const char *name, const QString &type) {
        return columns.contains(QLatin1String(name)) ||
               exec(QStringLiteral("ALTER TABLE users ADD COLUMN %1%2 %3").arg(ifMissing, QLatin1String(name), type));
    };
    return addColumn("last_seen", bigint) && addColumn("disabled", QStringLiteral("INTEGER NOT NULL DEFAULT 0"))
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
    std::optional<Account> out;
    const QSqlError error = perform(Access::Read, [&](Queries &queries) {
        QSqlQuery *q = nullptr;
        // The exact ID first: an older database may hold look-alikes. Two look-ups
        // by index; one with OR would sort in a temporary table every time.
        static const QString exact = QStringLiteral("SELECT %1 FROM users WHERE name = ?").arg(QLatin1String(kAccountColumns));
        static const QString folded =
            QStringLiteral("SELECT %1 FROM users WHERE folded = ? ORDER BY name LIMIT 1").arg(QLatin1String(kAccountColumns));
        QSqlError e = run(queries, exact, {user}, &q);
        bool found = !e.isValid() && q->next();
        if (!e.isValid() && !found) {
            e = run(queries, folded, {foldName(user)}, &q);
            found = !e.isValid() && q->next();
        }
        if (found)
            out = accountFrom(*q);
        return e;
    });
    if (error.isValid())
        return std::nullopt;
    return out;
}

std::optional<bool> LobbyStore::disabled(const QString &user)
{
    std::optional<bool> out;
    const QSqlError error = perform(Access::Read, [&](Queries &queries) {
        QSqlQuery *q = nullptr;
        const QSqlError e = run(queries, QStringLiteral("SELECT disabled FROM users WHERE name = ?"), {user}, &q);
        if (!e.isValid() && q->next())
            out = q->value(0).toInt() != 0;
        return e;
    });
    if (error.isValid())
        return std::nullopt;
    return out;
}

QList<LobbyStore::Account> LobbyStore::accounts(const QString &pattern, int limit)
{
    QList<Account> out;
    QString escaped = pattern.toCaseFolded();
    escaped.replace(u'\\', QLatin1String("\\\\")).replace(u'%', QLatin1String("\\%")).replace(u'_', QLatin1String("\\_"));
    const QString like = QStringLiteral("%") + escaped + QStringLiteral("%");
    perform(Access::Read, [&](Queries &queries) {
        out.clear();
        QSqlQuery *q = nullptr;
        const QSqlError e = run(queries,
                                QStringLiteral("SELECT %1 FROM users WHERE folded LIKE ? ESCAPE '\\'"
                                               " OR lower(email) LIKE ? ESCAPE '\\' ORDER BY name LIMIT ?")
                                    .arg(QLatin1String(kAccountColumns)),
                                {like, like, limit}, &q);
        while (!e.isValid() && q->next())
            out << accountFrom(*q);
        return e;
    });
    return out;
}

// One row changed: Ok; none: Missing.
LobbyStore::Result LobbyStore::changeOne(const QString &sql, const QVariantList &values)
{
    bool found = false;
    const QSqlError error = perform(Access::Statement, [&](Queries &queries) {
        QSqlQuery *q = nullptr;
        const QSqlError e = run(queries, sql, values, &q);
        found = !e.isValid() && q->numRowsAffected() == 1;
        return e;
    });
    if (error.isValid())
        return Result::Failed;
    return found ? Result::Ok : Result::Missing;
}

LobbyStore::Result LobbyStore::setDisabled(const QString &user, bool disabled)
{
    return changeOne(QStringLiteral("UPDATE users SET disabled = ? WHERE name = ?"), {disabled ? 1 : 0, user});
}

LobbyStore::Result LobbyStore::deleteAccount(const QString &user)
{
    return changeOne(QStringLiteral("DELETE FROM users WHERE name = ?"), {user});
}

bool LobbyStore::touchLastSeen(const QString &user, qint64 when)
{
    return changeOne(QStringLiteral("UPDATE users SET last_seen = ? WHERE name = ?"), {when, user}) != Result::Failed;
}

bool LobbyStore::addSanction(const Sanction &s)
{
    return !perform(Access::Write, [&](Queries &queries) {
                return run(queries,
                           QStringLiteral("INSERT INTO sanctions (kind, scope, target, reason, actor, created, expires)"
                                          " VALUES (?, ?, ?, coalesce(?, ''), ?, ?, ?)"),
                           {s.kind, s.scope, s.target, s.reason, s.actor, s.created, expiry(s.expires)});
            }).isValid();
}

int LobbyStore::liftSanctions(const QString &kind, const QString &scope, const QString &target, qint64 now)
{
    int lifted = 0;
    const QSqlError error = perform(Access::Write, [&](Queries &queries) {
        QSqlQuery *q = nullptr;
        const QSqlError e = run(queries,
                                QStringLiteral("UPDATE sanctions SET lifted = ? WHERE kind = ? AND scope = ? AND target = ?"
                                               " AND lifted IS NULL AND (expires IS NULL OR expires > ?)"),
                                {now, kind, scope, target, now}, &q);
        lifted = e.isValid() ? 0 : q->numRowsAffected();
        return e;
    });
    return error.isValid() ? -1 : lifted;
}

std::optional<QList<LobbyStore::Sanction>> LobbyStore::activeBans(qint64 now)
{
    // Every sign-in asks, twice: only what a check needs, since each column read
    // costs the driver a field description per run.
    static const QString sql = QStringLiteral("SELECT scope, target, reason FROM sanctions WHERE lifted IS NULL"
                                              " AND (expires IS NULL OR expires > ?) AND kind = 'ban' ORDER BY id");
    QList<Sanction> out;
    const QSqlError error = perform(Access::Read, [&](Queries &queries) {
        out.clear();
        QSqlQuery *q = nullptr;
        const QSqlError e = run(queries, sql, {now}, &q);
        while (!e.isValid() && q->next()) {
            Sanction s;
            s.kind = QStringLiteral("ban");
            s.scope = q->value(0).toString();
            s.target = q->value(1).toString();
            s.reason = q->value(2).toString();
            out << s;
        }
        return e;
    });
    if (error.isValid())
        return std::nullopt;
    return out;
}

std::optional<QList<LobbyStore::Sanction>> LobbyStore::activeSanctions(qint64 now, const QString &kind,
                                                                       const QString &scope, const QString &target)
{
    // Only the filters given, so that the index on kind and target serves: a sign-in
    // asks for the bans, and the table keeps every sanction ever made.
    QString sql = QStringLiteral("SELECT id, kind, scope, target, reason, actor, created, coalesce(expires, 0)"
                                 " FROM sanctions WHERE lifted IS NULL AND (expires IS NULL OR expires > ?)");
    QVariantList values{now};
    const std::pair<const char *, const QString &> filters[] = {{" AND kind = ?", kind}, {" AND scope = ?", scope},
                                                                {" AND target = ?", target}};
    for (const auto &[clause, value] : filters) {
        if (!value.isEmpty()) {
            sql += QLatin1String(clause);
            values << value;
        }
    }
    sql += QLatin1String(" ORDER BY id");
    QList<Sanction> out;
    const QSqlError error = perform(Access::Read, [&](Queries &queries) {
        out.clear();
        QSqlQuery *q = nullptr;
        const QSqlError e = run(queries, sql, values, &q);
        while (!e.isValid() && q->next()) {
            Sanction s;
            s.id = q->value(0).toLongLong();
            s.kind = q->value(1).toString();
            s.scope = q->value(2).toString();
            s.target = q->value(3).toString();
            s.reason = q->value(4).toString();
            s.actor = q->value(5).toString();
            s.created = q->value(6).toLongLong();
            s.expires = q->value(7).toLongLong();
            out << s;
        }
        return e;
    });
    if (error.isValid())
        return std::nullopt;
    return out;
}

bool LobbyStore::addAudit(const AuditEntry &e)
{
    return !perform(Access::Write, [&](Queries &queries) {
                return run(queries,
                           QStringLiteral("INSERT INTO audit (at, actor, action, target, reason, expires)"
                                          " VALUES (?, ?, ?, coalesce(?, ''), coalesce(?, ''), ?)"),
                           {e.at, e.actor, e.action, e.target, e.reason, expiry(e.expires)});
            }).isValid();
}

std::optional<QList<LobbyStore::AuditEntry>> LobbyStore::audit(int limit, const QString &target)
{
    const QString text = target.isNull() ? QStringLiteral("") : target;
    QList<AuditEntry> out;
    const QSqlError error = perform(Access::Read, [&](Queries &queries) {
        out.clear();
        QSqlQuery *q = nullptr;
        const QSqlError e = run(queries,
                                QStringLiteral("SELECT at, actor, action, target, reason, coalesce(expires, 0) FROM audit"
                                               " WHERE ? = '' OR target = ? ORDER BY id DESC LIMIT ?"),
                                {text, text, limit}, &q);
        while (!e.isValid() && q->next()) {
            AuditEntry a;
            a.at = q->value(0).toLongLong();
            a.actor = q->value(1).toString();
            a.action = q->value(2).toString();
            a.target = q->value(3).toString();
            a.reason = q->value(4).toString();
            a.expires = q->value(5).toLongLong();
            out << a;
        }
        return e;
    });
    if (error.isValid())
        return std::nullopt;
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
