#include "support/testenv.h"

#include <QProcess>
#include <QTest>

class TstLauncher : public QObject {
    Q_OBJECT

    struct Run {
        int exitCode = -1;
        QByteArray out, err;
    };
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
        if (!p.waitForFinished(60000)) {
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

    void gameRunPrintsTheAddressLine()
    {
        const Run r = run({"--host", "SomeGame"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QByteArray("\n"));
    }
};

QTEST_GUILESS_MAIN(TstLauncher)
#include "tst_launcher.moc"
