#include "signinthrottle.h"

#include <algorithm>

namespace {
QString accountKey(const QString &account) { return QLatin1String("u:") + account; }
QString addressKey(const QString &address) { return QLatin1String("a:") + address; }
} // namespace

qint64 SignInThrottle::waitFor(const QString &key, qint64 now) const
{
    const auto it = m_entries.constFind(key);
    if (it == m_entries.constEnd() || now - it->last >= kForgetMs)
        return 0;
    return std::max<qint64>(0, it->notBefore - now);
}

qint64 SignInThrottle::waitMs(const QString &account, const QString &address, qint64 now) const
{
    return std::max(waitFor(accountKey(account), now), waitFor(addressKey(address), now));
}

void SignInThrottle::fail(const QString &key, qint64 now)
{
    Entry &e = m_entries[key];
    if (e.failures > 0 && now - e.last >= kForgetMs)
        e.failures = 0;
    e.failures = std::min(e.failures + 1, 62);
    e.last = now;
    qint64 delay = m_baseMs;
    for (int i = 1; i < e.failures && delay < m_maxMs; ++i)
        delay *= 2;
    e.notBefore = now + std::min(delay, m_maxMs);
}

void SignInThrottle::failed(const QString &account, const QString &address, qint64 now)
{
    if (!account.isEmpty())
        fail(accountKey(account), now);
    fail(addressKey(address), now);
    if (++m_sincePrune >= 1024) {
        m_sincePrune = 0;
        prune(now);
    }
}

void SignInThrottle::succeeded(const QString &account, const QString &address)
{
    m_entries.remove(accountKey(account));
    const auto it = m_entries.find(addressKey(address));
    if (it != m_entries.end() && --it->failures <= 0)
        m_entries.erase(it);
}

void SignInThrottle::prune(qint64 now)
{
    m_entries.removeIf([now](const auto &it) { return now - it.value().last >= kForgetMs; });
}
