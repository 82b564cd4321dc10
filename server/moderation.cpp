#include "moderation.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>

namespace {

bool asciiWord(const QString &w)
{
    return std::all_of(w.begin(), w.end(), [](QChar c) { return c.unicode() < 128 && c.isLetterOrNumber(); });
}

} // namespace

std::optional<WordList> WordList::fromFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    return fromText(QString::fromUtf8(file.readAll()));
}

WordList WordList::fromText(const QString &text)
{
    WordList list;
    QHash<QString, QStringList> alternatives;
    QString game;
    for (QString line : text.split(u'\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            game = line.mid(1, line.size() - 2);
            continue;
        }
        const QString quoted = QRegularExpression::escape(line);
        alternatives[game] << (asciiWord(line) ? QStringLiteral("\\b%1\\b").arg(quoted) : quoted);
        ++list.m_count;
    }
    // A game's own words come on top of those for every game.
    const QStringList common = alternatives.value(QString());
    for (auto it = alternatives.cbegin(); it != alternatives.cend(); ++it) {
        QStringList all = it.value();
        if (!it.key().isEmpty())
            all += common;
        list.m_patterns.insert(it.key(),
                               QRegularExpression(all.join(u'|'), QRegularExpression::CaseInsensitiveOption
                                                                      | QRegularExpression::UseUnicodePropertiesOption));
    }
    return list;
}

QString WordList::mask(const QString &text, const QString &game) const
{
    if (m_patterns.isEmpty())
        return text;
    auto it = m_patterns.constFind(game);
    if (it == m_patterns.constEnd())
        it = m_patterns.constFind(QString());
    if (it == m_patterns.constEnd())
        return text;
    QString out = text;
    auto matches = it->globalMatch(text);
    while (matches.hasNext()) {
        const auto m = matches.next();
        for (qsizetype i = m.capturedStart(); i < m.capturedEnd(); ++i)
            out[i] = u'*';
    }
    return out;
}

Moderation::Moderation(LobbyStore &store)
    : m_store(store), m_epoch([] { return QDateTime::currentSecsSinceEpoch(); }), m_tick([] {
          static QElapsedTimer t = [] {
              QElapsedTimer e;
              e.start();
              return e;
          }();
          return t.elapsed();
      })
{
}

void Moderation::setClock(std::function<qint64()> epochSecs, std::function<qint64()> tickMs)
{
    m_epoch = std::move(epochSecs);
    m_tick = std::move(tickMs);
    m_mutesRead = -1;
}

std::optional<LobbyStore::Sanction> Moderation::banOf(const QString &account, const QHostAddress &address)
{
    const auto bans = m_store.activeBans(now());
    if (!bans)
        return std::nullopt;
    for (const LobbyStore::Sanction &b : *bans) {
        if (b.scope == QLatin1String("account") ? b.target == account
                                                 : address.isInSubnet(QHostAddress::parseSubnet(b.target)))
            return b;
    }
    return std::nullopt;
}

void Moderation::reloadMutes()
{
    m_mutesRead = -1;
}

qint64 Moderation::mutedUntil(const QString &account)
{
    const qint64 tick = m_tick();
    if (m_mutesRead < 0 || tick - m_mutesRead >= kRefreshMs) {
        if (const auto mutes = m_store.activeSanctions(now(), QStringLiteral("mute"), QStringLiteral("account"))) {
            m_mutes.clear();
            for (const LobbyStore::Sanction &m : *mutes) {
                qint64 &end = m_mutes[m.target];
                end = (end < 0 || m.expires == 0) ? -1 : std::max(end, m.expires);
            }
            m_mutesRead = tick;
        }
    }
    const auto it = m_mutes.constFind(account);
    if (it == m_mutes.constEnd())
        return 0;
    if (*it > 0 && *it <= now())
        return 0;
    return *it;
}

