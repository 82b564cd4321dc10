#include "component/execute.h"
#include "support/comtestpeer.h"
#include "lobby/frmMain.h"
#include "net/frmCom.h"
#include "platform/forms.h"
#include "platform/qtplatform.h"
#include "qorchat/qorchat.hpp"
#include "session/lobbyModule.h"
#include "session/seams.h"
#include "session/serverchoice.h"
#include "session/settings.h"
#include "signin/frmStatus.h"
#include "support/fakeplatform.h"
#include "support/scriptedserver.h"
#include "support/testenv.h"

#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <thread>

class TstExecute : public QObject {
    Q_OBJECT
    std::unique_ptr<TestEnv> env;
    std::unique_ptr<FakePlatform> fake;

private slots:
    void init()
    {
        env = std::make_unique<TestEnv>();
        fake = std::make_unique<FakePlatform>();
        session().reset();
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
        LobbyEnd end = LobbyEnd::None;
        QCOMPARE(component::execute(QStringLiteral("A[1]"), vbTrue, ip, &end), int(QORCHAT_OK));
        QCOMPARE(end, LobbyEnd::SignInFailed);
        QVERIFY(!frmCom::get()->isConnected()); // the line does not outlive the call
        QCOMPARE(ip, QString());
        QCOMPARE(fake->modalShown, QStringList{"frmStatus"}); // the lobby is never shown
        QCOMPARE(fake->messageTexts(), QStringList{"本システムはこのゲームには対応していません"});
        QCOMPARE(server.received.value(0), QStringLiteral("GAMENAME A\\[1\\]")); // escaped on the wire only
        QCOMPARE(session().gstrGameName, QStringLiteral("A[1]"));
        QCOMPARE(session().gblnHost, vbTrue);
        QVERIFY(session().gblnTopmost);
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
        LobbyEnd end = LobbyEnd::None;
        QCOMPARE(component::execute(QStringLiteral("g"), vbFalse, ip, &end), int(QORCHAT_OK));
        QCOMPARE(fake->modalShown, QStringList{"frmStatus"});
        QCOMPARE(ip, QStringLiteral("192.0.2.5"));
        QCOMPARE(end, LobbyEnd::MatchStarted);
        QVERIFY(server.received.contains("LOGIN taro secret~"));
        QTRY_VERIFY(server.received.contains("QUIT"));
    }

    void hostFlagKeepsTheCallersValue()
    {
        fake->handlers["frmStatus"] = [](QDialog *) { Forms::unload("frmStatus"); };
        QString ip;
        component::execute(QStringLiteral("g"), 1, ip);
        QCOMPARE(session().gblnHost, qint16(1));
    }

    // The outer loop: a dropped line with Yes runs sign-in and lobby again, and
    // the address of the last pass, trimmed of spaces, is returned when it is a
    // plain address.
    void retryLoopAndTrimmedAddress()
    {
        int passes = 0;
        bool withTab = false;
        fake->handlers["frmStatus"] = [&](QDialog *) {
            ++passes;
            session().gblnSignedIn = passes <= 2;
            Forms::unload("frmStatus");
        };
        fake->handlers["frmMain"] = [&](QDialog *) {
            if (passes == 1) {
                session().gblnRetry = true; // as the dropped-line question does on Yes
            } else {
                session().gstrHostIP = withTab ? QStringLiteral("192.0.2.7 \t") : QStringLiteral("  192.0.2.7 ");
            }
            Forms::unload("frmMain");
        };
        QString ip;
        QCOMPARE(component::execute(QStringLiteral("g"), vbFalse, ip), int(QORCHAT_OK));
        QCOMPARE(fake->modalShown, (QStringList{"frmStatus", "frmMain", "frmStatus", "frmMain"}));
        QCOMPARE(ip, QStringLiteral("192.0.2.7"));
        QCOMPARE(component::lastAddress(), ip);
        // Anything but spaces around it, and it is no address.
        fake->modalShown.clear();
        passes = 1;
        withTab = true;
        QCOMPARE(component::execute(QStringLiteral("g"), vbFalse, ip), int(QORCHAT_OK));
        QCOMPARE(ip, QString());
    }

