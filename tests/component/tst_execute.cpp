#include "component/execute.h"
#include "lobby/frmMain.h"
#include "net/frmCom.h"
#include "platform/forms.h"
#include "qorchat/qorchat.h"
#include "session/lobbyModule.h"
#include "session/settings.h"
#include "support/fakeplatform.h"
#include "support/scriptedserver.h"
#include "support/testenv.h"

#include <QTest>

class TstExecute : public QObject {
    Q_OBJECT
    std::unique_ptr<TestEnv> env;
    std::unique_ptr<FakePlatform> fake;

private slots:
    void init()
    {
        env = std::make_unique<TestEnv>();
        fake = std::make_unique<FakePlatform>();
        resetSessionState();
        frmCom::resetForTests();
    }
    void cleanup()
    {
        Forms::resetAll();
        frmCom::resetForTests();
        fake.reset();
        env.reset();
    }

    // A server that does not know the game: sign-in fails, the lobby never shows.
    void signInFailsReturnsEmpty()
    {
        ScriptedServer server;
        server.on("GAMENAME", {"-ERR"});
        settings::SaveSetting("server", "address", "127.0.0.1");
        settings::SaveSetting("server", "port", server.portText());
        settings::SaveSetting("user", "ipwarn", "false");
        frmCom::setTickInterval(20);
        QString ip = QStringLiteral("stale");
        QCOMPARE(component::execute(QStringLiteral("A[1]"), vbTrue, ip), int(QORCHAT_OK));
        QCOMPARE(ip, QString());
        QCOMPARE(fake->modalShown, QStringList{"frmStatus"}); // the lobby is never shown
        QCOMPARE(fake->messageTexts(), QStringList{"本システムはこのゲームには対応していません"});
        QCOMPARE(server.received.value(0), QStringLiteral("GAMENAME A\\[1\\]")); // escaped on the wire only
        QCOMPARE(gstrGameName, QStringLiteral("A[1]"));
        QCOMPARE(gblnHost, vbTrue);
        QVERIFY(gblnTopmost);
        QCOMPARE(settings::GetSetting("dbg", "hostip"), QStringLiteral("nothing"));
        QCOMPARE(fake->orderCalls.last(), QStringLiteral("top:frmMain"));
        QVERIFY(Forms::isLoaded("frmMain")); // referring to it at the end loads it again
    }

    // The whole road with a stored account; the server starts the match at once.
    void matchStartedDuringSignInReturnsTheAddress()
    {
        ScriptedServer server;
        for (const char *k : {"GAMENAME", "HOST", "LOGIN"})
            server.on(k, {"+OK"});
        server.on("CHATDATA", {"CHATDATA gg@", "+OK"});
        server.onLine = [&](const QString &line) {
            if (line == QLatin1String("ROOMLIST")) // one write: all three arrive together
                server.sendRaw("ROOMLIST\r\nHOSTIP 192.0.2.5 \r\nSTART\r\n");
        };
        env->storeReturningUser(server.portText(), "taro", "secret~");
        frmCom::setTickInterval(20);
        QString ip;
        QCOMPARE(component::execute(QStringLiteral("g"), vbFalse, ip), int(QORCHAT_OK));
        QCOMPARE(fake->modalShown, QStringList{"frmStatus"});
        QCOMPARE(ip, QStringLiteral("192.0.2.5"));
        QVERIFY(server.received.contains("LOGIN taro secret~"));
        QTRY_VERIFY(server.received.contains("QUIT"));
    }

    void hostFlagKeepsTheCallersValue()
    {
        fake->handlers["frmStatus"] = [](QDialog *) { Forms::unload("frmStatus"); };
        QString ip;
        component::execute(QStringLiteral("g"), 1, ip);
        QCOMPARE(gblnHost, qint16(1));
    }

    // The outer loop: a dropped line with Yes runs sign-in and lobby again, and
    // the address of the last pass, trimmed of spaces only, is returned.
    void retryLoopAndTrimmedAddress()
    {
        int passes = 0;
        fake->handlers["frmStatus"] = [&](QDialog *) {
            ++passes;
            gblnSignedIn = passes <= 2;
            Forms::unload("frmStatus");
        };
        fake->handlers["frmMain"] = [&](QDialog *) {
            if (passes == 1) {
                gblnRetry = true; // as the dropped-line question does on Yes
            } else {
                gstrHostIP = QStringLiteral("  192.0.2.7 \t");
            }
            Forms::unload("frmMain");
        };
        QString ip;
        QCOMPARE(component::execute(QStringLiteral("g"), vbFalse, ip), int(QORCHAT_OK));
        QCOMPARE(fake->modalShown, (QStringList{"frmStatus", "frmMain", "frmStatus", "frmMain"}));
        QCOMPARE(ip, QStringLiteral("192.0.2.7 \t"));
        QCOMPARE(component::lastAddress(), ip);
    }

    void closingFlagAndLeftoverLineAreReset()
    {
        frmCom::get()->blnClosing = true;
        bool closingSeen = true;
        fake->handlers["frmStatus"] = [&](QDialog *) {
            closingSeen = frmCom::get()->blnClosing;
            Forms::unload("frmStatus");
        };
        QString ip;
        component::execute(QStringLiteral("g"), vbFalse, ip);
        QVERIFY(!closingSeen);
    }

    void debugEchoSetting()
    {
        settings::SaveSetting("dbg", "display", "true");
        bool echo = false;
        fake->handlers["frmStatus"] = [&](QDialog *) {
            echo = frmMain::m().blnDisplayDbgMessage;
            Forms::unload("frmStatus");
        };
        QString ip;
        component::execute(QStringLiteral("g"), vbFalse, ip);
        QVERIFY(echo);
    }

    void reentrantCallIsRefused()
    {
        int inner = -1;
        fake->handlers["frmStatus"] = [&](QDialog *) {
            QString ip2;
            inner = component::execute(QStringLiteral("g"), vbFalse, ip2);
            Forms::unload("frmStatus");
        };
        QString ip;
        QCOMPARE(component::execute(QStringLiteral("g"), vbFalse, ip), int(QORCHAT_OK));
        QCOMPARE(inner, int(QORCHAT_E_BUSY));
    }

    void cInterface()
    {
        fake->handlers["frmStatus"] = [&](QDialog *) {
            gstrHostIP = QStringLiteral(" 192.0.2.77 ");
            Forms::unload("frmStatus");
        };
        char small[4];
        size_t len = 0;
        QCOMPARE(qorchat_execute("game", 0, small, sizeof small, &len), int(QORCHAT_E_BUFFER));
        QCOMPARE(len, size_t(10));
        QCOMPARE(QByteArray(small), QByteArray("192"));
        char big[QORCHAT_ADDRESS_BUFFER_SIZE];
        QCOMPARE(qorchat_last_address(big, sizeof big, &len), int(QORCHAT_OK));
        QCOMPARE(QByteArray(big), QByteArray("192.0.2.77"));
        QCOMPARE(qorchat_execute(nullptr, 0, big, sizeof big, &len), int(QORCHAT_E_ARGUMENT));
        QCOMPARE(qorchat_execute("bad\xff", 0, big, sizeof big, &len), int(QORCHAT_E_ARGUMENT));
        QCOMPARE(qorchat_execute("g", 0, nullptr, 8, &len), int(QORCHAT_E_ARGUMENT));
        QVERIFY(QByteArray(qorchat_version()).startsWith("1."));
    }
};

QTEST_MAIN(TstExecute)
#include "tst_execute.moc"
