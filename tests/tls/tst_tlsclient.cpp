// The client's TLS road: a pinned client plays a whole match against the reference
// server; every refused certificate or mismatched road ends as a connection
// failure with the host named, and no protocol line leaves the client.
#include "component/execute.h"
#include "support/comtestpeer.h"
#include "lobby/frmMain.h"
#include "lobbyclient.h"
#include "net/frmCom.h"
#include "net/protocol/protocol.h"
#include "platform/forms.h"
#include "qorchat/qorchat.h"
#include "session/lobbyModule.h"
#include "session/serverchoice.h"
#include "session/settings.h"
#include "support/fakeplatform.h"
#include "support/serverprocess.h"
#include "support/testenv.h"
#include "testcertificate.h"
#include "tlslistener.h"

#include <QLabel>
#include <QListWidget>
#include <QToolButton>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTest>

#include <memory>

namespace {

// Stands in for a server: greets each connection the way the lobby does and keeps
// every byte it receives (after decryption on the TLS road).
class Recorder : public QObject {
public:
    explicit Recorder(std::unique_ptr<QTcpServer> server) : m_server(std::move(server))
    {
        m_server->listen(QHostAddress::LocalHost, 0);
        connect(m_server.get(), &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = m_server->nextPendingConnection()) {
                ++accepted;
                connect(s, &QTcpSocket::readyRead, this, [this, s] { received += s->readAll(); });
                s->write("+OK QorChat lobby server\r\n");
            }
        });
    }
    QString port() const { return QString::number(m_server->serverPort()); }
    QTcpServer *server() const { return m_server.get(); }
    int accepted = 0;
    QByteArray received;

private:
    std::unique_ptr<QTcpServer> m_server;
};

QString noColons(QString fingerprint) { return fingerprint.remove(u':').toLower(); }

// Makes a certificate one the system's authorities vouch for, as far as this
// process is concerned, for as long as the object lives.
class SystemTrust {
public:
    explicit SystemTrust(const QSslCertificate &certificate) : m_old(QSslConfiguration::defaultConfiguration())
    {
        if (certificate.isNull())
            return;
        QSslConfiguration c = m_old;
        c.setCaCertificates(c.caCertificates() << certificate);
        QSslConfiguration::setDefaultConfiguration(c);
    }
    ~SystemTrust() { QSslConfiguration::setDefaultConfiguration(m_old); }

private:
    QSslConfiguration m_old;
};

} // namespace

class TestTlsClient : public QObject {
    Q_OBJECT
    TestCertificate m_cert;
    TestCertificate m_otherName; // for "other.example" only
    ServerProcess m_server;

private slots:
    void initTestCase()
    {
        QVERIFY2(m_cert.make(), qPrintable(m_cert.error));
        QVERIFY2(m_otherName.make(QStringLiteral("ec"), QStringLiteral("other.example")), qPrintable(m_otherName.error));
        QVERIFY2(m_server.start(QStringLiteral(QORCHAT_SERVER_EXE),
                                {"--tls-cert", m_cert.certFile, "--tls-key", m_cert.keyFile, "--tls-port", "0"}),
                 qPrintable(m_server.error));
        QCOMPARE(m_server.fingerprint, m_cert.fingerprint);
    }
    void serverChoice_data();
    void serverChoice();
    void settingsChoice_data();
    void settingsChoice();
    void pinnedClientPlaysAMatch();
    void authorityTrustedClientSignsIn();
    void refusedRoads_data();
    void refusedRoads();
    void plainClientOnTheTlsPort();
};

