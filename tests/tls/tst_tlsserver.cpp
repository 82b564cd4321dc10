// The server's TLS road: the same lobby as the plain one, handshakes that fail or
// stall are closed without touching anyone else, and the command line.
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QProcess>
#include <QSignalSpy>
#include <QSslKey>
#include <QSslSocket>
#include <QTest>

#include <csignal>
#include <memory>

#include "lobbyclient.h"
#include "lobbyserver.h"
#include "lobbystore.h"
#include "net/protocol/protocol.h"
#include "testcertificate.h"
#include "tlslistener.h"

namespace kw = protocol::kw;

namespace {

struct TlsLobby {
    explicit TlsLobby(const TestCertificate &cert, int handshakeTimeoutMs = 5000, int maxClients = 1000)
    {
        QString error;
        if (!store.open(QStringLiteral(":memory:"), &error))
            qFatal("%s", qPrintable(error));
        store.setHashParams({8, 1, 1}); // keeps the sanitizer build quick
        server = std::make_unique<LobbyServer>(store, GameCatalog(), maxClients);
        if (!server->listen(QHostAddress::LocalHost, 0, &error))
            qFatal("%s", qPrintable(error));
        auto config = TlsListener::loadConfiguration(cert.certFile, cert.keyFile, &error);
        if (!config)
            qFatal("%s", qPrintable(error));
        tls = std::make_unique<TlsListener>(*config);
        tls->setHandshakeTimeout(handshakeTimeoutMs);
        if (!tls->listen(QHostAddress::LocalHost, 0))
            qFatal("%s", qPrintable(tls->errorString()));
        server->addListener(tls.get());
    }
    std::unique_ptr<LobbyClient> plainPlayer(const QString &user, bool host = false)
    {
        auto c = std::make_unique<LobbyClient>(server->serverPort());
        if (!c->signIn(QStringLiteral("Shogi"), host, user))
            qWarning("sign-in of %s failed: %s", qPrintable(user), qPrintable(c->all.join(u'|')));
        return c;
    }
    std::unique_ptr<LobbyClient> tlsPlayer(const TestCertificate &cert, const QString &user, bool host = false)
    {
        auto c = std::make_unique<LobbyClient>(tls->serverPort(), cert.certificate);
        if (!c->signIn(QStringLiteral("Shogi"), host, user))
            qWarning("sign-in of %s failed: %s", qPrintable(user), qPrintable(c->all.join(u'|')));
        return c;
    }
    LobbyStore store;
    std::unique_ptr<LobbyServer> server;
    std::unique_ptr<TlsListener> tls; // destroyed first: its sockets in handshake go with it
};

bool delivered(LobbyClient &to, const QString &line) { return !to.take([&](const QString &l) { return l == line; }).isNull(); }

} // namespace

class TestTlsServer : public QObject {
    Q_OBJECT
    TestCertificate m_cert;

private slots:
    void initTestCase() { QVERIFY2(m_cert.make(), qPrintable(m_cert.error)); }
    void bothRoadsShareOneLobby();
    void failedHandshakeDisturbsNoOne_data();
    void failedHandshakeDisturbsNoOne();
    void stalledHandshakeClosedAtDeadline();
    void handshakesBeyondTheLimitAreRefused_data();
    void handshakesBeyondTheLimitAreRefused();
    void slowTlsReaderIsCutOff();
    void streamEdges_data();
    void streamEdges();
    void renewedCertificate_data();
    void renewedCertificate();
    void configurationErrors_data();
    void configurationErrors();
    void commandLine_data();
    void commandLine();
    void commandLineErrors_data();
    void commandLineErrors();
};

void TestTlsServer::bothRoadsShareOneLobby()
{
    TlsLobby lobby(m_cert);
    auto host = lobby.tlsPlayer(m_cert, QStringLiteral("暗号_host"), true);
    auto member = lobby.plainPlayer(QStringLiteral("plain_member"));
    QCOMPARE(host->all.value(0), QStringLiteral("+OK QorChat lobby server LISTDELTA"));
    QVERIFY(static_cast<QSslSocket &>(host->socket()).isEncrypted());
    QCOMPARE(lobby.server->signedInCount(), 2);

    // Chat crosses the roads both ways, code page 932 and spaces intact.
    host->send(QStringLiteral("LMESSAGE こんにちは  ～①ⅰ"));
    QVERIFY(delivered(*member, QStringLiteral("LMESSAGE 暗号_host こんにちは  ～①ⅰ")));
    member->send(QStringLiteral("LMESSAGE plain text"));
    QVERIFY(delivered(*host, QStringLiteral("LMESSAGE plain_member plain text")));

    // A match across the roads: the TLS host's room, the plain member, the start.
    QCOMPARE(host->call(protocol::createRoom(QStringLiteral("Room"))), QStringLiteral("+OK"));
    QCOMPARE(member->call(QStringLiteral("ENTERROOM Room  ")), QStringLiteral("+OK"));
    QCOMPARE(host->call(protocol::ip(QStringLiteral("192.0.2.7"))), QStringLiteral("+OK"));
    QCOMPARE(host->call(QStringLiteral("START")), QStringLiteral("+OK"));
    QVERIFY(delivered(*member, QStringLiteral("HOSTIP 192.0.2.7")));
    QVERIFY(delivered(*member, QStringLiteral("START")));
}