bool Moderation::floodCrossed(const QString &account)
{
    if (m_flood.lines <= 0)
        return false;
    const qint64 tick = m_tick();
    std::deque<qint64> &recent = m_recent[account];
    recent.push_back(tick);
    while (!recent.empty() && tick - recent.front() >= m_flood.windowMs)
        recent.pop_front();
    if (qsizetype(recent.size()) <= m_flood.lines)
        return false;
    recent.clear();
    return true;
}

qint64 Moderation::nextAutoMuteSecs(const QString &account)
{
    AutoMutes &a = m_autoMutes[account];
    const qint64 t = now();
    if (t - a.last > 24 * 3600)
        a.count = 0;
    a.last = t;
    qint64 secs = m_flood.muteSecs;
    for (int i = 0; i < a.count && secs < m_flood.maxMuteSecs; ++i)
        secs *= 2;
    ++a.count;
    return std::min<qint64>(secs, m_flood.maxMuteSecs);
}

std::optional<qint64> parseDuration(const QString &text)
{
    static const QRegularExpression re(QStringLiteral("^(\\d{1,9})([smhd]?)$"));
    const auto m = re.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const qint64 n = m.captured(1).toLongLong();
    const QString unit = m.captured(2);
    const qint64 factor = unit == QLatin1String("m") ? 60 : unit == QLatin1String("h") ? 3600
                                                          : unit == QLatin1String("d") ? 86400
                                                                                       : 1;
    if (n <= 0)
        return std::nullopt;
    return n * factor;
}

std::optional<QString> parseAddressTarget(const QString &text)
{
    // QHostAddress reads "90" as 0.0.0.90; a user ID may be all digits.
    const QString host = text.section(u'/', 0, 0);
    if (!host.contains(u'.') && !host.contains(u':'))
        return std::nullopt;
    if (!text.contains(u'/')) {
        const QHostAddress a(text);
        if (a.isNull())
            return std::nullopt;
        bool v4 = false;
        const quint32 ip = a.toIPv4Address(&v4);
        const QHostAddress plain = v4 ? QHostAddress(ip) : a;
        return QStringLiteral("%1/%2").arg(plain.toString()).arg(v4 ? 32 : 128);
    }
    const auto subnet = QHostAddress::parseSubnet(text);
    if (subnet.first.isNull())
        return std::nullopt;
    // The network's own address, so that one network is one target.
    QHostAddress net = subnet.first;
    if (net.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 mask = subnet.second == 0 ? 0 : ~quint32(0) << (32 - subnet.second);
        net = QHostAddress(net.toIPv4Address() & mask);
    } else {
        Q_IPV6ADDR bytes = net.toIPv6Address();
        for (int bit = subnet.second; bit < 128; ++bit)
            bytes[bit / 8] &= quint8(~(0x80u >> (bit % 8)));
        net = QHostAddress(bytes);
    }
    return QStringLiteral("%1/%2").arg(net.toString()).arg(subnet.second);
}

bool Moderation::record(const QString &action, const QString &target, const QString &reason, const QString &actor,
                        qint64 expires)
{
    ++m_actions[action];
    return m_store.addAudit({now(), actor, action, target, reason, expires});
}

bool Moderation::impose(const QString &kind, const QString &scope, const QString &target, qint64 secs,
                        const QString &reason, const QString &actor)
{
    LobbyStore::Sanction s;
    s.kind = kind;
    s.scope = scope;
    s.target = target;
    s.reason = reason;
    s.actor = actor;
    s.created = now();
    s.expires = secs > 0 ? s.created + secs : 0;
    if (!m_store.addSanction(s))
        return false;
    if (kind == QLatin1String("mute"))
        m_mutesRead = -1;
    if (m_changed)
        m_changed();
    record(kind, target, reason, actor, s.expires);
    return true;
}

int Moderation::lift(const QString &kind, const QString &scope, const QString &target, const QString &actor)
{
    const int n = m_store.liftSanctions(kind, scope, target, now());
    if (n < 0)
        return n;
    if (kind == QLatin1String("mute"))
        m_mutesRead = -1;
    if (n > 0 && m_changed)
        m_changed();
    if (n > 0)
        record(QStringLiteral("un") + kind, target, QString(), actor);
    return n;
}