void TestTlsClient::serverChoice_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("tls");
    QTest::newRow("host") << "lobby.example" << true << "lobby.example" << "2300" << false;
    QTest::newRow("host:port") << " lobby.example:2301 " << true << "lobby.example" << "2301" << false;
    QTest::newRow("tls host") << "tls://lobby.example" << true << "lobby.example" << "2300" << true;
    QTest::newRow("tls host:port") << "TLS://10.0.0.1:443" << true << "10.0.0.1" << "443" << true;
    QTest::newRow("bracketed v6 with port") << "tls://[::1]:2300" << true << "::1" << "2300" << true;
    QTest::newRow("bracketed v6") << "[fe80::1]" << true << "fe80::1" << "2300" << false;
    QTest::newRow("bare v6") << "2001:db8::5" << true << "2001:db8::5" << "2300" << false;
    QTest::newRow("empty") << "" << false << "" << "" << false;
    QTest::newRow("scheme only") << "tls://" << false << "" << "" << false;
    QTest::newRow("empty port") << "host:" << false << "" << "" << false;
    QTest::newRow("port 0") << "host:0" << false << "" << "" << false;
    QTest::newRow("port too big") << "host:65536" << false << "" << "" << false;
    QTest::newRow("port not a number") << "host:23a" << false << "" << "" << false;
    QTest::newRow("unclosed bracket") << "[::1:2300" << false << "" << "" << false;
    QTest::newRow("junk after bracket") << "[::1]x2300" << false << "" << "" << false;
    QTest::newRow("v4 in brackets") << "[10.0.0.1]:5" << false << "" << "" << false;
    QTest::newRow("other scheme") << "http://host" << false << "" << "" << false;
    QTest::newRow("space inside") << "lob by:1" << false << "" << "" << false;
    QTest::newRow("control character") << "lobby\n:1" << false << "" << "" << false;
}

void TestTlsClient::serverChoice()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    const auto choice = serverchoice::parse(text);
    QCOMPARE(bool(choice), valid);
    if (!valid)
        return;
    QTEST(choice->host, "host");
    QTEST(choice->port, "port");
    QTEST(choice->tls, "tls");
    QVERIFY(choice->fingerprint.isEmpty());
}

void TestTlsClient::settingsChoice_data()
{
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("fingerprint");
    QTest::newRow("nothing") << QByteArray() << "localhost" << "2300" << false << "";
    QTest::newRow("plain") << QByteArray("address=lobby.example\nport=2301\n") << "lobby.example" << "2301" << false
                           << "";
    QTest::newRow("tls") << QByteArray("address=lobby.example\ntls=true\n") << "lobby.example" << "2300" << true << "";
    QTest::newRow("tls not true") << QByteArray("tls=yes\n") << "localhost" << "2300" << false << "";
    QTest::newRow("fingerprint turns tls on") << QByteArray("tls_fingerprint= AB:cd \n") << "localhost" << "2300"
                                              << true << "AB:cd";
    QTest::newRow("fingerprint wins over tls=false") << QByteArray("tls=false\ntls_fingerprint=ab\n") << "localhost"
                                                     << "2300" << true << "ab";
    // The pin belongs to the settings file's server: one named for this run is
    // checked against the system's authorities, or not encrypted at all.
    QTest::newRow("environment tls, pin not carried over")
        << QByteArray("tls_fingerprint=ab\n@QORCHAT_SERVER=tls://lobby.example:2400") << "lobby.example" << "2400"
        << true << "";
    QTest::newRow("environment plain over settings tls")
        << QByteArray("tls=true\ntls_fingerprint=ab\n@QORCHAT_SERVER=lobby.example") << "lobby.example" << "2300"
        << false << "";
}

