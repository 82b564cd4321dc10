#include "clusterbus.h"

#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QUrl>
#include <QUrlQuery>

#include <hiredis.h>
#include <async.h>

#include <sys/ioctl.h>

#include "clientconnection.h"
#include "lobbyscript.h"
#include "wire/wire.h"
#include "serverlog.h"

namespace {

constexpr char kSep = '\x1f';
const QByteArray kPrefix = QByteArrayLiteral("qc:");

QByteArray utf8(const QString &s) { return s.toUtf8(); }
QString text(const QByteArray &b) { return QString::fromUtf8(b); }

QByteArray record(std::initializer_list<QByteArray> fields)
{
    QByteArray out;
    for (const QByteArray &f : fields) {
        if (!out.isEmpty())
            out += kSep;
        out += f;
    }
    return out;
}

// At most n fields; the last keeps any separators it contains (chat text).
QList<QByteArray> splitFields(const QByteArray &s, int n)
{
    QList<QByteArray> out;
    qsizetype from = 0;
    while (out.size() < n - 1) {
        const qsizetype at = s.indexOf(kSep, from);
        if (at < 0)
            break;
        out.append(s.mid(from, at - from));
        from = at + 1;
    }
    out.append(s.mid(from));
    return out;
}

QByteArray str(const redisReply *r)
{
    return r && (r->type == REDIS_REPLY_STRING || r->type == REDIS_REPLY_STATUS || r->type == REDIS_REPLY_ERROR)
               ? QByteArray(r->str, qsizetype(r->len))
               : QByteArray();
}

qint64 integer(const redisReply *r)
{
    if (!r)
        return 0;
    if (r->type == REDIS_REPLY_INTEGER)
        return r->integer;
    return str(r).toLongLong();
}

} // namespace

// Drives one hiredis connection from the Qt event loop. Commands of one loop pass
// leave together, with one write before this node's clients get their output, so
// that the other nodes get them as early as a single server would answer; events
// that arrived together are read and applied together, and their output to the
// clients goes out in the same flush. The write notifier is only for a socket
// that is full (or still connecting); notifiers live as long as the connection.
class BusSocket : public QObject {
public:
    explicit BusSocket(redisAsyncContext *ac, QObject *parent)
        : QObject(parent), m_ac(ac), m_read(ac->c.fd, QSocketNotifier::Read, this),
          m_write(ac->c.fd, QSocketNotifier::Write, this)
    {
        m_read.setEnabled(false);
        m_write.setEnabled(false);
        ac->ev.data = this;
        ac->ev.addRead = [](void *d) { static_cast<BusSocket *>(d)->wantRead(true); };
        ac->ev.delRead = [](void *d) { static_cast<BusSocket *>(d)->wantRead(false); };
        ac->ev.addWrite = [](void *d) { static_cast<BusSocket *>(d)->wantWrite(); };
        ac->ev.delWrite = [](void *d) {
            auto *self = static_cast<BusSocket *>(d);
            self->m_writeWanted = false;
            self->m_write.setEnabled(false);
        };
        ac->ev.cleanup = [](void *d) { static_cast<BusSocket *>(d)->detach(); };
        connect(&m_read, &QSocketNotifier::activated, this, &BusSocket::readable);
        m_pause.setSingleShot(true);
        m_pause.setTimerType(Qt::PreciseTimer);
        connect(&m_pause, &QTimer::timeout, this, [this] {
            m_read.setEnabled(m_readWanted && m_ac);
            readAll();
        });
        m_sinceRead.start();
        connect(&m_write, &QSocketNotifier::activated, this, [this] {
            if (m_ac)
                redisAsyncHandleWrite(m_ac);
        });
    }
    ~BusSocket() override { detach(); }

    // Reads at most once per this many ms while events keep coming: those that
    // come meanwhile wait in the socket and are applied together, and each client
    // gets them in one send. An event after a quiet spell is read at once.
    void setPace(int ms) { m_paceMs = ms; }

    // Events already in the socket when the clients' output is about to leave
    // are applied first and leave with it.
    void readAtEachFlush()
    {
        ClientConnection::atEachFlush(this, [this] {
            int left = 0;
            if (m_ac && m_readWanted && ::ioctl(m_ac->c.fd, FIONREAD, &left) == 0 && left > 0)
                readAll();
        });
    }

private:
    // hiredis frees the context on its own schedule; it tells us first (cleanup).
    void detach()
    {
        if (m_ac)
            m_ac->ev = {};
        m_ac = nullptr;
        m_read.setEnabled(false);
        m_write.setEnabled(false);
        m_pause.stop();
    }

