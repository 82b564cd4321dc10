#include "session/lobbyModule.h"
#include "session/settings.h"
#include "support/scriptedserver.h"
#include "support/testenv.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QProcess>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

namespace {
// How the scripted server behaves for one run.
enum class Script { SignIn, NoAccount, WrongPassword, GameRefused, DropInLobby, StartMatch };

struct Options {
    QString program = QStringLiteral(QORCHAT_LAUNCHER);
    QString autopilot; // QORCHAT_AUTOPILOT, preloaded when not empty
    QStringList unset;
    QMap<QString, QString> set;
};

quint16 closedPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort(); // free again once s is gone
}
} // namespace

class TstLauncher : public QObject {
    Q_OBJECT

    struct Run {
        int exitCode = -1;
        QByteArray out, err;
    };
    // Runs the program while this process's event loop keeps going (a scripted
    // server may need to answer it).
    Run run(const QStringList &args, const Options &o = Options())
    {
        Run r;
        QProcess p;
        p.setProgram(o.program);
        p.setArguments(args);
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("QT_QPA_PLATFORM", "offscreen");
        e.insert("XDG_CONFIG_HOME", env.configHome());
        e.remove("QORCHAT_SERVER");
        if (!o.autopilot.isEmpty()) {
            e.insert("QORCHAT_AUTOPILOT", o.autopilot);
            e.insert("LD_PRELOAD", QStringLiteral(QORCHAT_AUTOPILOT_LIB));
            // A sanitizer runtime would insist on coming before the preloaded driver.
            e.insert("ASAN_OPTIONS", e.value("ASAN_OPTIONS") + QStringLiteral(":verify_asan_link_order=0"));
        }
        for (const QString &name : o.unset)
            e.remove(name);
        for (auto it = o.set.cbegin(); it != o.set.cend(); ++it)
            e.insert(it.key(), it.value());
        p.setProcessEnvironment(e);
        p.start();
        QElapsedTimer t;
        t.start();
        while (p.state() != QProcess::NotRunning && t.elapsed() < 90000)
            QTest::qWait(10);
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished();
            qWarning() << "timed out; stderr:" << p.readAllStandardError();
            return r;
        }
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }

    // A server that signs "taro" in and then does what the script says.
    void prepare(ScriptedServer &server, Script script, const QString &hostIpLine = QStringLiteral("HOSTIP 198.51.100.7"))
    {
        server.on("GAMENAME", {script == Script::GameRefused ? "-ERR 1" : "+OK"});
        server.on("HOST", {"+OK"});
        server.on("LOGIN", {script == Script::WrongPassword ? "-ERR 2" : "+OK"});
        server.on("CHATDATA", {"CHATDATA よろしく@", "+OK"});
        server.on("ROOMLIST", {"ROOMLIST \nroom 1/8"});
        server.onLine = [&server, script, hostIpLine](const QString &line) {
            if (line != QLatin1String("ROOMLIST"))
                return;
            // The lobby is up once the list is in.
            if (script == Script::StartMatch) {
                QTimer::singleShot(1000, &server, [&server, hostIpLine] {
                    server.sendLine("LMESSAGE host hi");
                    server.sendLine(hostIpLine);
                    server.sendLine("START");
                });
            } else if (script == Script::DropInLobby) {
                QTimer::singleShot(1000, &server, [&server] { server.closeClient(); });
            }
        };
        if (script == Script::NoAccount) {
            settings::SaveSetting("server", "address", "127.0.0.1");
            settings::SaveSetting("server", "port", server.portText());
            settings::SaveSetting("user", "ipwarn", "false");
        } else {
            env.storeReturningUser(server.portText(), "taro", "pass~word");
        }
    }

    TestEnv env;

