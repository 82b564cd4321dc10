#include "lobbyserver.h"

#include <QPointer>
#include <QTcpSocket>
#include <QThread>

#include <sys/socket.h>

#include "clientconnection.h"
#include "hostaddress.h"
#include "lobbystore.h"
#include "moderation.h"
#include "net/protocol/protocol.h"
#include "serverlog.h"
#include "tlslistener.h"
#include "tlssocket.h"
#include "wire/rules.h"

using namespace protocol;

namespace {

constexpr int kAcceptRetryMs = 1000;

// Relayed chat text carries no control characters: a line feed or an escape
// sequence would let one player forge what others see.
QString inertText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x20 && u != 0x7f && !(u >= 0x80 && u <= 0x9f))
            out += c;
    }
    return out;
}

// The error of the first bad field of REGISTUSER or UPDATEUSER (E), if any.
template <typename E>
std::optional<E> badAccountField(const auto &command)
{
    if (!validPassword(command.password))
        return E::BadPassword;
    if (!validEmail(command.email))
        return E::BadEmail;
    if (!validComment(command.comment))
        return E::BadComment;
    return std::nullopt;
}

} // namespace

LobbyServer::LobbyServer(LobbyStore &store, GameCatalog catalog, int maxClients, QObject *parent)
    : QObject(parent), m_store(store), m_catalog(std::move(catalog)), m_budget(maxClients),
      // UTC: local time costs a look at the zone file each time, and only the charts want it.
      m_clock([] { return QDateTime::currentDateTimeUtc(); }), m_hashes(hashThreads())
{
    m_uptime.start();
    m_listTimer.setSingleShot(true);
    connect(&m_listTimer, &QTimer::timeout, this, &LobbyServer::flushLists);
    m_deltaTimer.setSingleShot(true);
    connect(&m_deltaTimer, &QTimer::timeout, this, &LobbyServer::flushDeltas);
    addListener(&m_server);
}

int LobbyServer::hashThreads() { return std::max(1, QThread::idealThreadCount()); }

void LobbyServer::addListener(QTcpServer *listener)
{
    auto *tls = qobject_cast<TlsListener *>(listener);
    if (tls)
        tls->setBudget(&m_budget);
    connect(listener, &QTcpServer::newConnection, this, [this, listener] { accept(listener); });
    // After an error QTcpServer stops accepting. Out of descriptors after all
    // (the budget leaves room, something else took it): the waiting connection is
    // refused with the reserved descriptor, and the next one gets its turn.
    connect(listener, &QTcpServer::acceptError, this, [this, listener, tls](QAbstractSocket::SocketError error) {
        qCWarning(lcServer, "limit: accept failed: %s", qPrintable(listener->errorString()));
        const bool shed = error == QAbstractSocket::SocketResourceError && m_budget.shedOne(listener, !tls);
        QTimer::singleShot(shed ? 0 : kAcceptRetryMs, listener, [listener] { listener->resumeAccepting(); });
    });
}

void LobbyServer::shutdown()
{
    m_server.close();
    const int running = m_hashes.running();
    const int dropped = m_hashes.stop();
    qCInfo(lcServer, "stopping: %d queued password hashes dropped, %d running ones finished", dropped, running);
}

LobbyServer::~LobbyServer()
{
    m_server.close();
    m_hashes.stop();
    const auto clients = m_clients;
    for (ClientConnection *c : clients) {
        disconnect(c, nullptr, this, nullptr);
        delete c;
    }
}

bool LobbyServer::listen(const QHostAddress &address, quint16 port, QString *error)
{
    m_server.setListenBacklogSize(1024);
    m_server.setMaxPendingConnections(1024);
    if (!m_server.listen(address, port)) {
        *error = m_server.errorString();
        return false;
    }
    return true;
}