    void wantRead(bool on)
    {
        m_readWanted = on;
        m_read.setEnabled(on && !m_pause.isActive());
    }

    void readable()
    {
        const qint64 gap = m_paceMs - m_sinceRead.elapsed();
        if (gap > 0) {
            m_read.setEnabled(false);
            m_pause.start(int(gap));
            return;
        }
        readAll();
    }

    void wantWrite()
    {
        m_writeWanted = true;
        // A full socket, or a connection still being made, waits for the kernel.
        if (m_writing || !(m_ac->c.flags & REDIS_CONNECTED)) {
            m_write.setEnabled(true);
            return;
        }
        if (m_writeQueued)
            return;
        m_writeQueued = true;
        ClientConnection::beforeNextFlush(this, [this] {
            m_writeQueued = false;
            if (!m_ac || !m_writeWanted || m_write.isEnabled())
                return;
            m_writing = true;
            redisAsyncHandleWrite(m_ac);
            m_writing = false;
        });
    }

    void readAll()
    {
        // Everything the socket holds now, up to a bound that keeps the clients'
        // input served.
        m_sinceRead.start();
        for (int round = 0; round < 16 && m_ac; ++round) {
            redisAsyncHandleRead(m_ac);
            int left = 0;
            if (!m_ac || ::ioctl(m_ac->c.fd, FIONREAD, &left) != 0 || left <= 0)
                break;
        }
    }

    redisAsyncContext *m_ac;
    QSocketNotifier m_read;
    QSocketNotifier m_write;
    QTimer m_pause;
    QElapsedTimer m_sinceRead;
    int m_paceMs = 0;
    bool m_readWanted = false;
    bool m_writeWanted = false;
    bool m_writeQueued = false;
    bool m_writing = false;
};

std::optional<ClusterBus::Options> ClusterBus::parseUrl(const QString &url, QString *error)
{
    const QUrl u(url, QUrl::StrictMode);
    Options o;
    bool ok = u.isValid() && u.scheme() == QLatin1String("redis") && !u.host().isEmpty() && u.userInfo().isEmpty() &&
              !u.hasFragment();
    if (ok && u.hasQuery()) {
        const QUrlQuery query(u);
        const auto items = query.queryItems();
        ok = items.size() == 1 && items.front().first == QLatin1String("flush-pace");
        if (ok)
            o.flushPaceMs = items.front().second.toInt(&ok);
        ok = ok && o.flushPaceMs >= 0 && o.flushPaceMs <= 1000;
    }
    const int port = u.port(6379);
    ok = ok && port > 0 && port <= 65535;
    const QString path = u.path();
    if (ok && !path.isEmpty() && path != QLatin1String("/")) {
        o.db = path.mid(1).toInt(&ok);
        ok = ok && o.db >= 0 && o.db < 1 << 16;
    }
    if (!ok) {
        *error = QStringLiteral("expected redis://host[:port][/db][?flush-pace=MS], got %1").arg(url);
        return std::nullopt;
    }
    o.host = u.host();
    o.port = quint16(port);
    return o;
}

ClusterBus::ClusterBus(const Options &options, LobbyEvents &lobby, QObject *parent)
    : QObject(parent), m_options(options), m_lobby(lobby)
{
    // Unique per run: a restarted node must not be taken for its dead predecessor.
    m_node = QStringLiteral("%1").arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'));
    // Pub/sub ignores the database number; the channel must not.
    m_channel = kPrefix + "events:" + QByteArray::number(options.db);
    m_tick.setInterval(options.tickMs);
    connect(&m_tick, &QTimer::timeout, this, &ClusterBus::tick);
    m_reconnect.setSingleShot(true);
    connect(&m_reconnect, &QTimer::timeout, this, &ClusterBus::connectLinks);
    m_clock.start();
    ClientConnection::setFlushPace(options.flushPaceMs);
}

ClusterBus::~ClusterBus()
{
    if (m_state == State::Ready)
        dropThisNode();
    m_destroying = true;
    closeLinks();
}

void ClusterBus::start()
{
    m_tick.start();
    connectLinks();
}

// ---- Connections ---------------------------------------------------------------