private slots:
    void init() { QFile::remove(env.settingsFile()); }

    // Help and version go to stdout; a usage error is one line naming it and a
    // pointer to --help, never the whole help.
    void arguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("stdoutStart");
        QTest::addColumn<QByteArray>("error"); // the usage error's line
        QTest::newRow("help") << QStringList{"--help"} << 0 << QByteArray("usage: qorchat") << QByteArray();
        QTest::newRow("short help") << QStringList{"-h"} << 0 << QByteArray("usage: qorchat") << QByteArray();
        QTest::newRow("help after a game") << QStringList{"g", "-h"} << 0 << QByteArray("usage: qorchat") << QByteArray();
        QTest::newRow("version") << QStringList{"--version"} << 0 << QByteArray("qorchat 1.") << QByteArray();
        QTest::newRow("short version") << QStringList{"-v"} << 0 << QByteArray("qorchat 1.") << QByteArray();
        QTest::newRow("no game") << QStringList{} << 2 << QByteArray() << QByteArray("qorchat: a game name is required");
        QTest::newRow("empty game") << QStringList{""} << 2 << QByteArray() << QByteArray("qorchat: a game name is required");
        QTest::newRow("unknown option") << QStringList{"--port", "1", "g"} << 2 << QByteArray()
                                        << QByteArray("qorchat: Unknown option 'port'.");
        QTest::newRow("unknown short option") << QStringList{"-x", "g"} << 2 << QByteArray()
                                              << QByteArray("qorchat: Unknown option 'x'.");
        QTest::newRow("host with a value") << QStringList{"--host=yes", "g"} << 2 << QByteArray()
                                           << QByteArray("qorchat: Unexpected value after '--host'.");
        QTest::newRow("two games") << QStringList{"a", "b"} << 2 << QByteArray()
                                   << QByteArray("qorchat: only one game name may be given");
        QTest::newRow("server without value") << QStringList{"g", "--server"} << 2 << QByteArray()
                                              << QByteArray("qorchat: Missing value after '--server'.");
        QTest::newRow("server port 0") << QStringList{"--server", "h:0", "g"} << 2 << QByteArray()
                                       << QByteArray("qorchat: --server: not HOST[:PORT]: h:0");
        QTest::newRow("server port too big") << QStringList{"--server", "h:65536", "g"} << 2 << QByteArray()
                                             << QByteArray("qorchat: --server: not HOST[:PORT]: h:65536");
        QTest::newRow("server open bracket") << QStringList{"--server", "[::1:5", "g"} << 2 << QByteArray()
                                             << QByteArray("qorchat: --server: not HOST[:PORT]: [::1:5");
        QTest::newRow("server with space") << QStringList{"--server=a b", "g"} << 2 << QByteArray()
                                           << QByteArray("qorchat: --server: not HOST[:PORT]: a b");
        QTest::newRow("empty server") << QStringList{"--server=", "g"} << 2 << QByteArray()
                                      << QByteArray("qorchat: --server: not HOST[:PORT]: ");
    }
    void arguments()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, stdoutStart);
        QFETCH(QByteArray, error);
        const Run r = run(args);
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY(r.out.startsWith(stdoutStart));
        if (exitCode != 0)
            QCOMPARE(r.err, error + "\nTry 'qorchat --help' for more information.\n");
        else
            QCOMPARE(r.err, QByteArray());
    }

    // The bytes of the game name reach the library as given; a shell passes the
    // ones a QProcess argument cannot hold.
    void gameNameNotUtf8()
    {
        Options o;
        o.program = QStringLiteral("/bin/sh");
        const Run r = run({"-c", "exec \"$0\" \"$(printf 'g\\377')\"", QStringLiteral(QORCHAT_LAUNCHER)}, o);
        QCOMPARE(r.exitCode, 2);
        QCOMPARE(r.err, QByteArray("qorchat: the game name is not valid UTF-8\nTry 'qorchat --help' for more information.\n"));
    }

    void helpListsTheExitStatuses()
    {
        const Run r = run({"--help"});
        for (const char *line : {"  0  the match started", "  2  usage error", "  3  the user left", "  4  sign-in failed",
                                 "  5  the server could not", "  6  no display", "  7  the match started, but", "--server [tls://]HOST[:PORT]", "QORCHAT_SERVER", "-h, --help", "-v, --version"})
            QVERIFY2(r.out.contains(line), line);
    }

    // Without a display nothing is shown and nothing aborts: one line, status 6.
    void noDisplay_data()
    {
        QTest::addColumn<QStringList>("unset");
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("platform");
        const QStringList all{"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
        QTest::newRow("nothing set") << all << QString() << QString();
        QTest::newRow("X server not running") << all << QStringLiteral(":87") << QString();
        QTest::newRow("Wayland socket missing") << QStringList{"DISPLAY", "QT_QPA_PLATFORM"} << QString() << QString();
        QTest::newRow("platform plugin missing") << all << QString() << QStringLiteral("nosuchplatform");
        QTest::newRow("xcb without display") << all << QString() << QStringLiteral("xcb");
    }
    void noDisplay()
    {
        QFETCH(QStringList, unset);
        QFETCH(QString, display);
        QFETCH(QString, platform);
        ScriptedServer server;
        env.storeReturningUser(server.portText(), "taro", "pw");
        Options o;
        o.unset = unset;
        if (!display.isEmpty())
            o.set.insert("DISPLAY", display);
        if (!unset.contains("WAYLAND_DISPLAY"))
            o.set.insert("WAYLAND_DISPLAY", "qorchat-test-no-such-socket");
        if (!platform.isEmpty())
            o.set.insert("QT_QPA_PLATFORM", platform);
        const Run r = run({"g"}, o);
        QCOMPARE(r.exitCode, 6);
        QCOMPARE(r.out, QByteArray());
        QCOMPARE(r.err.count('\n'), 1);
        QVERIFY(r.err.contains("needs a display") && r.err.contains("xvfb-run"));
        QCOMPARE(server.connections(), 0);
    }

    // The display passes the library's check, then refuses Qt's own connection:
    // status 6 as for no display, never an abort. The display is an X server
    // behind a socket that passes on its first connection and closes the rest.
    void displayLostAfterTheCheck()
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty())
            QSKIP("needs Xvfb");
        QProcess x;
        x.start(xvfb, {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "320x240x24"});
        QTRY_VERIFY_WITH_TIMEOUT(x.canReadLine() || x.state() == QProcess::NotRunning, 30000);
        const QByteArray real = x.readLine().trimmed();
        QVERIFY2(!real.isEmpty(), x.readAllStandardError().constData());
        int fake = real.toInt() + 100;
        while (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(fake))
               || QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(fake)))
            ++fake;
        QLocalServer front;
        front.setSocketOptions(QLocalServer::WorldAccessOption);
        QVERIFY(front.listen(QStringLiteral("/tmp/.X11-unix/X%1").arg(fake)));
        int connections = 0;
        QObject::connect(&front, &QLocalServer::newConnection, [&] {
            while (QLocalSocket *in = front.nextPendingConnection()) {
                if (++connections > 1) {
                    in->abort();
                    in->deleteLater();
                    continue;
                }
                auto *out = new QLocalSocket(in);
                QObject::connect(in, &QLocalSocket::readyRead, out, [in, out] { out->write(in->readAll()); });
                QObject::connect(out, &QLocalSocket::readyRead, in, [in, out] { in->write(out->readAll()); });
                QObject::connect(out, &QLocalSocket::disconnected, in, &QLocalSocket::disconnectFromServer);
                QObject::connect(in, &QLocalSocket::disconnected, out, &QLocalSocket::disconnectFromServer);
                out->connectToServer(QStringLiteral("/tmp/.X11-unix/X") + QString::fromLatin1(real));
            }
        });
        ScriptedServer server;
        env.storeReturningUser(server.portText(), "taro", "pw");
        Options o;
        o.unset = QStringList{"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "XAUTHORITY"};
        o.set.insert("DISPLAY", QStringLiteral(":%1").arg(fake));
        const Run r = run({"g"}, o);
        x.terminate();
        x.waitForFinished();
        QVERIFY2(r.exitCode == 6, r.err.constData());
        QCOMPARE(r.out, QByteArray());
        QVERIFY(r.err.contains("needs a display"));
        QVERIFY(connections >= 2); // the check's own, then Qt's
        QCOMPARE(server.connections(), 0);
    }

    // Each way the lobby can end, and the launcher's status for it.
    void outcomes_data()
    {
        QTest::addColumn<int>("script");
        QTest::addColumn<QString>("autopilot");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("out");
        auto row = [](const char *name, Script s, const char *pilot, QStringList args, int code, QByteArray out) {
            QTest::newRow(name) << int(s) << QString::fromLatin1(pilot) << args << code << out;
        };
        row("member start", Script::StartMatch, "", {"Game[1]"}, 0, "198.51.100.7\n");
        row("host start", Script::StartMatch, "", {"--host", "Game[1]"}, 0, "\n");
        row("declined terms", Script::NoAccount, "licence=decline", {"g"}, 3, "");
        row("cancelled account form", Script::NoAccount, "licence=agree,account=cancel", {"g"}, 3, "");
        row("exit menu", Script::SignIn, "lobby=exit", {"g"}, 3, "");
        row("no to reconnecting", Script::DropInLobby, "box=no", {"g"}, 3, "");
        row("wrong password three times", Script::WrongPassword, "login=ok", {"g"}, 4, "");
        row("game refused", Script::GameRefused, "", {"g"}, 4, "");
    }
    void outcomes()
    {
        QFETCH(int, script);
        QFETCH(QString, autopilot);
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, out);
        ScriptedServer server;
        prepare(server, Script(script));
        Options o;
        o.autopilot = autopilot.isEmpty() ? QStringLiteral("box=no") : autopilot;
        const Run r = run(args, o);
        QVERIFY2(r.exitCode == exitCode, r.err.constData());
        QCOMPARE(r.out, out);
        if (exitCode != 0)
            QCOMPARE(r.err.count("qorchat: "), 1);
        if (Script(script) == Script::StartMatch) {
            QCOMPARE(server.received.mid(0, 2).last(), args.contains("--host") ? "HOST yes" : "HOST no");
            QVERIFY(server.received.contains("QUIT"));
            QCOMPARE(settings::GetSetting("dbg", "gname"), QStringLiteral("Game[1]"));
        }
        if (Script(script) == Script::WrongPassword)
            QCOMPARE(server.received.filter(QRegularExpression("^LOGIN ")).size(), 3);
    }

    void nothingListening()
    {
        env.storeReturningUser(QString::number(closedPort()), "taro", "pw");
        Options o;
        o.autopilot = QStringLiteral("box=no");
        const Run r = run({"g"}, o);
        QCOMPARE(r.exitCode, 5);
        QCOMPARE(r.out, QByteArray());
        QVERIFY(r.err.contains("autopilot: box: ロビーサーバーに接続できませんでした"));
    }

    // Whatever a server puts into HOSTIP, the launcher prints a plain address or,
    // with a status of its own, nothing: never the host's empty line.
    void hostAddressIsChecked_data()
    {
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<QByteArray>("out");
        QTest::newRow("IPv4") << QByteArray("203.0.113.9") << QByteArray("203.0.113.9\n");
        QTest::newRow("IPv6") << QByteArray("2001:db8::5") << QByteArray("2001:db8::5\n");
        QTest::newRow("longest IPv6") << QByteArray("0000:0000:0000:0000:0000:ffff:255.255.255.255")
                                      << QByteArray("0000:0000:0000:0000:0000:ffff:255.255.255.255\n");
        QTest::newRow("line feed") << QByteArray("203.0.113.9\n203.0.113.10") << QByteArray();
        QTest::newRow("escape") << QByteArray("\x1b[2J203.0.113.9") << QByteArray();
        QTest::newRow("scope id") << QByteArray("fe80::1%eth0") << QByteArray();
        QTest::newRow("300 bytes") << QByteArray(300, '1') << QByteArray();
        QTest::newRow("host name") << QByteArray("evil.example") << QByteArray();
        QTest::newRow("short IPv4") << QByteArray("127.1") << QByteArray();
    }
    void hostAddressIsChecked()
    {
        QFETCH(QByteArray, token);
        QFETCH(QByteArray, out);
        ScriptedServer server;
        prepare(server, Script::StartMatch, QString::fromLatin1("HOSTIP " + token));
        const Run r = run({"g"});
        QCOMPARE(r.exitCode, out.isEmpty() ? 7 : 0);
        QCOMPARE(r.out, out);
        if (out.isEmpty())
            QVERIFY(r.err.contains("no usable address"));
        QCOMPARE(settings::GetSetting("dbg", "hostip"), QString::fromLatin1(out.isEmpty() ? out : out.chopped(1)));
    }

    // --server beats QORCHAT_SERVER, which beats the settings file; none of them
    // is written to the file.
    void serverChoice_data()
    {
        QTest::addColumn<QString>("flag");   // "" none; otherwise a pattern: %1 is the good port
        QTest::addColumn<QString>("envVar"); // the same
        QTest::addColumn<bool>("ipv6");
        QTest::addColumn<bool>("tls"); // the server speaks plain text: a TLS client gives up
        QTest::newRow("environment over settings") << QString() << "127.0.0.1:%1" << false << false;
        QTest::newRow("flag over environment") << "127.0.0.1:%1" << "127.0.0.1:%2" << false << false;
        QTest::newRow("flag over settings, IPv6") << "[::1]:%1" << QString() << true << false;
        QTest::newRow("environment IPv6") << QString() << "[::1]:%1" << true << false;
        QTest::newRow("tls flag") << "TLS://127.0.0.1:%1" << "127.0.0.1:%2" << false << true;
        QTest::newRow("tls environment, IPv6") << QString() << "tls://[::1]:%1" << true << true;
    }
    void serverChoice()
    {
        QFETCH(QString, flag);
        QFETCH(QString, envVar);
        QFETCH(bool, ipv6);
        QFETCH(bool, tls);
        ScriptedServer server(ipv6 ? QHostAddress(QHostAddress::LocalHostIPv6) : QHostAddress(QHostAddress::LocalHost));
        prepare(server, Script::StartMatch);
        const QString wrongPort = QString::number(closedPort());
        settings::SaveSetting("server", "address", "127.0.0.1");
        settings::SaveSetting("server", "port", wrongPort);
        QStringList args;
        if (!flag.isEmpty())
            args << "--server" << QString(flag).replace("%1", server.portText()).replace("%2", wrongPort);
        args << "g";
        Options o;
        o.autopilot = QStringLiteral("box=no");
        if (!envVar.isEmpty())
            o.set.insert("QORCHAT_SERVER", QString(envVar).replace("%1", server.portText()).replace("%2", wrongPort));
        const Run r = run(args, o);
        if (tls) {
            // It reached the chosen server and sent it no line in clear.
            QVERIFY2(r.exitCode == 5, r.err.constData());
            QVERIFY(server.connections() > 0);
            QVERIFY(server.received.filter(QRegularExpression("^(GAMENAME|HOST|LOGIN)")).isEmpty());
        } else {
            QCOMPARE(r.exitCode, 0);
            QCOMPARE(r.out, QByteArray("198.51.100.7\n"));
        }
        QCOMPARE(settings::GetSetting("server", "address"), QStringLiteral("127.0.0.1"));
        QCOMPARE(settings::GetSetting("server", "port"), wrongPort);
    }

    // A game that has its own globals with the library's internal names keeps
    // them: the library neither uses nor changes them.
    void internalNamesStayInside()
    {
        ScriptedServer server;
        prepare(server, Script::StartMatch);
        Options o;
        o.program = QStringLiteral(QORCHAT_INTERPOSE_PROBE);
        const Run r = run({}, o);
        QVERIFY2(r.exitCode == 0, r.out + r.err);
        QVERIFY(r.out.contains("address 198.51.100.7 outcome 1"));
        QVERIFY(server.received.contains("QUIT"));
    }
};

QTEST_GUILESS_MAIN(TstLauncher)
#include "tst_launcher.moc"
