#include "session/lobbyModule.h"
#include "session/settings.h"
#include "support/scriptedserver.h"
#include "support/testenv.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QTimer>

class TstLauncher : public QObject {
    Q_OBJECT

    struct Run {
        int exitCode = -1;
        QByteArray out, err;
    };
    // Runs the launcher while this process's event loop keeps going (a scripted
    // server may need to answer it).
    Run run(const QStringList &args)
    {
        Run r;
        QProcess p;
        p.setProgram(QStringLiteral(QORCHAT_LAUNCHER));
        p.setArguments(args);
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("QT_QPA_PLATFORM", "offscreen");
        e.insert("XDG_CONFIG_HOME", env.configHome());
        p.setProcessEnvironment(e);
        p.start();
        QElapsedTimer t;
        t.start();
        while (p.state() != QProcess::NotRunning && t.elapsed() < 60000)
            QTest::qWait(10);
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }
    TestEnv env;

private slots:
    void arguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("stdoutStart");
        QTest::newRow("help") << QStringList{"--help"} << 0 << QByteArray("usage: qorchat");
        QTest::newRow("version") << QStringList{"--version"} << 0 << QByteArray("qorchat 1.");
        QTest::newRow("no game") << QStringList{} << 2 << QByteArray();
        QTest::newRow("empty game") << QStringList{""} << 2 << QByteArray();
        QTest::newRow("unknown option") << QStringList{"--port", "1", "g"} << 2 << QByteArray();
        QTest::newRow("two games") << QStringList{"a", "b"} << 2 << QByteArray();
    }
    void arguments()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, stdoutStart);
        const Run r = run(args);
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY(r.out.startsWith(stdoutStart));
        if (exitCode != 0)
            QVERIFY(r.err.contains("usage: qorchat"));
    }

    // A joining player with a stored account signs in, sits in the lobby, and the
    // match starts: the launcher prints the host's address.
    void joiningPlayerGetsTheHostAddress_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QString>("hostLine");
        QTest::newRow("client") << QStringList{"Game[1]"} << QByteArray("198.51.100.7\n") << "HOST no";
        QTest::newRow("host gets empty") << QStringList{"--host", "Game[1]"} << QByteArray("\n") << "HOST yes";
    }
    void joiningPlayerGetsTheHostAddress()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, out);
        QFETCH(QString, hostLine);
        ScriptedServer server;
        for (const char *k : {"GAMENAME", "HOST", "LOGIN"})
            server.on(k, {"+OK"});
        server.on("CHATDATA", {"CHATDATA よろしく@", "+OK"});
        server.on("ROOMLIST", {"ROOMLIST \nroom 1/8"});
        server.onLine = [&](const QString &line) {
            if (line == QLatin1String("ROOMLIST")) // the lobby is up once the list is in
                QTimer::singleShot(1000, &server, [&] {
                    server.sendLine("LMESSAGE host hi");
                    server.sendLine("HOSTIP 198.51.100.7");
                    server.sendLine("START");
                });
        };
        env.storeReturningUser(server.portText(), "taro", "pass~word");
        const Run r = run(args);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, out);
        QCOMPARE(server.received.mid(0, 3), (QStringList{"GAMENAME Game\\[1\\]", hostLine, "LOGIN taro pass~word"}));
        QVERIFY(server.received.contains("QUIT"));
        QCOMPARE(settings::GetSetting("dbg", "gname"), QStringLiteral("Game[1]"));
    }
};

QTEST_GUILESS_MAIN(TstLauncher)
#include "tst_launcher.moc"