bool ClusterBus::openLink(Link &link)
{
    link.ac = redisAsyncConnect(m_options.host.toUtf8().constData(), m_options.port);
    if (!link.ac)
        return false;
    if (link.ac->err) {
        qCWarning(lcServer, "redis %s:%u: %s", qPrintable(m_options.host), unsigned(m_options.port),
                 link.ac->errstr);
        redisAsyncFree(link.ac);
        link.ac = nullptr;
        return false;
    }
    link.ac->data = this;
    link.adapter = new BusSocket(link.ac, this);
    if (&link == &m_sub) {
        link.adapter->setPace(m_options.eventPaceMs);
        link.adapter->readAtEachFlush();
    }
    redisAsyncSetConnectCallback(link.ac, &ClusterBus::onConnect);
    redisAsyncSetDisconnectCallback(link.ac, &ClusterBus::onDisconnect);
    return true;
}

void ClusterBus::connectLinks()
{
    if (m_state != State::Down)
        return;
    m_state = State::Connecting;
    m_pingOut = false;
    if (!openLink(m_cmd) || !openLink(m_sub))
        return lost(QStringLiteral("cannot connect"));
    if (m_options.db != 0)
        command({"SELECT", QByteArray::number(m_options.db)}, [](redisReply *) {});
    // The watchdog covers a server that accepts but never answers.
    m_pingOut = true;
    m_pingSent.start();
    command({"PING"}, [this](redisReply *r) {
        if (r)
            m_pingOut = false;
    });
    QList<QByteArray> args{"SUBSCRIBE", m_channel};
    std::vector<const char *> argv;
    std::vector<size_t> lens;
    for (const QByteArray &a : args) {
        argv.push_back(a.constData());
        lens.push_back(size_t(a.size()));
    }
    redisAsyncCommandArgv(m_sub.ac, &ClusterBus::onEvent, nullptr, int(argv.size()), argv.data(), lens.data());
}

void ClusterBus::onConnect(const redisAsyncContext *ac, int status)
{
    if (status == REDIS_OK)
        return;
    auto *self = static_cast<ClusterBus *>(ac->data);
    if (self)
        self->linkEnded(ac, ac->errstr);
}

void ClusterBus::onDisconnect(const redisAsyncContext *ac, int status)
{
    auto *self = static_cast<ClusterBus *>(ac->data);
    if (self)
        self->linkEnded(ac, status == REDIS_OK ? "closed" : ac->errstr);
}

// hiredis frees the context after this returns; the other link goes too.
void ClusterBus::linkEnded(const redisAsyncContext *ac, const char *why)
{
    for (Link *link : {&m_cmd, &m_sub}) {
        if (link->ac == ac) {
            link->ac = nullptr;
            retire(*link);
        }
    }
    if (!m_destroying)
        lost(QString::fromLocal8Bit(why));
}

void ClusterBus::retire(Link &link)
{
    if (!link.adapter)
        return;
    // Later: hiredis may be reading through it right now.
    link.adapter->deleteLater();
    link.adapter = nullptr;
}

void ClusterBus::closeLinks()
{
    for (Link *link : {&m_cmd, &m_sub}) {
        if (redisAsyncContext *ac = link->ac) {
            ac->data = nullptr; // no callbacks into this object's lost()
            link->ac = nullptr;
            redisAsyncFree(ac); // pending callbacks run with no reply
        }
        retire(*link);
    }
}

void ClusterBus::lost(const QString &why)
{
    if (m_state == State::Down)
        return;
    const bool wasReady = m_state == State::Ready;
    m_state = State::Down;
    if (wasReady || m_backoffMs == 0)
        qCWarning(lcServer, "redis %s:%u unreachable (%s): refusing sign-ins, reconnecting",
                 qPrintable(m_options.host), unsigned(m_options.port), qPrintable(why));
    closeLinks();
    m_syncing = false;
    m_buffered.clear();
    // Made, but the node cannot show it to their clients now: refused, and the next
    // restore undoes them.
    auto waiting = std::exchange(m_waiting, {});
    for (Waiting &w : waiting) {
        refused(w.user, w.request);
        w.reply(protocol::err::ServerFailure);
    }
    if (wasReady)
        emit readyChanged(false);
    scheduleReconnect();
}

