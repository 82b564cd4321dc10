#include "lobbystore.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <atomic>

namespace {

// Keep a few weeks of hours and a few years of days.
constexpr qint64 kKeepHours = 24 * 35;
constexpr qint64 kKeepDays = 366 * 3;

qint64 hourKey(const QDateTime &t) { return t.toSecsSinceEpoch() / 3600; }
qint64 dayKey(const QDateTime &t) { return t.toLocalTime().date().toJulianDay(); }

} // namespace

LobbyStore::LobbyStore()
{
    static std::atomic<int> serial{0};
    m_connection = QStringLiteral("qorchat-server-%1").arg(serial++);
}

LobbyStore::~LobbyStore() { close(); }

void LobbyStore::close()
{
    if (!m_db.isValid())
        return;
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connection);
}

bool LobbyStore::exec(const QString &sql)
{
    QSqlQuery q(m_db);
    if (!q.exec(sql)) {
        m_lastError = q.lastError().text();
        return false;
    }
    return true;
}

bool LobbyStore::open(const QString &path, QString *error)
{
    close();
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    m_db.setDatabaseName(path);
    bool ok = m_db.open();
    if (!ok)
        m_lastError = m_db.lastError().text();
    // A file that is not a database fails at its first statement, so read the
    // schema before anything is written.
    ok = ok && exec(QStringLiteral("SELECT count(*) FROM sqlite_master"));
    ok = ok && exec(QStringLiteral("PRAGMA busy_timeout=2000"));
    if (ok && path != QLatin1String(":memory:"))
        ok = exec(QStringLiteral("PRAGMA journal_mode=WAL")) && exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    ok = ok && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS users ("
                                   " name TEXT PRIMARY KEY NOT NULL,"
                                   " salt BLOB NOT NULL, key BLOB NOT NULL, iterations INTEGER NOT NULL,"
                                   " email TEXT NOT NULL, comment TEXT NOT NULL,"
                                   " created INTEGER NOT NULL)"));
    ok = ok && migrate();
    ok = ok && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS access_hours ("
                                   " hour INTEGER PRIMARY KEY, count INTEGER NOT NULL)"));
    ok = ok && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS access_days ("
                                   " day INTEGER PRIMARY KEY, count INTEGER NOT NULL)"));
    if (!ok) {
        *error = QStringLiteral("%1: %2").arg(path, m_lastError);
        close();
    }
    return ok;
}

QString LobbyStore::foldName(const QString &user)
{
    return user.normalized(QString::NormalizationForm_KC).toCaseFolded();
}

// Columns added since the first schema: the Argon2 hash and the folded name.
bool LobbyStore::migrate()
{
    QSqlQuery info(m_db);
    if (!info.exec(QStringLiteral("PRAGMA table_info(users)"))) {
        m_lastError = info.lastError().text();
        return false;
    }
    QStringList columns;
    while (info.next())
        columns << info.value(1).toString();
    if (!columns.contains(QLatin1String("hash")) &&
        !exec(QStringLiteral("ALTER TABLE users ADD COLUMN hash BLOB NOT NULL DEFAULT ''")))
        return false;
    if (!columns.contains(QLatin1String("folded"))) {
        if (!exec(QStringLiteral("ALTER TABLE users ADD COLUMN folded TEXT")))
            return false;
        QSqlQuery names(m_db);
        if (!names.exec(QStringLiteral("SELECT name FROM users"))) {
            m_lastError = names.lastError().text();
            return false;
        }
        while (names.next()) {
            QSqlQuery set(m_db);
            set.prepare(QStringLiteral("UPDATE users SET folded = ? WHERE name = ?"));
            set.addBindValue(foldName(names.value(0).toString()));
            set.addBindValue(names.value(0));
            if (!set.exec()) {
                m_lastError = set.lastError().text();
                return false;
            }
        }
    }
    // Not unique: an older database may already hold look-alikes; they keep working.
    return exec(QStringLiteral("CREATE INDEX IF NOT EXISTS users_folded ON users (folded)"));
}