void TestTlsServer::failedHandshakeDisturbsNoOne_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<bool>("tlsClient");
    QTest::newRow("plain protocol line") << QByteArray("GAMENAME Shogi\r\n") << false;
    QTest::newRow("garbage record") << QByteArray("\x16\x03\x01\x00\x05garbage and more garbage", 29) << false;
    QTest::newRow("hang-up before hello") << QByteArray() << false;
    QTest::newRow("client distrusts the certificate") << QByteArray() << true;
}

void TestTlsServer::failedHandshakeDisturbsNoOne()
{
    QFETCH(QByteArray, sent);
    QFETCH(bool, tlsClient);
    TlsLobby lobby(m_cert);
    auto a = lobby.tlsPlayer(m_cert, QStringLiteral("alice"));
    auto b = lobby.plainPlayer(QStringLiteral("bob"));
    QSignalSpy failed(lobby.tls.get(), &TlsListener::handshakeFailed);

    QSslSocket bad; // plain unless told otherwise
    if (tlsClient) {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setCaCertificates({}); // the self-signed certificate is not trusted
        bad.setSslConfiguration(config);
        bad.connectToHostEncrypted(QStringLiteral("127.0.0.1"), lobby.tls->serverPort(), QStringLiteral("localhost"));
    } else {
        bad.connectToHost(QHostAddress::LocalHost, lobby.tls->serverPort());
        QVERIFY(bad.waitForConnected(5000));
        if (sent.isEmpty())
            bad.abort();
        else
            bad.write(sent);
    }
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 10000);
    QVERIFY(!failed.first().first().toString().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(bad.state(), QAbstractSocket::UnconnectedState, 10000);
    QVERIFY(!bad.bytesAvailable() || !bad.readAll().contains("+OK"));

    QCOMPARE(lobby.tls->handshakesInProgress(), 0);
    QCOMPARE(lobby.server->clientCount(), 2);
    a->send(QStringLiteral("LMESSAGE still here"));
    QVERIFY(delivered(*b, QStringLiteral("LMESSAGE alice still here")));
    b->send(QStringLiteral("LMESSAGE me too"));
    QVERIFY(delivered(*a, QStringLiteral("LMESSAGE bob me too")));
}