void ClusterBus::scheduleReconnect()
{
    m_backoffMs = m_backoffMs == 0 ? m_options.reconnectMinMs : std::min(m_backoffMs * 2, m_options.reconnectMaxMs);
    m_reconnect.start(m_backoffMs);
}

// ---- Commands ------------------------------------------------------------------

void ClusterBus::onReply(redisAsyncContext *, void *reply, void *privdata)
{
    std::unique_ptr<Callback> callback(static_cast<Callback *>(privdata));
    (*callback)(static_cast<redisReply *>(reply));
}

bool ClusterBus::command(const QList<QByteArray> &args, Callback callback)
{
    if (!m_cmd.ac) {
        callback(nullptr);
        return false;
    }
    std::vector<const char *> argv;
    std::vector<size_t> lens;
    argv.reserve(size_t(args.size()));
    for (const QByteArray &a : args) {
        argv.push_back(a.constData());
        lens.push_back(size_t(a.size()));
    }
    auto *cb = new Callback([this, callback = std::move(callback)](redisReply *r) {
        if (!m_destroying)
            callback(r);
    });
    if (redisAsyncCommandArgv(m_cmd.ac, &ClusterBus::onReply, cb, int(argv.size()), argv.data(), lens.data()) !=
        REDIS_OK) {
        delete cb;
        callback(nullptr);
        return false;
    }
    return true;
}

qint64 ClusterBus::redisNowAtMost() const
{
    // Redis read its clock between the question and the answer.
    return m_redisTime + (m_clock.elapsed() - m_timeAsked);
}

void ClusterBus::refused(const QByteArray &user, qint64 request)
{
    m_refused.append({user, request});
}

void ClusterBus::operation(const QByteArray &op, QList<QByteArray> args, Reply reply)
{
    if (m_state != State::Ready && op != "part") {
        if (reply)
            reply(protocol::err::ServerFailure);
        return;
    }
    const QByteArray user = args.value(0);
    const qint64 request = ++m_nextRequest;
    // The script runs by the deadline or not at all; only once Redis's clock has
    // surely passed it may this node answer "-ERR 99".
    const qint64 budget = m_options.answerTimeoutMs;
    const qint64 deadline = reply && m_timeAnswered >= 0 ? redisNowAtMost() + budget : 0;
    const qint64 refuseAt = m_clock.elapsed() + budget + (m_timeAnswered - m_timeAsked) + 100;
    args = QList<QByteArray>{"EVAL",
                             lobbyScript(),
                             "0",
                             kPrefix,
                             m_channel,
                             op,
                             utf8(m_node),
                             QByteArray::number(m_epoch),
                             QByteArray::number(request),
                             QByteArray::number(deadline)} +
           args;
    command(args, [this, op, user, request, refuseAt, reply = std::move(reply)](redisReply *r) {
        if (!r || r->type != REDIS_REPLY_ARRAY || r->elements < 2) {
            if (r)
                qCWarning(lcServer, "redis %s failed: %s", op.constData(), str(r).constData());
            if (!reply)
                return;
            refused(user, request);
            const qint64 wait = refuseAt - m_clock.elapsed();
            if (r || wait <= 0)
                return reply(protocol::err::ServerFailure);
            QTimer::singleShot(int(wait), this, [reply] { reply(protocol::err::ServerFailure); });
            return;
        }
        const int error = int(integer(r->element[0]));
        const qint64 seq = integer(r->element[1]);
        if (!reply)
            return;
        // The answer goes out once this node has seen what the change did.
        if (error || seq <= m_appliedSeq)
            reply(error);
        else
            m_waiting.push_back({seq, reply, user, request});
    });
}

void ClusterBus::applied(qint64 seq)
{
    if (seq > m_appliedSeq)
        m_appliedSeq = seq;
    while (!m_waiting.empty() && m_waiting.front().seq <= m_appliedSeq) {
        Reply reply = std::move(m_waiting.front().reply);
        m_waiting.pop_front();
        reply(0);
    }
}

void ClusterBus::join(const QString &game, const QString &user, bool host, Reply reply)
{
    operation("join", {utf8(user), utf8(game), host ? "1" : "0"}, std::move(reply));
}

void ClusterBus::part(const QString &user)
{
    if (m_state == State::Ready)
        operation("part", {utf8(user)}, {});
    // Otherwise the next sync leaves out whom this node no longer has.
}