void TestTlsClient::settingsChoice()
{
    QFETCH(QByteArray, section);
    TestEnv env;
    // After '@': the value of QORCHAT_SERVER for the row.
    const qsizetype at = section.indexOf("@QORCHAT_SERVER=");
    const QByteArray oldEnv = qgetenv("QORCHAT_SERVER");
    if (at >= 0)
        qputenv("QORCHAT_SERVER", section.mid(at + 16));
    else
        qunsetenv("QORCHAT_SERVER");
    serverchoice::setChosen(std::nullopt);
    env.writeSettings("[server]\n" + section.left(at >= 0 ? at : section.size()));
    const serverchoice::Server choice = serverchoice::current();
    if (oldEnv.isNull())
        qunsetenv("QORCHAT_SERVER");
    else
        qputenv("QORCHAT_SERVER", oldEnv);
    QTEST(choice.host, "host");
    QTEST(choice.port, "port");
    QTEST(choice.tls, "tls");
    QTEST(choice.fingerprint, "fingerprint");

    // Fingerprints: 32 bytes in hex, colons or spaces between, either case.
    const QByteArray digest = QByteArray::fromHex(noColons(m_cert.fingerprint).toLatin1());
    QCOMPARE(serverchoice::parseFingerprint(m_cert.fingerprint), digest);
    QCOMPARE(serverchoice::parseFingerprint(noColons(m_cert.fingerprint)), digest);
    QCOMPARE(serverchoice::parseFingerprint(QString(m_cert.fingerprint).replace(u':', u' ')), digest);
    QVERIFY(serverchoice::parseFingerprint(noColons(m_cert.fingerprint).chopped(2)).isEmpty());
    QVERIFY(serverchoice::parseFingerprint(noColons(m_cert.fingerprint) + "00").isEmpty());
    QVERIFY(serverchoice::parseFingerprint(QString(64, u'g')).isEmpty());
    QVERIFY(serverchoice::parseFingerprint(QString()).isEmpty());
}

void TestTlsClient::pinnedClientPlaysAMatch()
{
    TestEnv env;
    FakePlatform fake;
    session().reset();
    const QString game = QStringLiteral("Go");

    // The host is on the plain road, the player on the TLS one: one lobby.
    LobbyClient registrar(m_server.port.toUShort());
    QVERIFY(!registrar.take(QStringLiteral("+OK")).isNull());
    for (const QString &line : {protocol::gameName(game), protocol::host(vbFalse),
                                protocol::registUser("暗号", "secret1", "j@x.jp", "")})
        QCOMPARE(registrar.call(line), QStringLiteral("+OK"));
    LobbyClient host(m_server.port.toUShort());
    QVERIFY(host.signIn(game, true, QStringLiteral("hostuser")));
    QCOMPARE(host.call(protocol::createRoom(QStringLiteral("Room One"))), QStringLiteral("+OK"));

    env.storeReturningUser(m_server.tlsPort, QStringLiteral("暗号"), QStringLiteral("secret1"));
    settings::SaveSetting("server", "tls", "true");
    settings::SaveSetting("server", "tls_fingerprint", noColons(m_cert.fingerprint));

    bool encrypted = false;
    fake.handlers[QStringLiteral("frmMain")] = [&](QDialog *d) {
        auto *f = static_cast<frmMain *>(d);
        encrypted = static_cast<QSslSocket *>(frmComTestPeer::wskTcp(*frmCom::get()))->isEncrypted();
        QTRY_COMPARE_WITH_TIMEOUT(f->lstRooms->count(), 1, 10000);
        QTest::qWait(500); // a later room-list push would empty the selection
        const QRect row = f->lstRooms->visualItemRect(f->lstRooms->item(0));
        QTest::mouseClick(f->lstRooms->viewport(), Qt::LeftButton, {}, row.center());
        QTRY_COMPARE_WITH_TIMEOUT(f->lstRoomPlayers->count(), 1, 10000);
        f->cmdEnter->click();
        QVERIFY(f->isRoomMode());
        QVERIFY(host.takeLatest(protocol::listLine(QStringLiteral("ROOMPLAYERLIST"), {"hostuser 1", "暗号 0"})));
        QCOMPARE(host.call(protocol::ip(QStringLiteral("192.0.2.44"))), QStringLiteral("+OK"));
        QCOMPARE(host.call(QStringLiteral("START")), QStringLiteral("+OK"));
        QTRY_VERIFY_WITH_TIMEOUT(!Forms::isCurrent(f), 10000);
    };

    QString ip;
    QCOMPARE(component::execute(game, vbFalse, ip), int(QORCHAT_OK));
    QVERIFY(encrypted);
    QCOMPARE(fake.modalShown, (QStringList{"frmStatus", "frmMain"}));
    QVERIFY2(fake.messages.isEmpty(), qPrintable(fake.messageTexts().join(u'|')));
    QCOMPARE(ip, QStringLiteral("192.0.2.44"));

    Forms::resetAll();
    frmCom::resetForTests();
}