LobbyStore::Result LobbyStore::nameTaken(const QString &user)
{
    QSqlQuery find(m_db);
    find.prepare(QStringLiteral("SELECT 1 FROM users WHERE name = ? OR folded = ?"));
    find.addBindValue(user);
    find.addBindValue(foldName(user));
    if (!find.exec()) {
        m_lastError = find.lastError().text();
        return Result::Failed;
    }
    return find.next() ? Result::Exists : Result::Missing;
}

LobbyStore::Result LobbyStore::addUser(const QString &user, const passwordhash::Stored &password, const QString &email,
                                       const QString &comment)
{
    const Result taken = nameTaken(user);
    if (taken != Result::Missing)
        return taken;
    QSqlQuery q(m_db);
    // A null QString binds as NULL; an absent comment is stored as empty text.
    q.prepare(QStringLiteral("INSERT INTO users (name, salt, key, iterations, hash, folded, email, comment, created)"
                             " VALUES (?, ?, ?, ?, ?, ?, coalesce(?, ''), coalesce(?, ''), ?)"));
    q.addBindValue(user);
    q.addBindValue(password.salt.isNull() ? QByteArray("") : password.salt);
    q.addBindValue(password.key.isNull() ? QByteArray("") : password.key);
    q.addBindValue(password.iterations);
    q.addBindValue(password.encoded.isNull() ? QByteArray("") : password.encoded);
    q.addBindValue(foldName(user));
    q.addBindValue(email);
    q.addBindValue(comment);
    q.addBindValue(QDateTime::currentSecsSinceEpoch());
    if (!q.exec()) {
        m_lastError = q.lastError().text();
        return Result::Failed;
    }
    return Result::Ok;
}

LobbyStore::Result LobbyStore::findPassword(const QString &user, passwordhash::Stored *out)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT salt, key, iterations, hash FROM users WHERE name = ?"));
    q.addBindValue(user);
    if (!q.exec()) {
        m_lastError = q.lastError().text();
        return Result::Failed;
    }
    if (!q.next())
        return Result::Missing;
    out->salt = q.value(0).toByteArray();
    out->key = q.value(1).toByteArray();
    out->iterations = q.value(2).toInt();
    out->encoded = q.value(3).toByteArray();
    return Result::Ok;
}

LobbyStore::Result LobbyStore::setPassword(const QString &user, const passwordhash::Stored &password)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("UPDATE users SET salt = ?, key = ?, iterations = ?, hash = ? WHERE name = ?"));
    q.addBindValue(password.salt.isNull() ? QByteArray("") : password.salt);
    q.addBindValue(password.key.isNull() ? QByteArray("") : password.key);
    q.addBindValue(password.iterations);
    q.addBindValue(password.encoded.isNull() ? QByteArray("") : password.encoded);
    q.addBindValue(user);
    if (!q.exec()) {
        m_lastError = q.lastError().text();
        return Result::Failed;
    }
    return q.numRowsAffected() == 1 ? Result::Ok : Result::Missing;
}

LobbyStore::Result LobbyStore::updateAccount(const QString &user, const passwordhash::Stored &password,
                                             const QString &email, const QString &comment)
{
    if (!m_db.transaction()) {
        m_lastError = m_db.lastError().text();
        return Result::Failed;
    }
    Result r = setPassword(user, password);
    if (r == Result::Ok) {
        QSqlQuery q(m_db);
        q.prepare(QStringLiteral("UPDATE users SET email = coalesce(?, ''), comment = coalesce(?, '') WHERE name = ?"));
        q.addBindValue(email);
        q.addBindValue(comment);
        q.addBindValue(user);
        if (!q.exec()) {
            m_lastError = q.lastError().text();
            r = Result::Failed;
        }
    }
    if (r != Result::Ok || !m_db.commit()) {
        if (r == Result::Ok)
            m_lastError = m_db.lastError().text();
        m_db.rollback();
        return r == Result::Ok ? Result::Failed : r;
    }
    return Result::Ok;
}

