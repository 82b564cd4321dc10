// The road of a match against the reference lobby server: a host (a bare protocol
// client) creates a room; a player enters it through the lobby window; the host
// starts, and the player's Execute returns the host's address.
#include "component/execute.h"
#include "lobby/frmMain.h"
#include "lobbyclient.h"
#include "net/frmCom.h"
#include "net/protocol/protocol.h"
#include "platform/forms.h"
#include "qorchat/qorchat.h"
#include "session/lobbyModule.h"
#include "session/settings.h"
#include "support/fakeplatform.h"
#include "support/serverprocess.h"
#include "support/testenv.h"

#include <QLabel>
#include <QListWidget>
#include <QTest>
#include <QToolButton>

class RoomsServerTest : public QObject {
    Q_OBJECT
    ServerProcess m_server;

private slots:
    void initTestCase() { QVERIFY2(m_server.start(QStringLiteral(QORCHAT_SERVER_EXE)), qPrintable(m_server.error)); }
    void playerEntersHostStarts();
};

void RoomsServerTest::playerEntersHostStarts()
{
    TestEnv env;
    FakePlatform fake;
    session().reset();
    const quint16 port = m_server.port.toUShort();
    const QString game = QStringLiteral("Go");

    LobbyClient registrar(port);
    QVERIFY(!registrar.take(QStringLiteral("+OK")).isNull());
    for (const QString &line : {protocol::gameName(game), protocol::host(vbFalse),
                                protocol::registUser("joiner", "secret1", "j@x.jp", "")})
        QCOMPARE(registrar.call(line), QStringLiteral("+OK"));
    LobbyClient host(port);
    QVERIFY(host.signIn(game, true, QStringLiteral("hostuser")));
    QCOMPARE(host.call(protocol::createRoom(QStringLiteral("Room One"))), QStringLiteral("+OK"));

    settings::SaveSetting("server", "address", "127.0.0.1");
    settings::SaveSetting("server", "port", m_server.port);
    settings::SaveSetting("user", "name", "joiner");
    settings::SaveSetting("user", "password", lobbyModule::encodeString("secret1"));

    fake.handlers[QStringLiteral("frmMain")] = [&](QDialog *d) {
        auto *f = static_cast<frmMain *>(d);
        QTRY_COMPARE_WITH_TIMEOUT(f->lstRooms->count(), 1, 10000);
        QCOMPARE(f->lstRooms->item(0)->text(), QStringLiteral("Room One  (1/8)"));
        // A room list pushed after the sign-in would empty the selection; the
        // server pushes at most one every 200 ms.
        QTest::qWait(500);
        const QRect row = f->lstRooms->visualItemRect(f->lstRooms->item(0));
        QTest::mouseClick(f->lstRooms->viewport(), Qt::LeftButton, {}, row.center());
        QTRY_COMPARE_WITH_TIMEOUT(f->lstRoomPlayers->count(), 1, 10000);
        f->cmdEnter->click();
        QVERIFY(f->isRoomMode());
        QCOMPARE(f->lblRoom->text(), QStringLiteral("部屋チャット(Room One  )"));
        QTRY_COMPARE_WITH_TIMEOUT(f->lstRoomPlayers->count(), 2, 10000);
        QVERIFY(host.takeLatest(protocol::listLine(QStringLiteral("ROOMPLAYERLIST"), {"hostuser 1", "joiner 0"})));
        QCOMPARE(host.call(protocol::ip(QStringLiteral("192.0.2.44"))), QStringLiteral("+OK"));
        QCOMPARE(host.call(QStringLiteral("START")), QStringLiteral("+OK"));
        QTRY_VERIFY_WITH_TIMEOUT(!Forms::isCurrent(f), 10000);
    };

    QString ip;
    QCOMPARE(component::execute(game, vbFalse, ip), int(QORCHAT_OK));
    QCOMPARE(fake.modalShown, (QStringList{"frmStatus", "frmMain"}));
    QVERIFY2(fake.messages.isEmpty(), qPrintable(fake.messageTexts().join(u'|')));
    QCOMPARE(ip, QStringLiteral("192.0.2.44"));
    QCOMPARE(settings::GetSetting("dbg", "hostip"), ip);

    Forms::resetAll();
    frmCom::resetForTests();
}

QTEST_MAIN(RoomsServerTest)
#include "tst_rooms_server.moc"