    void closingFlagAndLeftoverLineAreReset()
    {
        frmComTestPeer::blnClosing(*frmCom::get()) = true;
        bool closingSeen = true;
        fake->handlers["frmStatus"] = [&](QDialog *) {
            closingSeen = frmComTestPeer::blnClosing(*frmCom::get());
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
            session().gstrHostIP = QStringLiteral(" 192.0.2.77 ");
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
        // The lobby closed by the sign-in's own window, without another reason.
        QCOMPARE(qorchat_last_outcome(), int(QORCHAT_OUTCOME_USER_LEFT));
        QCOMPARE(qorchat_execute(nullptr, 0, big, sizeof big, &len), int(QORCHAT_E_ARGUMENT));
        QCOMPARE(qorchat_execute("bad\xff", 0, big, sizeof big, &len), int(QORCHAT_E_ARGUMENT));
        QCOMPARE(qorchat_execute("g", 0, nullptr, 8, &len), int(QORCHAT_E_ARGUMENT));
        QVERIFY(QByteArray(qorchat_version()).startsWith("1."));
        QCOMPARE(QorChat::OutcomeString(QORCHAT_OUTCOME_USER_LEFT), QStringLiteral("user left"));
        QCOMPARE(QorChat::ResultString(QORCHAT_E_BUFFER), QString::fromLatin1(qorchat_result_string(QORCHAT_E_BUFFER)));
        QCOMPARE(qorchat_last_outcome(), int(QORCHAT_OUTCOME_NONE)); // refused calls
    }

    // The C++ class reports the same outcomes; a match started for the member.
    void cxxClassOutcome()
    {
        ScriptedServer server;
        for (const char *k : {"GAMENAME", "HOST", "LOGIN"})
            server.on(k, {"+OK"});
        server.on("CHATDATA", {"+OK"});
        server.onLine = [&](const QString &line) {
            if (line == QLatin1String("ROOMLIST"))
                server.sendRaw("ROOMLIST\r\nHOSTIP 2001:db8::7\r\nSTART\r\n");
        };
        env->storeReturningUser(server.portText(), "taro", "pw");
        frmCom::setTickInterval(20);
        QString ip;
        QCOMPARE(QorChat().Execute(QStringLiteral("g"), false, ip), int(QORCHAT_OK));
        QCOMPARE(ip, QStringLiteral("2001:db8::7"));
        QCOMPARE(QorChat::LastOutcome(), int(QORCHAT_OUTCOME_MATCH_STARTED));
        QCOMPARE(qorchat_last_outcome(), int(QORCHAT_OUTCOME_MATCH_STARTED));
        // The line is closed once Execute returned, after the QUIT went out.
        QTRY_VERIFY(!server.hasClient());
        QCOMPARE(server.received.last(), QStringLiteral("QUIT"));
    }

    void serverTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("port"); // "" when the text is refused
        QTest::addColumn<bool>("tls");
        QTest::newRow("name") << "lobby.example" << "lobby.example" << "2300" << false;
        QTest::newRow("name and port") << "lobby.example:2400" << "lobby.example" << "2400" << false;
        QTest::newRow("IPv4 and port") << "127.0.0.1:1" << "127.0.0.1" << "1" << false;
        QTest::newRow("bracketed IPv6 and port") << "[::1]:2300" << "::1" << "2300" << false;
        QTest::newRow("bracketed IPv6") << "[2001:db8::1]" << "2001:db8::1" << "2300" << false;
        QTest::newRow("bare IPv6") << "2001:db8::1" << "2001:db8::1" << "2300" << false;
        QTest::newRow("port 0") << "h:0" << "" << "" << false;
        QTest::newRow("port 65536") << "h:65536" << "" << "" << false;
        QTest::newRow("port sign") << "h:+5" << "" << "" << false;
        QTest::newRow("empty port") << "h:" << "" << "" << false;
        QTest::newRow("no host") << ":2300" << "" << "" << false;
        QTest::newRow("unclosed bracket") << "[::1:2300" << "" << "" << false;
        QTest::newRow("bracketed IPv4") << "[127.0.0.1]:5" << "" << "" << false;
        QTest::newRow("scope id") << "[fe80::1%eth0]:5" << "" << "" << false;
        QTest::newRow("space") << "a b" << "" << "" << false;
        QTest::newRow("control") << "a\nb" << "" << "" << false;
        QTest::newRow("empty") << "" << "" << "" << false;
        QTest::newRow("tls, IPv6 and port") << "Tls://[::1]:2300" << "::1" << "2300" << true;
        QTest::newRow("tls only") << "tls://" << "" << "" << false;
    }
    void serverTexts()
    {
        QFETCH(QString, text);
        QFETCH(QString, host);
        QFETCH(QString, port);
        QFETCH(bool, tls);
        const auto s = serverchoice::parse(text);
        QCOMPARE(s.has_value(), !port.isEmpty());
        if (s)
            QCOMPARE(*s, (serverchoice::Server{host, port, tls, {}}));
    }