void LobbyServer::accept(QTcpServer *listener)
{
    while (QTcpSocket *socket = listener->nextPendingConnection()) {
        if (!qobject_cast<TlsSocket *>(socket)) // set before its handshake
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const QString address = ConnectionBudget::key(socket);
        // A TLS connection was admitted before its handshake.
        switch (m_budget.admit(socket, address)) {
        case ConnectionBudget::Admission::Admitted:
            break;
        case ConnectionBudget::Admission::Full:
            qCWarning(lcServer, "limit: %s refused, server full (%d connections)", qPrintable(address),
                      m_budget.connections());
            refuse(socket, err::Greeting::ServerFull, QStringLiteral("server full"));
            continue;
        case ConnectionBudget::Admission::AddressFull:
            qCWarning(lcServer, "limit: %s refused, %d connections from that address", qPrintable(address),
                      m_budget.fromAddress(address));
            refuse(socket, err::Greeting::TooManyFromAddress, QStringLiteral("too many connections from your address"));
            continue;
        }
        auto *c = new ClientConnection(socket, this);
        m_clients.insert(c);
        connect(c, &ClientConnection::lineReceived, this, &LobbyServer::handleLine);
        connect(c, &ClientConnection::gone, this, &LobbyServer::dropClient);
        if (m_signInTimeoutMs > 0) {
            c->signInTimer = new QTimer(c);
            c->signInTimer->setSingleShot(true);
            connect(c->signInTimer, &QTimer::timeout, this, [this, c] {
                if (c->signedIn() || c->isClosing())
                    return;
                qCInfo(lcServer, "refused: %s did not sign in in time", qPrintable(c->peerKey()));
                c->send(errLine(err::Any::SignInTimeout, QStringLiteral("sign-in timed out")));
                c->close(true);
            });
            c->signInTimer->start(m_signInTimeoutMs);
        }
        // Words after the first are for clients that know them; others read only "+OK".
        c->send(okLine(QStringLiteral("QorChat lobby server ") + QLatin1String(kw::LISTDELTA)));
    }
}