void TestTlsServer::stalledHandshakeClosedAtDeadline()
{
    constexpr int kDeadlineMs = 300;
    TlsLobby lobby(m_cert, kDeadlineMs);
    QSignalSpy failed(lobby.tls.get(), &TlsListener::handshakeFailed);
    QElapsedTimer clock;
    QTcpSocket silent;
    clock.start();
    silent.connectToHost(QHostAddress::LocalHost, lobby.tls->serverPort());
    QVERIFY(silent.waitForConnected(5000));
    QTRY_COMPARE_WITH_TIMEOUT(lobby.tls->handshakesInProgress(), 1, 5000);

    // A sign-in on the TLS road goes through while the silent one waits.
    auto a = lobby.tlsPlayer(m_cert, QStringLiteral("alice"));
    QVERIFY(a->isConnected());
    QCOMPARE(lobby.server->signedInCount(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QAbstractSocket::UnconnectedState, 10000);
    // Coarse timers may fire up to 5 % early.
    QVERIFY2(clock.elapsed() >= kDeadlineMs * 95 / 100, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(failed.count(), 1);
    QVERIFY(failed.first().first().toString().contains(QStringLiteral("no handshake")));
    QCOMPARE(lobby.tls->handshakesInProgress(), 0);
    QCOMPARE(lobby.server->clientCount(), 1);
}

void TestTlsServer::handshakesBeyondTheLimitAreRefused_data()
{
    // Which limit is 1; what a plain connection from the same address gets meanwhile.
    QTest::addColumn<QString>("limit");
    QTest::addColumn<QString>("plainGreeting");
    QTest::newRow("handshakes at once") << "handshakes" << "+OK QorChat lobby server LISTDELTA";
    QTest::newRow("connections from one address") << "per address" << "-ERR 101 too many connections from your address";
    QTest::newRow("connections in all") << "clients" << "-ERR 100 server full";
}

void TestTlsServer::handshakesBeyondTheLimitAreRefused()
{
    QFETCH(QString, limit);
    QFETCH(QString, plainGreeting);
    TlsLobby lobby(m_cert, 5000, limit == QLatin1String("clients") ? 1 : 1000);
    if (limit == QLatin1String("handshakes"))
        lobby.tls->setMaxHandshakes(1);
    else if (limit == QLatin1String("per address"))
        lobby.server->setMaxPerAddress(1);
    QSignalSpy failed(lobby.tls.get(), &TlsListener::handshakeFailed);
    QTcpSocket first, second;
    first.connectToHost(QHostAddress::LocalHost, lobby.tls->serverPort());
    QVERIFY(first.waitForConnected(5000));
    QTRY_COMPARE_WITH_TIMEOUT(lobby.tls->handshakesInProgress(), 1, 5000);
    second.connectToHost(QHostAddress::LocalHost, lobby.tls->serverPort());
    QTRY_COMPARE_WITH_TIMEOUT(second.state(), QAbstractSocket::UnconnectedState, 5000);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(first.state(), QAbstractSocket::ConnectedState);
    // A handshake holds a connection of the server's, and of its address.
    {
        LobbyClient plain(lobby.server->serverPort());
        QCOMPARE(plain.status(), plainGreeting);
    }

    // The slot is free again once the first one is gone.
    first.abort();
    QTRY_COMPARE_WITH_TIMEOUT(lobby.tls->handshakesInProgress(), 0, 5000);
    auto a = lobby.tlsPlayer(m_cert, QStringLiteral("alice"));
    QCOMPARE(lobby.server->signedInCount(), 1);
}

void TestTlsServer::slowTlsReaderIsCutOff()
{
    TlsLobby lobby(m_cert);
    auto mute = lobby.tlsPlayer(m_cert, QStringLiteral("mute"));
    auto talker = lobby.plainPlayer(QStringLiteral("talker"));
    QVERIFY(delivered(*talker, protocol::listLine(kw::PLAYERLIST, {QStringLiteral("mute 0"), QStringLiteral("talker 0")})));
    // From now on the mute one reads nothing: Qt stops taking its bytes from the kernel.
    mute->socket().setReadBufferSize(4096);
    mute->socket().disconnect(mute.get());
    const QString text(60 * 1024 - 32, u'y');
    // The kernel buffers fill first, then the server's 1 MiB, encrypted or not.
    bool cutOff = false;
    for (int round = 0; round < 40 && !cutOff; ++round) {
        for (int i = 0; i < 20; ++i)
            talker->send(protocol::lobbyMessage(text));
        for (int i = 0; i < 20; ++i)
            QVERIFY(!talker->take(QStringLiteral("LMESSAGE")).isNull());
        cutOff = lobby.server->signedInCount() == 1;
    }
    QVERIFY(cutOff);
    QVERIFY(delivered(*talker, protocol::listLine(kw::PLAYERLIST, {QStringLiteral("talker 0")})));
}

void TestTlsServer::streamEdges_data()
{
    QTest::addColumn<QString>("edge");
    QTest::addColumn<QStringList>("expected"); // what the client reads, in order
    // Written before the handshake ends, the lines leave with the client's last
    // handshake message and reach the server with it.
    QTest::newRow("lines with the handshake")
        << "early" << QStringList{"+OK QorChat lobby server LISTDELTA", "+OK", "+OK"};
    // The server's last line goes out, encrypted, before it closes.
    QTest::newRow("last line before the close")
        << "deadline" << QStringList{"+OK QorChat lobby server LISTDELTA", "-ERR 92 sign-in timed out"};
    // TLS 1.2 ends with the server's flight: it leaves with the greeting.
    QTest::newRow("TLS 1.2") << "tls12" << QStringList{"+OK QorChat lobby server LISTDELTA"};
    // Nobody resumes a session: none is offered for it.
    QTest::newRow("no session ticket") << "ticket" << QStringList{"+OK QorChat lobby server LISTDELTA"};
}

void TestTlsServer::streamEdges()
{
    QFETCH(QString, edge);
    QFETCH(QStringList, expected);
    TlsLobby lobby(m_cert);
    if (edge == QLatin1String("deadline"))
        lobby.server->setSignInTimeout(200);
    QSslSocket client;
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates({m_cert.certificate});
    if (edge == QLatin1String("tls12"))
        config.setProtocol(QSsl::TlsV1_2);
    if (edge == QLatin1String("ticket"))
        config.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
    client.setSslConfiguration(config);
    client.connectToHostEncrypted(QStringLiteral("localhost"), lobby.tls->serverPort());
    if (edge == QLatin1String("early"))
        client.write("GAMENAME Shogi\r\nHOST no\r\n");
    QByteArray got;
    QTRY_VERIFY_WITH_TIMEOUT((got += client.readAll()).count('\n') >= expected.size(), 10000);
    QCOMPARE(QString::fromLatin1(got).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts), expected);
    if (edge == QLatin1String("tls12"))
        QCOMPARE(client.sessionProtocol(), QSsl::TlsV1_2);
    if (edge == QLatin1String("ticket"))
        QCOMPARE(client.sslConfiguration().sessionTicketLifeTimeHint(), 0);
    if (edge == QLatin1String("deadline"))
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 10000);
}