void ClusterBus::createRoom(const QString &game, const QString &room, const QString &user, Reply reply)
{
    operation("create", {utf8(user), utf8(game), utf8(room)}, std::move(reply));
}

void ClusterBus::enterRoom(const QString &game, const QString &room, const QString &user, int maxPlayers, Reply reply)
{
    operation("enter", {utf8(user), utf8(game), utf8(room), QByteArray::number(maxPlayers)}, std::move(reply));
}

void ClusterBus::leaveRoom(const QString &user, int maxPlayers, Reply reply)
{
    operation("leave", {utf8(user), QByteArray::number(maxPlayers)}, std::move(reply));
}

void ClusterBus::deleteRoom(const QString &game, const QString &room, const QString &user, Reply reply)
{
    operation("delete", {utf8(user), utf8(game), utf8(room)}, std::move(reply));
}

void ClusterBus::start(const QString &user, int minPlayers, const QString &hostAddress, Reply reply)
{
    operation("start", {utf8(user), QByteArray::number(minPlayers), utf8(hostAddress)}, std::move(reply));
}

bool ClusterBus::publishChat(const QByteArray &payload)
{
    if (m_state != State::Ready) {
        ++m_chatLost;
        return false;
    }
    return command({"PUBLISH", m_channel, payload}, [this](redisReply *r) {
        if (!r)
            ++m_chatLost;
    });
}

bool ClusterBus::lobbyMessage(const QString &game, const QString &user, const QString &message)
{
    return publishChat(record({"0", "M", utf8(game), utf8(m_node), utf8(user), utf8(message)}));
}

bool ClusterBus::roomMessage(const QString &game, const QString &room, const QString &user, const QString &message)
{
    return publishChat(record({"0", "R", utf8(game), utf8(room), utf8(m_node), utf8(user), utf8(message)}));
}

bool ClusterBus::kick(const QString &folded)
{
    if (m_state != State::Ready)
        return false;
    return command({"PUBLISH", m_channel, record({"0", "K", "", utf8(folded)})}, [](redisReply *) {});
}

bool ClusterBus::sanctionsChanged()
{
    if (m_state != State::Ready)
        return false;
    return command({"PUBLISH", m_channel, record({"0", "X", ""})}, [](redisReply *) {});
}

// ---- State ---------------------------------------------------------------------

void ClusterBus::resync()
{
    if (m_state != State::Ready)
        return;
    if (m_syncing) {
        m_resyncWanted = true;
        return;
    }
    m_state = State::Syncing;
    emit readyChanged(false);
    sync();
}

// Puts this node's players back (a restarted Redis has none), then reads the
// whole state. Events that arrive meanwhile wait and are applied after it.
void ClusterBus::sync()
{
    m_syncing = true;
    m_resyncWanted = false;
    m_buffered.clear();
    ++m_epoch;
    QList<QByteArray> records;
    const auto refusedSent = m_refused.size();
    for (const auto &[user, request] : std::as_const(m_refused))
        records << record({"X", user, QByteArray::number(request)});
    for (const ClusterGame &g : m_lobby.clusterLocalState()) {
        for (const ClusterPlayer &p : g.players)
            records << record({"U", utf8(p.user), utf8(g.name), p.host ? "1" : "0"});
        for (const ClusterRoom &r : g.rooms) {
            QByteArray rec = record({"R", utf8(g.name), utf8(r.name), QByteArray::number(r.maxPlayers)});
            for (const QString &m : r.members)
                rec += kSep + utf8(m);
            records << rec;
        }
    }
    command(QList<QByteArray>{"SET", kPrefix + "alive:" + utf8(m_node), "1", "PX",
                              QByteArray::number(m_options.aliveTtlMs)},
            [](redisReply *) {});
    askTime();
    const QByteArray fresh = QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    command(QList<QByteArray>{"EVAL", lobbyScript(), "0", kPrefix, m_channel, "restore", utf8(m_node),
                              QByteArray::number(m_epoch), m_generation, fresh} +
                records,
            [this, refusedSent](redisReply *r) {
                if (!r || r->type != REDIS_REPLY_ARRAY || r->elements < 3) {
                    if (r)
                        return lost(QStringLiteral("restore failed: %1").arg(text(str(r))));
                    return;
                }
                m_refused.remove(0, std::min(refusedSent, m_refused.size()));
                m_generation = str(r->element[2]);
                QStringList others;
                for (size_t i = 3; i < r->elements; ++i)
                    others << text(str(r->element[i]));
                if (!others.isEmpty())
                    m_lobby.clusterLost(others);
            });
    command({"EVAL", lobbyScript(), "0", kPrefix, m_channel, "snapshot", utf8(m_node)}, [this](redisReply *r) {
        if (!r)
            return;
        if (r->type != REDIS_REPLY_ARRAY || r->elements < 1)
            return lost(QStringLiteral("snapshot failed: %1").arg(text(str(r))));
        applySnapshot(r);
    });
}

