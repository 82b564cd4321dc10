#include "lobbystore.h"

#include <QCryptographicHash>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <atomic>

namespace {

constexpr int kSaltBytes = 16;
constexpr int kKeyBytes = 32;
// Keep a few weeks of hours and a few years of days.
constexpr qint64 kKeepHours = 24 * 35;
constexpr qint64 kKeepDays = 366 * 3;

qint64 hourKey(const QDateTime &t) { return t.toSecsSinceEpoch() / 3600; }
qint64 dayKey(const QDateTime &t) { return t.toLocalTime().date().toJulianDay(); }

bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

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

QByteArray LobbyStore::derive(const QString &password, const QByteArray &salt, int iterations) const
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt, iterations,
                                              kKeyBytes);
}

static QByteArray newSalt()
{
    QByteArray salt(kSaltBytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(reinterpret_cast<quint32 *>(salt.data()),
                                         reinterpret_cast<quint32 *>(salt.data() + salt.size()));
    return salt;
}

LobbyStore::Result LobbyStore::createUser(const QString &user, const QString &password, const QString &email,
                                          const QString &comment)
{
    // Look first: deriving a key is the expensive part.
    QSqlQuery find(m_db);
    find.prepare(QStringLiteral("SELECT 1 FROM users WHERE name = ?"));
    find.addBindValue(user);
    if (!find.exec()) {
        m_lastError = find.lastError().text();
        return Result::Failed;
    }
    if (find.next())
        return Result::Exists;
    const QByteArray salt = newSalt();
    const QByteArray key = derive(password, salt, m_iterations);
    QSqlQuery q(m_db);
    // A null QString binds as NULL; an absent comment is stored as empty text.
    q.prepare(QStringLiteral("INSERT INTO users (name, salt, key, iterations, email, comment, created)"
                             " VALUES (?, ?, ?, ?, coalesce(?, ''), coalesce(?, ''), ?)"));
    q.addBindValue(user);
    q.addBindValue(salt);
    q.addBindValue(key);
    q.addBindValue(m_iterations);
    q.addBindValue(email);
    q.addBindValue(comment);
    q.addBindValue(QDateTime::currentSecsSinceEpoch());
    if (!q.exec()) {
        m_lastError = q.lastError().text();
        return Result::Failed;
    }
    return Result::Ok;
}

LobbyStore::Result LobbyStore::checkPassword(const QString &user, const QString &password)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT salt, key, iterations FROM users WHERE name = ?"));
    q.addBindValue(user);
    if (!q.exec()) {
        m_lastError = q.lastError().text();
        return Result::Failed;
    }
    if (!q.next())
        return Result::Missing;
    const int iterations = q.value(2).toInt();
    if (iterations < 1)
        return Result::Failed;
    return sameBytes(derive(password, q.value(0).toByteArray(), iterations), q.value(1).toByteArray())
               ? Result::Ok
               : Result::WrongPassword;
}

LobbyStore::Result LobbyStore::updateUser(const QString &user, const QString &password, const QString &email,
                                          const QString &comment)
{
    const QByteArray salt = newSalt();
    const QByteArray key = derive(password, salt, m_iterations);
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("UPDATE users SET salt = ?, key = ?, iterations = ?, email = coalesce(?, ''), comment = coalesce(?, '')"
                             " WHERE name = ?"));
    q.addBindValue(salt);
    q.addBindValue(key);
    q.addBindValue(m_iterations);
    q.addBindValue(email);
    q.addBindValue(comment);
    q.addBindValue(user);
    if (!q.exec()) {
        m_lastError = q.lastError().text();
        return Result::Failed;
    }
    return q.numRowsAffected() == 1 ? Result::Ok : Result::Missing;
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