void TestTlsServer::renewedCertificate_data()
{
    QTest::addColumn<bool>("usable"); // the new configuration
    QTest::newRow("renewed") << true;
    QTest::newRow("unusable, the old one stays") << false;
}

void TestTlsServer::renewedCertificate()
{
    QFETCH(bool, usable);
    TlsLobby lobby(m_cert);
    auto before = lobby.tlsPlayer(m_cert, QStringLiteral("before"));
    TestCertificate renewed;
    QVERIFY2(renewed.make(QStringLiteral("rsa")), qPrintable(renewed.error));
    QString error;
    auto config = TlsListener::loadConfiguration(renewed.certFile, renewed.keyFile, &error);
    QVERIFY2(config, qPrintable(error));
    if (!usable)
        config->setPrivateKey(QSslKey());
    QCOMPARE(lobby.tls->setConfiguration(*config, &error), usable);
    QCOMPARE(error.isEmpty(), usable);

    // New connections shake hands with whichever certificate is in force.
    const TestCertificate &current = usable ? renewed : m_cert;
    const TestCertificate &other = usable ? m_cert : renewed;
    auto after = lobby.tlsPlayer(current, QStringLiteral("after"));
    QVERIFY(after->isConnected());
    QCOMPARE(lobby.server->signedInCount(), 2);
    LobbyClient stale(lobby.tls->serverPort(), other.certificate);
    QVERIFY(stale.waitForDisconnected(10000));
    // The session that began with the old certificate goes on.
    after->send(QStringLiteral("LMESSAGE renewed"));
    QVERIFY(delivered(*before, QStringLiteral("LMESSAGE after renewed")));
}

void TestTlsServer::configurationErrors_data()
{
    QTest::addColumn<QString>("cert");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected"); // part of the error; empty: loads

    QVERIFY2(!m_cert.openssl({"pkey", "-in", m_cert.keyFile, "-aes256", "-passout", "pass:secret", "-out",
                              m_cert.path("encrypted.pem")})
                  .isNull(),
             qPrintable(m_cert.error));
    QVERIFY(!m_cert.openssl({"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024", "-out",
                             m_cert.path("rsa.pem")})
                 .isNull());
    QFile junk(m_cert.path("junk.pem"));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write("-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n");
    junk.close();

    QTest::newRow("valid") << m_cert.certFile << m_cert.keyFile << QString();
    QTest::newRow("no certificate file") << m_cert.path("missing.pem") << m_cert.keyFile << "cannot read";
    QTest::newRow("junk certificate") << m_cert.path("junk.pem") << m_cert.keyFile << "no PEM certificate";
    QTest::newRow("key given as certificate") << m_cert.keyFile << m_cert.keyFile << "no PEM certificate";
    QTest::newRow("no key file") << m_cert.certFile << m_cert.path("missing.pem") << "cannot read";
    QTest::newRow("certificate given as key") << m_cert.certFile << m_cert.certFile << "no unencrypted PEM private key";
    QTest::newRow("encrypted key") << m_cert.certFile << m_cert.path("encrypted.pem")
                                   << "no unencrypted PEM private key";
    QTest::newRow("key of another kind") << m_cert.certFile << m_cert.path("rsa.pem") << "does not belong";
}