void TestTlsClient::authorityTrustedClientSignsIn()
{
    TestEnv env;
    FakePlatform fake;
    session().reset();
    SystemTrust trust(m_cert.certificate);
    env.storeReturningUser(m_server.tlsPort, QStringLiteral("信頼"), QStringLiteral("secret1"));
    settings::SaveSetting("server", "tls", "true");
    LobbyClient registrar(m_server.port.toUShort());
    QVERIFY(!registrar.take(QStringLiteral("+OK")).isNull());
    for (const QString &line : {protocol::gameName("Go"), protocol::host(vbFalse),
                                protocol::registUser("信頼", "secret1", "t@x.jp", "")})
        QCOMPARE(registrar.call(line), QStringLiteral("+OK"));

    bool listed = false;
    fake.handlers[QStringLiteral("frmMain")] = [&](QDialog *d) {
        auto *list = d->findChild<QListWidget *>(QStringLiteral("lstPlayers"));
        QTRY_VERIFY_WITH_TIMEOUT(list->count() > 0 && list->item(0)->text().startsWith(QStringLiteral("信頼")), 10000);
        listed = static_cast<QSslSocket *>(frmComTestPeer::wskTcp(*frmCom::get()))->isEncrypted();
        Forms::unload<frmMain>();
    };
    QString ip;
    component::execute(QStringLiteral("Go"), vbFalse, ip);
    QVERIFY2(fake.messages.isEmpty(), qPrintable(fake.messageTexts().join(u'|')));
    QCOMPARE(fake.modalShown, (QStringList{"frmStatus", "frmMain"}));
    QVERIFY(listed);

    Forms::resetAll();
    frmCom::resetForTests();
}

void TestTlsClient::refusedRoads_data()
{
    QTest::addColumn<bool>("tlsServer");
    QTest::addColumn<bool>("otherName"); // the server shows the certificate for other.example
    QTest::addColumn<bool>("trusted");   // its certificate is one the system trusts
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("keys");
    QTest::addColumn<QString>("message");
    const QByteArray pin = "tls_fingerprint=" + m_cert.fingerprint.toLatin1() + "\n";
    const QString wrongPin = QStringLiteral("AB:").repeated(31) + QStringLiteral("AB");
    QTest::newRow("wrong fingerprint")
        << true << false << false << "127.0.0.1"
        << QByteArray("tls=true\ntls_fingerprint=" + wrongPin.toLatin1() + "\n")
        << "ロビーサーバー 「127.0.0.1」 の証明書を確認できませんでした: 設定されたフィンガープリントと一致しません";
    QTest::newRow("trusted certificate, wrong fingerprint")
        << true << false << true << "127.0.0.1" << QByteArray("tls_fingerprint=" + wrongPin.toLatin1() + "\n")
        << "ロビーサーバー 「127.0.0.1」 の証明書を確認できませんでした: 設定されたフィンガープリントと一致しません";
    QTest::newRow("untrusted certificate")
        << true << false << false << "127.0.0.1" << QByteArray("tls=true\n")
        << "ロビーサーバー 「127.0.0.1」 の証明書を確認できませんでした: 信頼されていない証明書です";
    QTest::newRow("trusted certificate of another host")
        << true << true << true << "127.0.0.1" << QByteArray("tls=true\n")
        << "ロビーサーバー 「127.0.0.1」 の証明書を確認できませんでした: 証明書のホスト名が一致しません";
    QTest::newRow("malformed fingerprint")
        << true << false << false << "127.0.0.1" << QByteArray("tls=true\ntls_fingerprint=12:34\n")
        << "ロビーサーバー 「127.0.0.1」 の証明書のフィンガープリントの設定が正しくありません";
    QTest::newRow("TLS client on a plain port")
        << false << false << false << "127.0.0.1" << QByteArray("tls=true\n" + pin)
        << "ロビーサーバー 「127.0.0.1」 と暗号化通信を確立できませんでした";
}