LobbyStore::Result LobbyStore::createUser(const QString &user, const QString &password, const QString &email,
                                          const QString &comment)
{
    // Look first: hashing is the expensive part.
    const Result taken = nameTaken(user);
    if (taken != Result::Missing)
        return taken;
    const passwordhash::Stored stored = passwordhash::hash(password, m_params);
    if (!stored.isArgon2()) {
        m_lastError = QStringLiteral("password hashing failed");
        return Result::Failed;
    }
    return addUser(user, stored, email, comment);
}

LobbyStore::Result LobbyStore::checkPassword(const QString &user, const QString &password)
{
    passwordhash::Stored stored;
    const Result found = findPassword(user, &stored);
    if (found != Result::Ok)
        return found;
    switch (passwordhash::verify(password, stored)) {
    case passwordhash::Check::Match:
        break;
    case passwordhash::Check::Mismatch:
        return Result::WrongPassword;
    case passwordhash::Check::Invalid:
        m_lastError = QStringLiteral("unreadable password hash of %1").arg(user);
        return Result::Failed;
    }
    if (passwordhash::outdated(stored, m_params)) {
        const passwordhash::Stored fresh = passwordhash::hash(password, m_params);
        if (fresh.isArgon2())
            setPassword(user, fresh);
    }
    return Result::Ok;
}

LobbyStore::Result LobbyStore::updateUser(const QString &user, const QString &password, const QString &email,
                                          const QString &comment)
{
    const passwordhash::Stored stored = passwordhash::hash(password, m_params);
    if (!stored.isArgon2()) {
        m_lastError = QStringLiteral("password hashing failed");
        return Result::Failed;
    }
    return updateAccount(user, stored, email, comment);
}

std::optional<QString> LobbyStore::comment(const QString &user)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT comment FROM users WHERE name = ?"));
    q.addBindValue(user);
    if (!q.exec() || !q.next())
        return std::nullopt;
    return q.value(0).toString();
}

bool LobbyStore::countAccess(const QDateTime &when)
{
    const qint64 hour = hourKey(when);
    const qint64 day = dayKey(when);
    if (!m_db.transaction()) {
        m_lastError = m_db.lastError().text();
        return false;
    }
    bool ok = true;
    const auto bump = [&](const char *table, const char *key, qint64 value, qint64 keep) {
        QSqlQuery q(m_db);
        q.prepare(QStringLiteral("INSERT INTO %1 (%2, count) VALUES (?, 1)"
                                 " ON CONFLICT(%2) DO UPDATE SET count = count + 1")
                      .arg(QLatin1String(table), QLatin1String(key)));
        q.addBindValue(value);
        ok = ok && q.exec();
        QSqlQuery prune(m_db);
        prune.prepare(QStringLiteral("DELETE FROM %1 WHERE %2 < ?").arg(QLatin1String(table), QLatin1String(key)));
        prune.addBindValue(value - keep);
        ok = ok && prune.exec();
        if (!ok)
            m_lastError = (q.lastError().isValid() ? q.lastError() : prune.lastError()).text();
    };
    bump("access_hours", "hour", hour, kKeepHours);
    bump("access_days", "day", day, kKeepDays);
    if (!ok) {
        m_db.rollback();
        return false;
    }
    if (!m_db.commit()) {
        m_lastError = m_db.lastError().text();
        m_db.rollback();
        return false;
    }
    return true;
}

QList<int> LobbyStore::counts(const char *table, const char *key, qint64 newest, int n)
{
    QList<int> out(n, 0);
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT %2, count FROM %1 WHERE %2 > ? AND %2 <= ?")
                  .arg(QLatin1String(table), QLatin1String(key)));
    q.addBindValue(newest - n);
    q.addBindValue(newest);
    if (!q.exec()) {
        m_lastError = q.lastError().text();
        return out;
    }
    while (q.next()) {
        const qint64 age = newest - q.value(0).toLongLong();
        // The client reads 16-bit counts; a larger one would come out as 0 there.
        out[age] = int(std::clamp<qint64>(q.value(1).toLongLong(), 0, 32767));
    }
    return out;
}

QList<int> LobbyStore::hourCounts(const QDateTime &now) { return counts("access_hours", "hour", hourKey(now), 24); }

QList<int> LobbyStore::dayCounts(const QDateTime &now) { return counts("access_days", "day", dayKey(now), 7); }