    // The call beats the environment, which beats the settings, which beat the
    // defaults; the settings file is left as it was.
    void serverPrecedence()
    {
        const QByteArray oldEnv = qgetenv("QORCHAT_SERVER");
        qunsetenv("QORCHAT_SERVER");
        const auto S = [](const char *host, const char *port, bool tls = false) {
            return serverchoice::Server{host, port, tls, {}};
        };
        QCOMPARE(serverchoice::current(), (S("localhost", "2300")));
        settings::SaveSetting("server", "address", "settings.example");
        settings::SaveSetting("server", "port", "2001");
        const QByteArray file = env->readSettings();
        QCOMPARE(serverchoice::current(), (S("settings.example", "2001")));
        qputenv("QORCHAT_SERVER", "not a server");
        QCOMPARE(serverchoice::current(), (S("settings.example", "2001"))); // ignored, with a warning
        qputenv("QORCHAT_SERVER", "tls://env.example:2004");
        QCOMPARE(serverchoice::current(), (S("env.example", "2004", true)));
        qputenv("QORCHAT_SERVER", "[::1]:2002");
        QCOMPARE(serverchoice::current(), (S("::1", "2002")));
        QCOMPARE(qorchat_set_server("TLS://[::1]", 2005), int(QORCHAT_OK));
        QCOMPARE(serverchoice::current(), (S("::1", "2005", true)));
        QCOMPARE(qorchat_set_server("call.example", 2003), int(QORCHAT_OK));
        QCOMPARE(serverchoice::current(), (S("call.example", "2003")));
        QCOMPARE(qorchat_set_server("[::1]", 0), int(QORCHAT_OK));
        QCOMPARE(serverchoice::current(), (S("::1", "2300")));
        for (const auto &[host, port] : std::initializer_list<std::pair<const char *, int>>{
                 {"bad host", 1}, {"h", -1}, {"h", 65536}, {"h\x1b", 1}, {"\xff", 1}, {"tls://", 1}})
            QCOMPARE(qorchat_set_server(host, port), int(QORCHAT_E_ARGUMENT));
        QCOMPARE(serverchoice::current(), (S("::1", "2300"))); // a refused call changes nothing
        QCOMPARE(qorchat_set_server(nullptr, 0), int(QORCHAT_OK));
        QCOMPARE(serverchoice::current(), (S("::1", "2002")));
        QCOMPARE(env->readSettings(), file);
        if (oldEnv.isNull())
            qunsetenv("QORCHAT_SERVER");
        else
            qputenv("QORCHAT_SERVER", oldEnv);
    }

