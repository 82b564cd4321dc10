#pragma once
// Growing delays after failed sign-ins, per account and per address: after the
// n-th failure the next attempt waits base * 2^(n-1), at most max. An attempt is
// counted as failed when it is taken on (at the time it is to be checked), so
// that attempts sent in parallel queue up one behind the other; a success takes
// its count back. Times are milliseconds on a monotonic clock the caller passes in.
#include <QHash>
#include <QString>

class SignInThrottle {
public:
    static constexpr qint64 kDefaultBaseMs = 1000;
    // Below the client's reply window of about ten seconds, with room for the hash.
    static constexpr qint64 kDefaultMaxMs = 8000;
    // A key without failures for this long starts again from nothing.
    static constexpr qint64 kForgetMs = 15 * 60 * 1000;

    void setDelays(qint64 baseMs, qint64 maxMs)
    {
        m_baseMs = baseMs;
        m_maxMs = maxMs;
    }
    // How long an attempt for this account from this address must still wait.
    // Above maxMs() only when attempts were taken on faster than the delays allow.
    qint64 waitMs(const QString &account, const QString &address, qint64 now) const;
    qint64 maxMs() const { return m_maxMs; }
    // An empty account counts against the address only.
    void failed(const QString &account, const QString &address, qint64 now);
    // The account starts again from nothing; the address's last count is taken back.
    void succeeded(const QString &account, const QString &address);
    qsizetype size() const { return m_entries.size(); }

private:
    struct Entry {
        int failures = 0;
        qint64 last = 0;
        qint64 notBefore = 0;
    };
    qint64 waitFor(const QString &key, qint64 now) const;
    void fail(const QString &key, qint64 now);
    void prune(qint64 now);

    QHash<QString, Entry> m_entries;
    qint64 m_baseMs = kDefaultBaseMs;
    qint64 m_maxMs = kDefaultMaxMs;
    int m_sincePrune = 0;
};