void TestTlsServer::configurationErrors()
{
    QFETCH(QString, cert);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    QString error;
    const auto config = TlsListener::loadConfiguration(cert, key, &error);
    if (expected.isEmpty()) {
        QVERIFY2(config, qPrintable(error));
        QCOMPARE(config->localCertificate(), m_cert.certificate);
        QCOMPARE(TlsListener::fingerprint(config->localCertificate()), m_cert.fingerprint);
    } else {
        QVERIFY(!config);
        QVERIFY2(error.contains(expected), qPrintable(error));
    }
}

void TestTlsServer::commandLine_data()
{
    QTest::addColumn<bool>("separatePort");
    QTest::newRow("TLS beside plain") << true;
    QTest::newRow("TLS only") << false;
}

void TestTlsServer::commandLine()
{
    QFETCH(bool, separatePort);
    QStringList args{"--port", "0", "--db", ":memory:", "--tls-cert", m_cert.certFile, "--tls-key", m_cert.keyFile,
                     "--tls-handshake-timeout", "300"};
    if (separatePort)
        args << "--tls-port" << "0";
    QProcess server;
    server.start(QStringLiteral(QORCHAT_SERVER_EXE), args);
    QVERIFY(server.waitForStarted(5000));
    QByteArray out;
    const int lines = separatePort ? 3 : 2;
    while (out.count('\n') < lines && server.waitForReadyRead(10000))
        out += server.readAllStandardOutput();
    const QStringList printed = QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(printed.size(), lines);
    const QRegularExpression plainLine(QStringLiteral("^listening on 127\\.0\\.0\\.1:(\\d+)$"));
    const QRegularExpression tlsLine(QStringLiteral("^listening on 127\\.0\\.0\\.1:(\\d+) \\(TLS\\)$"));
    const auto tls = tlsLine.match(printed.at(separatePort ? 1 : 0));
    QVERIFY2(tls.hasMatch(), out.constData());
    QCOMPARE(printed.last(), QStringLiteral("TLS certificate SHA-256 fingerprint: ") + m_cert.fingerprint);
    const quint16 tlsPort = quint16(tls.captured(1).toUInt());

    LobbyClient secure(tlsPort, m_cert.certificate);
    QCOMPARE(secure.take(QStringLiteral("+OK")), QStringLiteral("+OK QorChat lobby server LISTDELTA"));
    if (separatePort) {
        const auto plain = plainLine.match(printed.at(0));
        QVERIFY2(plain.hasMatch(), out.constData());
        LobbyClient clear(quint16(plain.captured(1).toUInt()));
        QCOMPARE(clear.take(QStringLiteral("+OK")), QStringLiteral("+OK QorChat lobby server LISTDELTA"));
    } else {
        // A plain client on the TLS port hears nothing and is closed at the deadline.
        LobbyClient clear(tlsPort);
        QVERIFY(clear.waitForDisconnected(10000));
        QVERIFY(clear.all.isEmpty());
        QByteArray log;
        QTRY_VERIFY_WITH_TIMEOUT((log += server.readAllStandardError()).contains("tls: handshake from 127.0.0.1 failed"),
                                 5000);
    }
    ::kill(pid_t(server.processId()), SIGTERM);
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(server.exitCode(), 0);
}

void TestTlsServer::commandLineErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    const QString cert = m_cert.certFile;
    const QString key = m_cert.keyFile;
    QTest::newRow("cert without key") << QStringList{"--tls-cert", cert} << 2 << "go together";
    QTest::newRow("key without cert") << QStringList{"--tls-key", key} << 2 << "go together";
    QTest::newRow("tls port without cert") << QStringList{"--tls-port", "0"} << 2 << "need --tls-cert";
    QTest::newRow("bad tls port") << QStringList{"--tls-cert", cert, "--tls-key", key, "--tls-port", "70000"} << 2
                                  << "--tls-port";
    QTest::newRow("bad timeout") << QStringList{"--tls-cert", cert, "--tls-key", key, "--tls-handshake-timeout", "0"}
                                 << 2 << "--tls-handshake-timeout";
    QTest::newRow("unreadable key") << QStringList{"--tls-cert", cert, "--tls-key", m_cert.path("none.pem")} << 1
                                    << "cannot read";
}

void TestTlsServer::commandLineErrors()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QProcess server;
    server.start(QStringLiteral(QORCHAT_SERVER_EXE), QStringList{"--port", "0", "--db", ":memory:"} + args);
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(server.exitCode(), exitCode);
    const QString err = QString::fromUtf8(server.readAllStandardError());
    QVERIFY2(err.contains(message), qPrintable(err));
    QVERIFY(server.readAllStandardOutput().isEmpty());
}

QTEST_GUILESS_MAIN(TestTlsServer)
#include "tst_tlsserver.moc"