// Often enough that the two clocks cannot drift apart by much in between.
void ClusterBus::askTime()
{
    const qint64 asked = m_clock.elapsed();
    command({"TIME"}, [this, asked](redisReply *r) {
        // A slow answer tells the time too loosely; the last good one is better.
        const qint64 now = m_clock.elapsed();
        if (!r || r->type != REDIS_REPLY_ARRAY || r->elements < 2 || (m_timeAnswered >= 0 && now - asked > 500))
            return;
        m_timeAsked = asked;
        m_timeAnswered = now;
        m_redisTime = integer(r->element[0]) * 1000 + integer(r->element[1]) / 1000;
    });
}

void ClusterBus::applySnapshot(redisReply *r)
{
    const qint64 seq = integer(r->element[0]);
    QList<ClusterGame> games;
    for (size_t i = 1; i < r->elements; ++i) {
        const QByteArray rec = str(r->element[i]);
        const QList<QByteArray> f = rec.split(kSep);
        if (f[0] == "G" && f.size() == 2) {
            games.append(ClusterGame{text(f[1]), {}, {}});
        } else if (games.isEmpty()) {
            continue;
        } else if (f[0] == "U" && f.size() == 4) {
            games.last().players.append({text(f[1]), f[2] == "1", text(f[3])});
        } else if (f[0] == "R" && f.size() >= 3) {
            ClusterRoom room{text(f[1]), {}, 0};
            for (qsizetype k = 2; k < f.size(); ++k)
                room.members << text(f[k]);
            games.last().rooms.append(room);
        }
    }
    m_appliedSeq = seq;
    m_lobby.clusterReset(games);
    m_syncing = false;
    const bool wasReady = m_state == State::Ready;
    m_state = State::Ready;
    logChatLost();
    if (!wasReady && m_everReady)
        qCInfo(lcServer, "redis %s:%u reachable again: accepting sign-ins", qPrintable(m_options.host),
              unsigned(m_options.port));
    else if (!m_everReady)
        qCInfo(lcServer, "joined the cluster at redis %s:%u as node %s", qPrintable(m_options.host),
              unsigned(m_options.port), qPrintable(m_node));
    m_everReady = true;
    m_backoffMs = 0;
    auto buffered = std::exchange(m_buffered, {});
    for (const QByteArray &payload : buffered)
        event(payload);
    applied(seq);
    if (!wasReady)
        emit readyChanged(true);
    if (m_resyncWanted)
        resync();
}

void ClusterBus::onEvent(redisAsyncContext *ac, void *reply, void *)
{
    auto *self = static_cast<ClusterBus *>(ac->data);
    auto *r = static_cast<redisReply *>(reply);
    if (!self || !r || r->type != REDIS_REPLY_ARRAY || r->elements < 3)
        return;
    const QByteArray kind = str(r->element[0]);
    if (kind == "subscribe") {
        if (self->m_state == State::Connecting) {
            self->m_state = State::Syncing;
            self->sync();
        }
    } else if (kind == "message") {
        self->event(str(r->element[2]));
    }
}

void ClusterBus::event(const QByteArray &payload)
{
    if (m_syncing) {
        m_buffered.push_back(payload);
        return;
    }
    const QList<QByteArray> head = splitFields(payload, 3);
    if (head.size() < 3)
        return;
    const qint64 seq = head[0].toLongLong();
    if (seq != 0 && seq <= m_appliedSeq)
        return; // already in the snapshot
    const QList<QByteArray> f = splitFields(payload, head[1] == "M" ? 6 : head[1] == "R" ? 7 : 8);
    // This node's own chat reached its players before it was published.
    const qsizetype origin = head[1] == "M" ? 3 : 4;
    if (seq == 0 && f.size() > origin && f[origin] == utf8(m_node))
        return;
    applyEvent(f);
    if (seq != 0)
        applied(seq);
}