void LobbyServer::refuse(QTcpSocket *socket, protocol::err::Greeting code, const QString &text)
{
    // A refused socket holds its descriptor no longer than this: the line fits
    // the empty send buffer, and the kernel delivers it after the close.
    const QByteArray line = ClientConnection::encodeLine(errLine(code, text));
    if (const qintptr fd = socket->socketDescriptor(); fd >= 0)
        [[maybe_unused]] const ssize_t n = ::send(int(fd), line.constData(), size_t(line.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    socket->abort();
    socket->deleteLater();
}

bool LobbyServer::runHash(ClientConnection *c, std::function<HashResult()> work, HashDone done,
                          std::function<void()> settled)
{
    auto result = std::make_shared<HashResult>();
    const quint64 id = m_hashes.submit(
        [work = std::move(work), result] { *result = work(); },
        [this, guard = QPointer<ClientConnection>(c), result, done = std::move(done),
         settled = std::move(settled)](bool ran) {
            ClientConnection *client = guard.data();
            if (client)
                m_hashOf.remove(client);
            if (settled)
                settled();
            if (!client || !m_clients.contains(client))
                return;
            if (ran)
                done(client, *result);
            client->releaseInput();
        });
    if (id == 0)
        return false;
    m_hashOf.insert(c, id);
    c->holdInput();
    return true;
}

void LobbyServer::refuseBusy(ClientConnection *c)
{
    qCWarning(lcServer, "limit: %s refused, %d password hashes waiting", qPrintable(c->peerKey()),
              m_hashes.queued());
    c->send(errLine(err::Any::ServerFailure, QStringLiteral("server busy, try again later")));
}

void LobbyServer::ok(ClientConnection *c) { c->send(okLine()); }

void LobbyServer::err(ClientConnection *c, int code) { c->send(errLine(code)); }

qsizetype LobbyServer::broadcast(const QList<ClientConnection *> &to, const QString &line)
{
    if (to.isEmpty())
        return 0;
    const QByteArray bytes = ClientConnection::encodeLine(line);
    m_counters.deliveries += quint64(to.size());
    for (ClientConnection *c : to)
        c->sendEncoded(bytes);
    return bytes.size();
}

void LobbyServer::handleLine(ClientConnection *c, const QString &line)
{
    const client::Line command = client::parseClientLine(line);
    if (lcServer().isDebugEnabled())
        qCDebug(lcServer, "command from %s: %s", qPrintable(c->signedIn() ? c->user : c->peerKey()),
                qPrintable(client::loggable(command, line)));
    std::visit(
        [this, c](const auto &cmd) {
            if constexpr (std::decay_t<decltype(cmd)>::kSignedIn) {
                if (!c->signedIn())
                    return err(c, err::Any::SignInFirst);
            }
            handle(c, cmd);
        },
        command);
}

void LobbyServer::handle(ClientConnection *c, const client::Unknown &) { err(c, err::Any::UnknownCommand); }

void LobbyServer::handle(ClientConnection *c, const client::Quit &) { c->close(true); }

void LobbyServer::dropClient(ClientConnection *c)
{
    if (!m_clients.remove(c))
        return;
    // Nobody is left to hear its answer.
    if (const quint64 job = m_hashOf.take(c))
        m_hashes.cancel(job);
    const QString address = c->peerKey();
    if (!c->signedIn())
        return;
    qCInfo(lcServer, "sign-out: %s from %s", qPrintable(c->user), qPrintable(address));
    m_store.touchLastSeen(c->user, m_clock().toSecsSinceEpoch());
    if (m_bus) {
        const QString user = c->user;
        replaceWithRemote(c);
        m_bus->part(user);
        return;
    }
    removePlayer(c);
}

void LobbyServer::removePlayer(ClientConnection *c)
{
    leaveRoom(c);
    if (Game *g = gameOf(c)) {
        g->players.removeOne(c);
        markPlayer(*g, c->user, Entry::Went);
        if (g->players.isEmpty())
            m_games.remove(g->info.name);
    }
    m_signedIn.remove(c->user);
    c->user.clear();
}

LobbyServer::Game &LobbyServer::addPlayer(ClientConnection *c)
{
    m_signedIn.insert(c->user, c);
    auto &game = m_games[c->game->name];
    if (!game) {
        game = std::make_shared<Game>();
        game->info = *c->game;
    }
    game->players.append(c);
    markPlayer(*game, c->user, Entry::Came);
    return *game;
}

// ---- Before the sign-in ------------------------------------------------------

void LobbyServer::handle(ClientConnection *c, const client::GameName &cmd)
{
    if (c->signedIn())
        return err(c, err::GameName::NotAllowedNow);
    c->game = m_catalog.find(cmd.name);
    if (!c->game)
        return err(c, err::GameName::UnknownGame);
    ok(c);
}

void LobbyServer::handle(ClientConnection *c, const client::Host &cmd)
{
    if (c->signedIn())
        return err(c, err::Host::NotAllowedNow);
    if (!cmd.host)
        return err(c, err::Host::BadArgument);
    c->host = *cmd.host;
    ok(c);
}

void LobbyServer::handle(ClientConnection *c, const client::RegistUser &cmd)
{
    if (!validUserId(cmd.user))
        return err(c, err::RegistUser::BadUserId);
    if (const auto e = badAccountField<err::RegistUser>(cmd))
        return err(c, *e);
    if (m_moderation) {
        if (const auto ban = m_moderation->banOf(QString(), c->peerKeyAddress()); ban) {
            qCInfo(lcServer, "refused: registration of %s from banned %s", qPrintable(cmd.user), qPrintable(ban->target));
            return err(c, err::Any::ServerFailure);
        }
    }
    // Look first: hashing is the expensive part.
    switch (m_store.nameTaken(cmd.user)) {
    case LobbyStore::Result::Missing:
        break;
    case LobbyStore::Result::Exists:
        return err(c, err::RegistUser::Exists);
    default:
        qCWarning(lcServer, "database error: registration of %s: %s", qPrintable(cmd.user), qPrintable(m_store.lastError()));
        return err(c, err::Any::ServerFailure);
    }
    const passwordhash::Params params = m_store.hashParams();
    const bool queued = runHash(
        c, [password = cmd.password, params] { return HashResult{passwordhash::Check::Match, passwordhash::hash(password, params)}; },
            [this, cmd](ClientConnection *client, const HashResult &r) {
                if (!r.fresh.isArgon2()) {
                    qCWarning(lcServer, "error: password hashing failed for %s", qPrintable(cmd.user));
                    return err(client, err::Any::ServerFailure);
                }
                switch (m_store.addUser(cmd.user, r.fresh, cmd.email, cmd.comment)) {
                case LobbyStore::Result::Ok:
                    qCInfo(lcServer, "registered: %s from %s", qPrintable(cmd.user), qPrintable(client->peerKey()));
                    return ok(client);
                case LobbyStore::Result::Exists:
                    return err(client, err::RegistUser::Exists);
                default:
                    qCWarning(lcServer, "database error: registration of %s: %s", qPrintable(cmd.user),
                              qPrintable(m_store.lastError()));
                    return err(client, err::Any::ServerFailure);
                }
            });
    if (!queued)
        refuseBusy(c);
}

void LobbyServer::handle(ClientConnection *c, const client::Login &cmd)
{
    if (c->signedIn())
        return err(c, err::Login::AlreadySignedIn);
    if (!c->game)
        return err(c, err::Login::NoGameYet);
    const QString &user = cmd.user;
    if (!validUserId(user))
        return err(c, err::Login::NoSuchUser);
    const QString address = c->peerKey();
    // Before anything is counted or hashed: the refusal says nothing about the ID.
    if (m_moderation) {
        if (const auto ban = m_moderation->banOf(QString(), c->peerKeyAddress()); ban) {
            ++m_counters.signInsRefused;
            qCInfo(lcServer, "refused: sign-in as %s from banned %s: %s", qPrintable(user), qPrintable(ban->target),
                   qPrintable(ban->reason));
            return c->send(errLine(err::Login::Banned, QStringLiteral("address banned")));
        }
    }
    passwordhash::Stored stored;
    const LobbyStore::Result found = m_store.findPassword(user, &stored);
    if (found != LobbyStore::Result::Ok && found != LobbyStore::Result::Missing) {
        qCWarning(lcServer, "database error: sign-in of %s: %s", qPrintable(user), qPrintable(m_store.lastError()));
        return err(c, err::Any::ServerFailure);
    }
    // An unknown user ID counts against the address only.
    const QString account = found == LobbyStore::Result::Ok ? LobbyStore::foldName(user) : QString();
    const qint64 now = m_uptime.elapsed();
    // After failures this account or address waits; nobody else does. Beyond the
    // longest delay only when attempts came faster than the delays: those are
    // answered now, while their client still listens.
    const qint64 wait = m_throttle.waitMs(account, address, now);
    if (wait > m_throttle.maxMs()) {
        ++m_counters.signInsThrottled;
        qCInfo(lcServer, "refused: sign-in as %s from %s, too many failed attempts", qPrintable(user), qPrintable(address));
        return c->send(errLine(err::Any::ServerFailure, QStringLiteral("too many failed sign-ins, try again later")));
    }
    if (wait == 0 && !account.isEmpty() && !m_hashes.hasRoom())
        return refuseBusySignIn(c);
    // Counted as failed now, at the time it will be checked: the next attempt waits
    // behind this one. A success takes it back.
    m_throttle.failed(account, address, now + wait);
    if (wait == 0)
        return checkLogin(c, user, cmd.password, now, found == LobbyStore::Result::Ok ? &stored : nullptr);
    ++m_counters.signInsThrottled;
    c->holdInput();
    QTimer::singleShot(int(wait), this, [this, guard = QPointer<ClientConnection>(c), user, password = cmd.password, now] {
        if (!guard || !m_clients.contains(guard.data()))
            return;
        checkLogin(guard.data(), user, password, now);
        guard->releaseInput();
    });
}

void LobbyServer::checkLogin(ClientConnection *c, const QString &user, const QString &password, qint64 receivedAt,
                             const passwordhash::Stored *known)
{
    const QString address = c->peerKey();
    passwordhash::Stored stored = known ? *known : passwordhash::Stored();
    switch (known ? LobbyStore::Result::Ok : m_store.findPassword(user, &stored)) {
    case LobbyStore::Result::Ok:
        break;
    case LobbyStore::Result::Missing:
        ++m_counters.signInsFailed;
        qCInfo(lcServer, "refused: sign-in as unknown %s from %s", qPrintable(user), qPrintable(address));
        return err(c, err::Login::NoSuchUser);
    default:
        qCWarning(lcServer, "database error: sign-in of %s: %s", qPrintable(user), qPrintable(m_store.lastError()));
        return err(c, err::Any::ServerFailure);
    }
    const QString account = LobbyStore::foldName(user);
    if (m_verifying.contains(account)) {
        // One check per account at a time: this one follows the running one.
        c->holdInput();
        m_waitingForAccount[account].push_back(
            [this, guard = QPointer<ClientConnection>(c), user, password, receivedAt] {
                if (!guard || !m_clients.contains(guard.data()))
                    return;
                checkLogin(guard.data(), user, password, receivedAt);
                guard->releaseInput();
            });
        return;
    }
    const qint64 answerIn = m_uptime.elapsed() - receivedAt + m_hashes.expectedWaitMs() + m_hashes.averageUs() / 1000;
    if (answerIn > kReplyBudgetMs)
        return refuseBusySignIn(c);
    const passwordhash::Params params = m_store.hashParams();
    m_verifying.insert(account);
    const bool queued = runHash(
        c,
        [password, stored, params] {
            HashResult r;
            r.check = passwordhash::verify(password, stored);
            if (r.check == passwordhash::Check::Match && passwordhash::outdated(stored, params))
                r.fresh = passwordhash::hash(password, params);
            return r;
        },
        [this, user, account, address](ClientConnection *client, const HashResult &r) {
            switch (r.check) {
            case passwordhash::Check::Match:
                break;
            case passwordhash::Check::Mismatch:
                // Already counted by the throttle when it was taken on.
                ++m_counters.signInsFailed;
                qCInfo(lcServer, "refused: wrong password for %s from %s", qPrintable(user), qPrintable(address));
                return err(client, err::Login::WrongPassword);
            case passwordhash::Check::Invalid:
                qCWarning(lcServer, "database error: unreadable password hash of %s", qPrintable(user));
                return err(client, err::Any::ServerFailure);
            }
            m_throttle.succeeded(account, address);
            // Only to whoever knows the password: a ban or a disabled account says
            // nothing about whether an ID exists.
            if (m_moderation) {
                const bool disabled = m_store.disabled(user).value_or(false);
                const auto ban = m_moderation->banOf(account, client->peerKeyAddress());
                if (ban || disabled) {
                    ++m_counters.signInsRefused;
                    qCInfo(lcServer, "refused: sign-in as %s from %s: %s%s", qPrintable(user), qPrintable(address),
                           ban ? "banned: " : "account disabled", ban ? qPrintable(ban->reason) : "");
                    return client->send(errLine(err::Login::Banned, ban ? QStringLiteral("account banned")
                                                                 : QStringLiteral("account disabled")));
                }
            }
            if (r.fresh.isArgon2() && m_store.setPassword(user, r.fresh) != LobbyStore::Result::Ok)
                qCWarning(lcServer, "database error: password of %s not upgraded: %s", qPrintable(user),
                          qPrintable(m_store.lastError()));
            completeSignIn(client, user);
        },
        [this, account] { accountSettled(account); });
    if (!queued) {
        accountSettled(account);
        refuseBusySignIn(c);
    }
}

void LobbyServer::refuseBusySignIn(ClientConnection *c)
{
    ++m_counters.signInsRefused;
    refuseBusy(c);
}

void LobbyServer::accountSettled(const QString &account)
{
    m_verifying.remove(account);
    // The next waiting LOGIN for the account, skipping those whose client left.
    for (auto it = m_waitingForAccount.find(account); it != m_waitingForAccount.end();
         it = m_waitingForAccount.find(account)) {
        if (it->empty() || m_verifying.contains(account)) {
            if (it->empty())
                m_waitingForAccount.erase(it);
            return;
        }
        const std::function<void()> next = std::move(it->front());
        it->pop_front();
        next();
    }
}

void LobbyServer::completeSignIn(ClientConnection *c, const QString &user)
{
    // Another connection may have signed in as this user while the hash ran.
    if (c->signedIn() || m_signedIn.contains(user) || m_pendingLogins.contains(user))
        return err(c, err::Login::AlreadySignedIn);
    const auto welcome = [this](ClientConnection *client) {
        if (client->signInTimer)
            client->signInTimer->stop();
        qCInfo(lcServer, "sign-in: %s from %s", qPrintable(client->user), qPrintable(client->peerKey()));
        ++m_counters.signInsOk;
        if (!m_store.recordSignIn(client->user, m_clock()))
            qCWarning(lcServer, "database error: sign-in not counted nor kept as the last: %s",
                      qPrintable(m_store.lastError()));
        const ::GameInfo &info = *client->game;
        client->send(gameInfoLine(info.id, info.minPlayers, 0, info.topmost));
        if (client->listDelta)
            sendWholeLists(client);
    };
    if (m_bus) {
        if (!m_bus->isReady())
            return refuseSignIn(c);
        // The name is claimed on every node at once; the event that adds the player
        // to the lists comes back through clusterJoin.
        m_pendingLogins.insert(user, c);
        auto reply = answer(c, welcome);
        return m_bus->join(c->game->name, user, c->host,
                           [this, user, guard = QPointer<ClientConnection>(c), reply](int error) {
                               m_pendingLogins.remove(user);
                               if (!error && (!guard || !m_clients.contains(guard.data())))
                                   return m_bus->part(user); // gone while its name was claimed
                               if (!error && guard->user != user) {
                                   m_bus->part(user); // claimed, but this node never saw it happen
                                   error = int(err::Any::ServerFailure);
                               }
                               reply(error);
                           });
    }
    c->user = user;
    addPlayer(c);
    ok(c);
    welcome(c);
}

void LobbyServer::refuseSignIn(ClientConnection *c)
{
    qCWarning(lcServer, "refused: sign-in from %s while the cluster's shared state is unreachable",
              qPrintable(c->peerKey()));
    c->send(errLine(err::Any::ServerFailure, QStringLiteral("lobby unavailable, try again later")));
}

LobbyBus::Reply LobbyServer::answer(ClientConnection *c, std::function<void(ClientConnection *)> onOk)
{
    c->holdInput();
    c->holdOutput();
    return [this, guard = QPointer<ClientConnection>(c), onOk = std::move(onOk)](int error) {
        ClientConnection *client = guard.data();
        if (!client || !m_clients.contains(client))
            return;
        const QByteArray held = client->takeHeldOutput();
        if (error) {
            err(client, error);
        } else {
            ok(client);
            if (onOk)
                onOk(client);
        }
        if (!held.isEmpty())
            client->sendEncoded(held);
        client->releaseInput();
    };
}

// ---- Lobby -------------------------------------------------------------------

LobbyServer::Game *LobbyServer::gameOf(ClientConnection *c)
{
    if (!c->game)
        return nullptr;
    const auto it = m_games.constFind(c->game->name);
    return it == m_games.constEnd() ? nullptr : it->get();
}

QString LobbyServer::playerEntry(const ClientConnection *c)
{
    return playerListEntry(c->user, c->host);
}

void LobbyServer::handle(ClientConnection *c, const client::ChatData &)
{
    c->send(chatDataLine(c->game->phrases));
    ok(c);
}

QStringList LobbyServer::roomEntries(const Game &g) const
{
    QStringList entries;
    entries.reserve(qsizetype(g.rooms.size()));
    for (const auto &r : g.rooms)
        entries << roomListEntry(r->name, r->members.size(), g.info.maxPlayers);
    return entries;
}

void LobbyServer::handle(ClientConnection *c, const client::RoomList &)
{
    Game *g = gameOf(c);
    if (!g)
        return;
    c->send(listLine(QLatin1String(kw::ROOMLIST), roomEntries(*g)));
}

void LobbyServer::handle(ClientConnection *c, const client::DayChart &)
{
    const QDateTime now = m_clock().toLocalTime();
    const QDate d = now.date();
    const QString date = QStringLiteral("%1/%2/%3").arg(d.year()).arg(d.month()).arg(d.day());
    c->send(dayChartLine(date, now.time().hour(), m_store.hourCounts(now)));
}

void LobbyServer::handle(ClientConnection *c, const client::WeekChart &)
{
    const QDateTime now = m_clock().toLocalTime();
    c->send(weekChartLine(now.date(), m_store.dayCounts(now)));
}

void LobbyServer::handle(ClientConnection *c, const client::LobbyMessage &cmd) { sendMessage(c, cmd.text, false); }

void LobbyServer::handle(ClientConnection *c, const client::RoomMessage &cmd) { sendMessage(c, cmd.text, true); }

void LobbyServer::sendMessage(ClientConnection *c, const QString &said, bool room)
{
    ++m_counters.chatIn;
    // Muted players and the word list before anyone hears it, here or elsewhere.
    if (!mayChat(c, room))
        return;
    const QString text = masked(inertText(said), c);
    // This node's players hear it at once, whatever the bus does; the other nodes
    // deliver it to theirs.
    if (m_bus) {
        if (!room)
            m_bus->lobbyMessage(c->game->name, c->user, text);
        else if (c->room)
            m_bus->roomMessage(c->game->name, c->room->name, c->user, text);
    }
    const QString out = chatLine(room, c->user, text);
    if (room) {
        if (c->room) {
            m_counters.chatOut += quint64(c->room->members.size());
            broadcast(c->room->members, out);
        }
    } else if (Game *g = gameOf(c)) {
        m_counters.chatOut += quint64(g->players.size());
        broadcast(g->players, out);
    }
}

void LobbyServer::handle(ClientConnection *c, const client::PlayerInfo &cmd)
{
    const QString &name = cmd.name;
    if (!validUserId(name))
        return;
    if (const auto comment = m_store.comment(name))
        c->send(playerInfoLine(name, masked(*comment, c)));
}

void LobbyServer::handle(ClientConnection *c, const client::UpdateUser &cmd)
{
    if (cmd.user != c->user)
        return err(c, err::UpdateUser::NotOwnAccount);
    if (const auto e = badAccountField<err::UpdateUser>(cmd))
        return err(c, *e);
    const passwordhash::Params params = m_store.hashParams();
    const bool queued = runHash(
        c, [password = cmd.password, params] { return HashResult{passwordhash::Check::Match, passwordhash::hash(password, params)}; },
            [this, cmd](ClientConnection *client, const HashResult &r) {
                if (!r.fresh.isArgon2() || m_store.updateAccount(cmd.user, r.fresh, cmd.email, cmd.comment) != LobbyStore::Result::Ok) {
                    qCWarning(lcServer, "database error: account update of %s failed: %s", qPrintable(cmd.user),
                              qPrintable(m_store.lastError()));
                    return err(client, err::Any::ServerFailure);
                }
                ok(client);
            });
    if (!queued)
        refuseBusy(c);
}

// ---- Rooms -------------------------------------------------------------------

Room *LobbyServer::findRoom(Game &g, const QString &name)
{
    for (const auto &r : g.rooms) {
        if (r->name == name)
            return r.get();
    }
    return nullptr;
}

void LobbyServer::sendRoomPlayers(const Room &room)
{
    QStringList entries;
    entries.reserve(room.members.size());
    for (const ClientConnection *m : room.members)
        entries << playerEntry(m);
    broadcast(room.members, listLine(QLatin1String(kw::ROOMPLAYERLIST), entries));
}

void LobbyServer::handle(ClientConnection *c, const client::CreateRoom &cmd)
{
    Game *g = gameOf(c);
    if (!c->host)
        return err(c, err::CreateRoom::NotHost);
    if (c->room)
        return err(c, err::CreateRoom::AlreadyInRoom);
    const QString name = roomArgument(c, cmd.name);
    if (!validRoomName(name))
        return err(c, err::CreateRoom::BadName);
    if (findRoom(*g, name))
        return err(c, err::CreateRoom::Exists);
    if (m_bus)
        return m_bus->createRoom(g->info.name, name, c->user, answer(c));
    ok(c);
    createRoom(*g, name, c);
}

void LobbyServer::createRoom(Game &g, const QString &name, ClientConnection *owner)
{
    auto room = std::make_unique<Room>();
    room->name = name;
    room->owner = owner;
    room->members.append(owner);
    owner->room = room.get();
    g.rooms.push_back(std::move(room));
    if (!owner->isRemote())
        qCInfo(lcServer, "room created: %s by %s", qPrintable(name), qPrintable(owner->user));
    sendRoomPlayers(*owner->room);
    markRoom(g, name, Entry::Came);
}

void LobbyServer::handle(ClientConnection *c, const client::EnterRoom &cmd)
{
    Game *g = gameOf(c);
    if (c->room)
        return err(c, err::EnterRoom::AlreadyInRoom);
    Room *room = findRoom(*g, roomArgument(c, cmd.name));
    if (!room)
        return err(c, err::EnterRoom::NoSuchRoom);
    if (room->members.size() >= g->info.maxPlayers)
        return err(c, err::EnterRoom::Full);
    if (m_bus)
        return m_bus->enterRoom(g->info.name, room->name, c->user, g->info.maxPlayers, answer(c));
    ok(c);
    enterRoom(*g, room, c);
}

void LobbyServer::enterRoom(Game &g, Room *room, ClientConnection *c)
{
    room->members.append(c);
    c->room = room;
    sendRoomPlayers(*room);
    markRoom(g, room->name, Entry::Changed);
}

void LobbyServer::handle(ClientConnection *c, const client::RoomPlayerList &cmd)
{
    Room *room = findRoom(*gameOf(c), roomArgument(c, cmd.name));
    if (!room)
        return err(c, err::RoomPlayerList::NoSuchRoom);
    ok(c);
    QStringList entries;
    for (const ClientConnection *m : std::as_const(room->members))
        entries << playerEntry(m);
    c->send(listLine(QLatin1String(kw::ROOMPLAYERLIST), entries));
}

void LobbyServer::handle(ClientConnection *c, const client::LeaveRoom &)
{
    if (!c->room)
        return err(c, err::LeaveRoom::NotInRoom);
    if (m_bus)
        return m_bus->leaveRoom(c->user, gameOf(c)->info.maxPlayers, answer(c));
    // A host that leaves takes its room with it, as when its connection drops.
    leaveRoom(c);
    ok(c);
}

void LobbyServer::handle(ClientConnection *c, const client::DeleteRoom &cmd)
{
    Game *g = gameOf(c);
    const QString name = roomArgument(c, cmd.name);
    Room *room = c->room;
    if (!room || room->name != name)
        return err(c, findRoom(*g, name) ? err::DeleteRoom::NotOwner : err::DeleteRoom::NoSuchRoom);
    if (room->owner != c)
        return err(c, err::DeleteRoom::NotOwner);
    if (m_bus)
        return m_bus->deleteRoom(g->info.name, name, c->user, answer(c));
    deleteRoom(*g, room, true);
    ok(c);
}

void LobbyServer::leaveRoom(ClientConnection *c)
{
    Room *room = c->room;
    Game *g = gameOf(c);
    if (!room || !g)
        return;
    if (room->owner == c)
        return deleteRoom(*g, room, true);
    room->members.removeOne(c);
    c->room = nullptr;
    sendRoomPlayers(*room);
    markRoom(*g, room->name, Entry::Changed);
}

void LobbyServer::closeRoom(Game &g, Room *room)
{
    qCInfo(lcServer, "room closed: %s", qPrintable(room->name));
    for (ClientConnection *m : std::as_const(room->members))
        m->room = nullptr;
    markRoom(g, room->name, Entry::Went);
    std::erase_if(g.rooms, [room](const std::unique_ptr<Room> &r) { return r.get() == room; });
}

void LobbyServer::deleteRoom(Game &g, Room *room, bool tellMembers)
{
    if (tellMembers) {
        QList<ClientConnection *> others = room->members;
        others.removeOne(room->owner);
        broadcast(others, deleteRoomLine(room->name));
    }
    closeRoom(g, room);
}

// ---- The match ---------------------------------------------------------------

void LobbyServer::handle(ClientConnection *c, const client::Ip &cmd)
{
    const QString &address = cmd.address;
    if (!isPlainAddress(address))
        return err(c, err::Ip::BadArgument);
    c->announcedAddress = address;
    ok(c);
}

void LobbyServer::handle(ClientConnection *c, const client::Start &)
{
    Room *room = c->room;
    if (!room || room->owner != c)
        return err(c, err::Start::NotOwner);
    Game *g = gameOf(c);
    if (room->members.size() < g->info.minPlayers)
        return err(c, err::Start::TooFewPlayers);
    const QString address = hostaddress::forClients(c->announcedAddress, c->peerAddress());
    if (m_bus)
        return m_bus->start(c->user, g->info.minPlayers, address, answer(c));
    ok(c);
    startMatch(*g, room, address);
}

void LobbyServer::startMatch(Game &g, Room *room, const QString &hostAddress)
{
    if (!room->owner->isRemote())
        qCInfo(lcServer, "match started: %s by %s with %lld players", qPrintable(room->name),
               qPrintable(room->owner->user), qlonglong(room->members.size()));
    QList<ClientConnection *> others = room->members;
    others.removeOne(room->owner);
    // HOSTIP first: after START the client reads nothing more.
    broadcast(others, hostIpLine(hostAddress));
    broadcast(others, startLine());
    closeRoom(g, room);
}

// ---- Pushed lists ------------------------------------------------------------

void LobbyServer::markPlayer(Game &g, const QString &user, Entry what)
{
    g.playersDirty = true;
    g.changedPlayers.mark(user, what);
    scheduleListFlush();
}

void LobbyServer::markRoom(Game &g, const QString &room, Entry what)
{
    g.roomsDirty = true;
    g.changedRooms.mark(room, what);
    scheduleListFlush();
}

void LobbyServer::scheduleListFlush()
{
    if (m_deltaTimer.isActive() && m_listTimer.isActive())
        return;
    qsizetype largest = 0;
    for (const auto &g : std::as_const(m_games))
        largest = std::max(largest, g->players.size());
    if (!m_deltaTimer.isActive()) {
        // Each pass of changes is a write to every player: merge more as the game grows.
        const qint64 interval = std::clamp<qint64>(qint64(largest) / kDeltaPlayersPerMs, m_deltaIntervalMs,
                                                   std::max(m_deltaIntervalMs, kDeltaMaxIntervalMs));
        // After a quiet spell the change goes at once. Otherwise it waits the whole
        // interval from now, not from the last pass: the wait of any change stays
        // bounded by the interval while a pass gathers all that came meanwhile, so
        // steady churn costs fewer writes to every player.
        const bool quiet = !m_lastDeltaFlush.isValid() || m_lastDeltaFlush.elapsed() >= interval;
        m_deltaTimer.start(int(quiet ? 0 : interval));
    }
    if (m_listTimer.isActive())
        return;
    // Each push of a player list costs players squared bytes; merge more of them
    // as the game grows.
    const qint64 interval = std::max<qint64>(kListIntervalMs, qint64(largest) * kListMsPerPlayer);
    const qint64 since = m_lastListFlush.isValid() ? m_lastListFlush.elapsed() : interval;
    m_listTimer.start(int(std::max<qint64>(0, interval - since)));
}

void LobbyServer::flushLists()
{
    m_lastListFlush.restart();
    const auto games = m_games.values();
    for (const auto &g : games) {
        if (!g->playersDirty && !g->roomsDirty)
            continue;
        // Those who asked for changes only have had them already.
        QList<ClientConnection *> to;
        to.reserve(g->players.size());
        std::copy_if(g->players.cbegin(), g->players.cend(), std::back_inserter(to), wantsWholeLists);
        if (g->playersDirty) {
            g->playersDirty = false;
            if (!to.isEmpty()) {
                const QString line = listLine(QLatin1String(kw::PLAYERLIST), playerEntries(*g));
                m_counters.listBytes += quint64(broadcast(to, line)) * quint64(to.size());
            }
        }
        if (g->roomsDirty) {
            g->roomsDirty = false;
            if (!to.isEmpty()) {
                const QString line = listLine(QLatin1String(kw::ROOMLIST), roomEntries(*g));
                m_counters.listBytes += quint64(broadcast(to, line)) * quint64(to.size());
            }
        }
    }
}