void TestTlsClient::refusedRoads()
{
    QFETCH(bool, tlsServer);
    QFETCH(bool, otherName);
    QFETCH(bool, trusted);
    QFETCH(QString, address);
    QFETCH(QByteArray, keys);
    QFETCH(QString, message);
    const TestCertificate &cert = otherName ? m_otherName : m_cert;
    SystemTrust trust(trusted ? cert.certificate : QSslCertificate());
    QString error;
    const auto config = TlsListener::loadConfiguration(cert.certFile, cert.keyFile, &error);
    QVERIFY2(config, qPrintable(error));
    Recorder recorder(tlsServer ? std::unique_ptr<QTcpServer>(std::make_unique<TlsListener>(*config))
                                : std::make_unique<QTcpServer>());

    TestEnv env;
    FakePlatform fake;
    session().reset();
    env.storeReturningUser(recorder.port(), QStringLiteral("taro"), QStringLiteral("secret1"));
    QByteArray file = env.readSettings();
    file.replace("[server]\n", "[server]\n" + keys);
    file.replace("address=127.0.0.1", "address=" + address.toUtf8());
    env.writeSettings(file);
    fake.answers = {platform::mb::OK, platform::mb::Cancel};

    QString ip;
    component::execute(QStringLiteral("Go"), vbFalse, ip);
    QVERIFY(ip.isEmpty());
    QCOMPARE(fake.messageTexts(), (QStringList{message, QStringLiteral("ロビーサーバーに接続できませんでした")}));
    QCOMPARE(fake.messages.at(0).style, platform::mb::Critical);
    QCOMPARE(fake.modalShown, QStringList{"frmStatus"});
    // Nothing of the protocol reached the server: on the TLS road not one
    // decrypted byte, on the plain one no line in clear.
    QTest::qWait(100);
    if (tlsServer)
        QCOMPARE(recorder.received, QByteArray());
    QVERIFY(!recorder.received.contains("GAMENAME"));
    QVERIFY(!recorder.received.contains("LOGIN"));
    QVERIFY(!recorder.received.contains("secret1"));

    Forms::resetAll();
    frmCom::resetForTests();
}

void TestTlsClient::plainClientOnTheTlsPort()
{
    // The server hears no handshake, closes at its deadline, and the client takes
    // it as the server hanging up before it greeted.
    QString error;
    const auto config = TlsListener::loadConfiguration(m_cert.certFile, m_cert.keyFile, &error);
    QVERIFY2(config, qPrintable(error));
    auto listener = std::make_unique<TlsListener>(*config);
    listener->setHandshakeTimeout(300);
    TlsListener *tls = listener.get();
    QSignalSpy failed(tls, &TlsListener::handshakeFailed);
    Recorder recorder(std::move(listener));

    TestEnv env;
    FakePlatform fake;
    session().reset();
    env.storeReturningUser(recorder.port(), QStringLiteral("taro"), QStringLiteral("secret1"));
    fake.answers = {platform::mb::No};

    QString ip;
    component::execute(QStringLiteral("Go"), vbFalse, ip);
    QVERIFY(ip.isEmpty());
    QCOMPARE(fake.messageTexts(), QStringList{"回線が切断されました。再接続しますか？"});
    QCOMPARE(failed.count(), 1);
    QCOMPARE(recorder.accepted, 0);

    Forms::resetAll();
    frmCom::resetForTests();
}

QTEST_MAIN(TestTlsClient)
#include "tst_tlsclient.moc"