void ClusterBus::applyEvent(const QList<QByteArray> &f)
{
    const QByteArray &type = f[1];
    const auto n = f.size();
    const QString game = text(f[2]);
    if (type == "J" && n == 6)
        m_lobby.clusterJoin(game, text(f[3]), f[4] == "1", text(f[5]));
    else if (type == "P" && n == 4)
        m_lobby.clusterPart(game, text(f[3]));
    else if (type == "C" && n == 5)
        m_lobby.clusterCreateRoom(game, text(f[3]), text(f[4]));
    else if (type == "E" && n == 5)
        m_lobby.clusterEnterRoom(game, text(f[3]), text(f[4]));
    else if (type == "L" && n == 5)
        m_lobby.clusterLeaveRoom(game, text(f[3]), text(f[4]));
    else if (type == "D" && n == 5)
        m_lobby.clusterDeleteRoom(game, text(f[3]), f[4] != "0", f[4] == "2");
    else if (type == "S" && n == 5)
        m_lobby.clusterStart(game, text(f[3]), text(f[4]));
    else if (type == "M" && n == 6)
        m_lobby.clusterLobbyMessage(game, text(f[4]), text(f[5]));
    else if (type == "R" && n == 7)
        m_lobby.clusterRoomMessage(game, text(f[3]), text(f[5]), text(f[6]));
    else if (type == "K" && n == 4)
        m_lobby.clusterKick(text(f[3]));
    else if (type == "X" && n == 3)
        m_lobby.clusterSanctionsChanged();
    else
        qCWarning(lcServer, "unknown cluster event %s", f.join(' ').left(80).constData());
}

// ---- Liveness ------------------------------------------------------------------

void ClusterBus::logChatLost()
{
    if (m_chatLost == m_chatLostLogged)
        return;
    qCWarning(lcServer, "%lld chat line(s) of this node's players did not reach the other nodes (%lld since start)",
              m_chatLost - m_chatLostLogged, m_chatLost);
    m_chatLostLogged = m_chatLost;
}

void ClusterBus::tick()
{
    logChatLost();
    if (m_state == State::Down)
        return;
    if (m_pingOut) {
        if (m_pingSent.elapsed() > m_options.answerTimeoutMs)
            lost(QStringLiteral("no answer for %1 ms").arg(m_pingSent.elapsed()));
        return;
    }
    if (m_state != State::Ready)
        return;
    m_pingOut = true;
    m_pingSent.start();
    command({"SET", kPrefix + "alive:" + utf8(m_node), "1", "PX", QByteArray::number(m_options.aliveTtlMs)},
            [this](redisReply *r) {
                if (r)
                    m_pingOut = false;
            });
    command({"SADD", kPrefix + "nodes", utf8(m_node)}, [](redisReply *) {});
    askTime();
    // Every node looks for dead ones; the script makes the second look find none.
    command({"EVAL", lobbyScript(), "0", kPrefix, m_channel, "reap", utf8(m_node)}, [](redisReply *r) {
        if (r && r->type == REDIS_REPLY_ARRAY && r->elements >= 3 && integer(r->element[2]) > 0)
            qCInfo(lcServer, "%lld cluster node(s) stopped answering; their players were signed out",
                  integer(r->element[2]));
    });
}

// On the way out, sign this node's players out at once rather than after the
// others' timeout. Blocking, but only at exit and for at most about a second.
void ClusterBus::dropThisNode()
{
    const timeval timeout{1, 0};
    redisContext *c = redisConnectWithTimeout(m_options.host.toUtf8().constData(), m_options.port, timeout);
    if (!c)
        return;
    if (!c->err && redisSetTimeout(c, timeout) == REDIS_OK) {
        const QList<QByteArray> select{"SELECT", QByteArray::number(m_options.db)};
        const QList<QByteArray> drop{"EVAL", lobbyScript(), "0", kPrefix, m_channel, "drop", utf8(m_node)};
        for (const auto &args : {select, drop}) {
            std::vector<const char *> argv;
            std::vector<size_t> lens;
            for (const QByteArray &a : args) {
                argv.push_back(a.constData());
                lens.push_back(size_t(a.size()));
            }
            if (auto *r = static_cast<redisReply *>(redisCommandArgv(c, int(argv.size()), argv.data(), lens.data())))
                freeReplyObject(r);
            else
                break;
        }
    }
    redisFree(c);
}
