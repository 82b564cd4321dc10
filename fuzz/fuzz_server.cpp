// The server's command handling fed arbitrary client bytes over a loopback
// connection to a LobbyServer in this process: signed in or not, host or not, in a
// room or not. Another signed-in client with a room watches; after each input the
// fuzzed client hangs up, and the server must have dropped it and still answer.
// Input: one byte of flags, then the bytes the client sends.
#include "fuzzcheck.h"
#include "gamecatalog.h"
#include "lobbyserver.h"
#include "lobbystore.h"
#include "wire/codec.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QTcpSocket>
#include <QTimer>

#include <cstdint>

namespace {

LobbyStore *g_store = nullptr;
LobbyServer *g_server = nullptr;
QTcpSocket *g_watcher = nullptr;

// Blocks until something happens; a ticking timer bounds the wait, so the deadlines
// below are seen even when nothing comes.
void pump() { QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents); }

// The next line the socket receives that starts with one of prefixes; everything
// before it is read and dropped. "" when none came in time.
QByteArray awaitLine(QTcpSocket &s, std::initializer_list<QByteArrayView> prefixes)
{
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        while (s.canReadLine()) {
            const QByteArray line = s.readLine();
            for (const QByteArrayView p : prefixes)
                if (line.startsWith(p))
                    return line;
        }
        if (s.state() == QAbstractSocket::UnconnectedState && s.bytesAvailable() == 0)
            return QByteArray();
        pump();
    }
    return QByteArray();
}

// Sends a command and reads up to its status line: true for "+OK".
bool call(QTcpSocket &s, const char *line)
{
    s.write(QByteArray(line) + "\r\n");
    return awaitLine(s, {"+OK", "-ERR"}).startsWith("+OK");
}

bool connectClient(QTcpSocket &s)
{
    s.connectToHost(QHostAddress::LocalHost, g_server->serverPort());
    return awaitLine(s, {"+OK", "-ERR"}).startsWith("+OK");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv);
    // The server's log of every sign-in would be most of the fuzzer's work.
    QLoggingCategory::setFilterRules(QStringLiteral("qorchat.*=false"));
    auto *tick = new QTimer;
    tick->start(20);
    g_store = new LobbyStore;
    g_store->setHashParams({8, 1, 1}); // the smallest Argon2 allows: hashing is not what is fuzzed
    QString error;
    FUZZ_CHECK(g_store->open(QStringLiteral(":memory:"), &error));
    g_server = new LobbyServer(*g_store, GameCatalog(), 1000);
    g_server->setFailureDelays(0, 0);
    FUZZ_CHECK(g_server->listen(QHostAddress::LocalHost, 0, &error));
    g_watcher = new QTcpSocket;
    FUZZ_CHECK(connectClient(*g_watcher));
    FUZZ_CHECK(call(*g_watcher, "GAMENAME FuzzGame"));
    FUZZ_CHECK(call(*g_watcher, "HOST yes"));
    FUZZ_CHECK(call(*g_watcher, "REGISTUSER watcher secret1 w@example.org watching"));
    FUZZ_CHECK(call(*g_watcher, "LOGIN watcher secret1"));
    FUZZ_CHECK(call(*g_watcher, "CREATEROOM watched"));
    QTcpSocket setup;
    FUZZ_CHECK(connectClient(setup));
    FUZZ_CHECK(call(setup, "REGISTUSER fuzzer secret2 f@example.org fuzzing"));
    setup.abort();
    QDeadlineTimer deadline(20000);
    while (g_server->clientCount() > 1 && !deadline.hasExpired())
        pump();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t flags = data[0];
    const int baseline = 1; // the watcher
    {
        QTcpSocket client;
        FUZZ_CHECK(connectClient(client));
        if (flags & 1) {
            call(client, "GAMENAME FuzzGame");
            call(client, (flags & 2) ? "HOST yes" : "HOST no");
            // A fuzzed UPDATEUSER may have changed the password: then this stays signed out.
            if (call(client, "LOGIN fuzzer secret2")) {
                if (flags & 4)
                    call(client, "ENTERROOM watched ");
                else if (flags & 8)
                    call(client, "CREATEROOM mine");
            }
        }
        client.write(reinterpret_cast<const char *>(data + 1), qint64(size - 1));
        client.disconnectFromHost();
        QDeadlineTimer deadline(20000);
        while (client.state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired()) {
            client.readAll();
            pump();
        }
        FUZZ_CHECK(client.state() == QAbstractSocket::UnconnectedState);
    }
    // The server lets the client go and still serves the one that stayed.
    QDeadlineTimer deadline(20000);
    while (g_server->clientCount() > baseline && !deadline.hasExpired())
        pump();
    FUZZ_CHECK(g_server->clientCount() == baseline);
    g_watcher->write("DAYCHART\r\n");
    FUZZ_CHECK(!awaitLine(*g_watcher, {"DAYCHART"}).isEmpty());
    return 0;
}