    // When the match starts, every window of the lobby closes, open dialogs and
    // message boxes included, and Execute returns at once.
    void matchStartClosesEverything_data()
    {
        QTest::addColumn<QString>("open"); // what the player has open when START comes
        QTest::newRow("about box") << "mnuVersion";
        QTest::newRow("account form") << "mnuChageInfo";
        QTest::newRow("phrase editor") << "mnuEditChat";
        QTest::newRow("message box of the lobby") << "box";
        QTest::newRow("message box of a server line") << "DELETEROOM";
    }
    void matchStartClosesEverything()
    {
        QFETCH(QString, open);
        // Real message boxes, the rest scripted.
        platform::setMessageBoxes(nullptr);
        platform::installQtPlatform();
        ScriptedServer server;
        for (const char *k : {"GAMENAME", "HOST", "LOGIN", "CHATDATA"})
            server.on(k, {"+OK"});
        server.on("ROOMLIST", {"ROOMLIST \nroom 1/8"});
        env->storeReturningUser(server.portText(), "taro", "pw");
        frmCom::setTickInterval(20);

        bool started = false;
        QTimer poll;
        poll.setInterval(20);
        connect(&poll, &QTimer::timeout, this, [&] {
            QWidget *modal = QApplication::activeModalWidget();
            if (started || !modal || !modal->isVisible() || modal->objectName() == QLatin1String("frmMain"))
                return;
            started = true; // something is open above the lobby: the match starts now
            server.sendRaw("HOSTIP 192.0.2.9\r\nSTART\r\n");
        });
        QTimer watchdog; // without the fix the dialog would wait for the player for ever
        watchdog.setSingleShot(true);
        bool watchdogFired = false;
        connect(&watchdog, &QTimer::timeout, this, [&] {
            watchdogFired = true;
            for (QWidget *w : QApplication::topLevelWidgets())
                if (auto *d = qobject_cast<QDialog *>(w))
                    d->reject();
        });
        fake->handlers["frmMain"] = [&](QDialog *d) {
            QTRY_VERIFY(server.received.contains("ROOMLIST"));
            poll.start();
            watchdog.start(30000);
            if (open == QLatin1String("box"))
                platform::msgBox(QStringLiteral("部屋を作成できませんでした"), platform::mb::Critical);
            else if (open == QLatin1String("DELETEROOM"))
                server.sendLine("DELETEROOM");
            else
                d->findChild<QAction *>(open)->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(!Forms::isCurrent(d), 30000);
        };
        QString ip;
        LobbyEnd end = LobbyEnd::None;
        QCOMPARE(component::execute(QStringLiteral("g"), vbFalse, ip, &end), int(QORCHAT_OK));
        QVERIFY(!watchdogFired);
        QVERIFY(started);
        QCOMPARE(ip, QStringLiteral("192.0.2.9"));
        QCOMPARE(end, LobbyEnd::MatchStarted);
        for (QWidget *w : QApplication::topLevelWidgets())
            QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));

        // Nothing the server does later brings a window or a question back.
        fake->modalShown.clear();
        server.sendLine("LMESSAGE x late");
        server.closeClient();
        QTest::qWait(200);
        QVERIFY(fake->modalShown.isEmpty());
        for (QWidget *w : QApplication::topLevelWidgets())
            QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));
        QVERIFY(!session().gblnRetry);
        QVERIFY(!watchdogFired);
    }

    // The game ends the lobby from another thread, wherever the lobby is: the
    // call returns as after the user's Exit, with nothing left open or connected.
    void cancelFromAnotherThread_data()
    {
        QTest::addColumn<QString>("when");
        QTest::newRow("waiting for the greeting") << "greeting";
        QTest::newRow("waiting for the login's reply") << "LOGIN";
        QTest::newRow("in the lobby") << "lobby";
        QTest::newRow("message box of a server line") << "DELETEROOM";
    }
    void cancelFromAnotherThread()
    {
        QFETCH(QString, when);
        platform::setMessageBoxes(nullptr);
        platform::installQtPlatform();
        ScriptedServer server;
        if (when == QLatin1String("greeting"))
            server.greeting.clear();
        for (const char *k : {"GAMENAME", "HOST", "CHATDATA"})
            server.on(k, {"+OK"});
        if (when != QLatin1String("LOGIN"))
            server.on("LOGIN", {"+OK"});
        server.on("ROOMLIST", {"ROOMLIST \nroom 1/8"});
        env->storeReturningUser(server.portText(), "taro", "pw");
        // Long enough that no wait of the sign-in ends by itself first.
        frmCom::setTickInterval(1000);
        // Nothing runs yet, and the refusal is not kept for the call below.
        QCOMPARE(qorchat_cancel(), int(QORCHAT_E_NOT_RUNNING));

        auto modalIs = [](const char *name) {
            QWidget *w = QApplication::activeModalWidget();
            return w && w->isVisible() && (name ? w->objectName() == QLatin1String(name) : qobject_cast<QMessageBox *>(w) != nullptr);
        };
        std::thread canceller;
        std::atomic<int> cancelled{-1};
        bool deleteRoomSent = false;
        QTimer poll;
        poll.setInterval(20);
        connect(&poll, &QTimer::timeout, this, [&] {
            if (canceller.joinable()) {
                poll.stop();
                return;
            }
            bool ready = false;
            if (when == QLatin1String("greeting"))
                ready = server.connections() > 0;
            else if (when == QLatin1String("LOGIN"))
                ready = server.received.filter(QRegularExpression("^LOGIN ")).size() == 1;
            else if (when == QLatin1String("lobby"))
                ready = modalIs("frmMain");
            else if (deleteRoomSent)
                ready = modalIs(nullptr);
            else if (modalIs("frmMain")) {
                server.sendLine("DELETEROOM");
                deleteRoomSent = true;
            }
            if (ready)
                canceller = std::thread([&] { cancelled = qorchat_cancel(); });
        });
        poll.start();
        QTimer watchdog; // without the request the lobby would wait for the player for ever
        watchdog.setSingleShot(true);
        bool watchdogFired = false;
        connect(&watchdog, &QTimer::timeout, this, [&] {
            watchdogFired = true;
            frmStatus::m().mblnCancel = true;
            Forms::unloadAll();
        });
        watchdog.start(30000);

        char address[QORCHAT_ADDRESS_BUFFER_SIZE];
        size_t length = 99;
        const int r = qorchat_execute("g", 0, address, sizeof address, &length);
        poll.stop();
        QVERIFY(canceller.joinable());
        canceller.join();
        QCOMPARE(r, int(QORCHAT_OK));
        QVERIFY(!watchdogFired);
        QCOMPARE(cancelled.load(), int(QORCHAT_OK));
        QCOMPARE(qorchat_last_outcome(), int(QORCHAT_OUTCOME_USER_LEFT));
        QCOMPARE(length, size_t(0));
        QVERIFY(!frmCom::get()->isConnected());
        QTRY_VERIFY(!server.hasClient());
        QVERIFY(!session().gblnRetry);
        for (QWidget *w : QApplication::topLevelWidgets())
            QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));
        QCOMPARE(qorchat_cancel(), int(QORCHAT_E_NOT_RUNNING));
    }
};

QTEST_MAIN(TstExecute)
#include "tst_execute.moc"
