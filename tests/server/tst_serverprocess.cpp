// The qorchat-server executable: its command line, the line it prints when it
// listens, its errors, its log, the modes of its files and its signals.
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>

#include "lobbyclient.h"

namespace {

struct Running {
    std::unique_ptr<QProcess> process;
    quint16 port = 0;
};

Running start(const QStringList &args, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
              rlim_t maxFiles = 0)
{
    Running r;
    r.process = std::make_unique<QProcess>();
    r.process->setProcessEnvironment(env);
    if (maxFiles) {
        r.process->setChildProcessModifier([maxFiles] {
            const rlimit rl{maxFiles, maxFiles};
            ::setrlimit(RLIMIT_NOFILE, &rl);
        });
    }
    // Small hashes keep the sanitizer build quick; the product's default is tested apart.
    QStringList all = args;
    if (!all.contains(QStringLiteral("--hash-memory")))
        all << QStringLiteral("--hash-memory") << QStringLiteral("8") << QStringLiteral("--hash-passes") << QStringLiteral("1");
    r.process->start(QStringLiteral(QORCHAT_SERVER_EXE), all);
    if (!r.process->waitForStarted(5000))
        return r;
    while (!r.process->canReadLine() && r.process->state() == QProcess::Running)
        r.process->waitForReadyRead(5000);
    const QString line = QString::fromUtf8(r.process->readLine());
    static const QRegularExpression re(QStringLiteral("^listening on 127\\.0\\.0\\.1:(\\d+)\\n$"));
    const auto m = re.match(line);
    if (m.hasMatch())
        r.port = quint16(m.captured(1).toUInt());
    else
        qWarning("unexpected output: %s / %s", qPrintable(line), r.process->readAllStandardError().constData());
    return r;
}

int mode(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

bool stop(QProcess &p, int sig)
{
    ::kill(pid_t(p.processId()), sig);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace

class TestServerProcess : public QObject {
    Q_OBJECT
private slots:
    void servesAndStopsCleanly_data();
    void servesAndStopsCleanly();
    void defaultDatabaseLocation();
    void gamesFile();
    void outOfDescriptors();
    void stopDropsQueuedHashes();
    void errors_data();
    void errors();
    void privateFiles();
    void logLines_data();
    void logLines();
    void versionAndHelp();
    void journalLines();
    void adminCommandLine_data();
    void adminCommandLine();
    void reloadConfigAndBackup();
};

void TestServerProcess::servesAndStopsCleanly_data()
{
    QTest::addColumn<int>("sig");
    QTest::addColumn<QStringList>("loop");
    QTest::newRow("SIGTERM") << int(SIGTERM) << QStringList();
    QTest::newRow("SIGINT") << int(SIGINT) << QStringList();
    QTest::newRow("SIGTERM, Qt's event loop") << int(SIGTERM) << QStringList{"--event-loop", "qt"};
    QTest::newRow("SIGINT, epoll loop named") << int(SIGINT) << QStringList{"--event-loop=epoll"};
}

void TestServerProcess::servesAndStopsCleanly()
{
    QFETCH(int, sig);
    QFETCH(QStringList, loop);
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("lobby.sqlite"));
    const QStringList args = QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"), db} + loop;
    {
        Running server = start(args);
        QVERIFY(server.port != 0);
        LobbyClient c(server.port);
        QVERIFY(c.signIn(QStringLiteral("DemoGame"), true, QStringLiteral("taro")));
        QCOMPARE(c.call(QStringLiteral("CREATEROOM r")), QStringLiteral("+OK"));
        // SIGHUP re-reads the files it was given, here none, and leaves the lobby alone.
        ::kill(pid_t(server.process->processId()), SIGHUP);
        QByteArray log;
        QTRY_VERIFY2((log += server.process->readAllStandardError()).contains("reloaded: nothing to reload"),
                     log.constData());
        QVERIFY(c.sync());
        QVERIFY(stop(*server.process, sig));
        QVERIFY(c.waitForDisconnected());
        QCOMPARE(server.process->readAllStandardOutput(), QByteArray());
    }
    // The database is whole afterwards: the account is there, the write-ahead log merged.
    QVERIFY(!QFile::exists(db + QStringLiteral("-wal")));
    Running again = start(args);
    QVERIFY(again.port != 0);
    LobbyClient c(again.port);
    QVERIFY(!c.status().isNull());
    QCOMPARE(c.call(QStringLiteral("GAMENAME DemoGame")), QStringLiteral("+OK"));
    QCOMPARE(c.call(QStringLiteral("LOGIN taro secret1")), QStringLiteral("+OK"));
    c.send(QStringLiteral("WEEKCHART"));
    QCOMPARE(c.take(QStringLiteral("WEEKCHART")).section(u' ', 2, 2), QStringLiteral("2"));
    QVERIFY(stop(*again.process, SIGTERM));
}

void TestServerProcess::defaultDatabaseLocation()
{
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir.path());
    Running server = start({QStringLiteral("--port"), QStringLiteral("0")}, env);
    QVERIFY(server.port != 0);
    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("qorchat-server/lobby.sqlite"))));
    QVERIFY(stop(*server.process, SIGTERM));
}

void TestServerProcess::gamesFile()
{
    QTemporaryDir dir;
    QFile games(dir.filePath(QStringLiteral("games.json")));
    QVERIFY(games.open(QIODevice::WriteOnly));
    games.write(R"([{"name": "Go", "id": 5, "minPlayers": 2, "maxPlayers": 2, "topmost": false, "phrases": ["よろしく"]}])");
    games.close();
    Running server = start({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"),
                            QStringLiteral(":memory:"), QStringLiteral("--games"), games.fileName(),
                            QStringLiteral("--max-clients"), QStringLiteral("1")});
    QVERIFY(server.port != 0);
    LobbyClient c(server.port);
    QVERIFY(c.signIn(QStringLiteral("Go"), false, QStringLiteral("taro")));
    QCOMPARE(c.take(QStringLiteral("GAMEINFO")), QStringLiteral("GAMEINFO 5 2 0 False"));
    QCOMPARE(c.call(QStringLiteral("CHATDATA")), QStringLiteral("+OK"));
    QCOMPARE(c.take(QStringLiteral("CHATDATA")), QStringLiteral("CHATDATA よろしく@"));
    LobbyClient second(server.port);
    QVERIFY(second.status().startsWith(QLatin1String("-ERR 100")));
    QCOMPARE(c.call(QStringLiteral("GAMENAME DemoGame")), QStringLiteral("-ERR 2"));
    QVERIFY(stop(*server.process, SIGTERM));
}

void TestServerProcess::outOfDescriptors()
{
    if (QORCHAT_SANITIZED_SERVER)
        QSKIP("UBSan's vptr check probes memory through a new pipe: with no descriptor left it calls "
              "valid objects broken and stops the server, and a suppression cannot match a report it "
              "cannot symbolize without a descriptor either. The plain build runs this test.");
    // Room for a few dozen connections besides what the server needs for itself.
    Running server = start({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"),
                            QStringLiteral(":memory:")},
                           QProcessEnvironment::systemEnvironment(), 100);
    QVERIFY(server.port != 0);
    std::vector<std::unique_ptr<LobbyClient>> clients;
    for (int i = 0; i < 120; ++i)
        clients.push_back(std::make_unique<LobbyClient>(server.port));
    // Everyone hears at once: greeted, or told the server is full.
    LobbyClient *greeted = nullptr;
    int full = 0;
    for (auto &c : clients) {
        const QString status = c->status();
        QVERIFY2(status.startsWith(QLatin1String("+OK ")) || status == QLatin1String("-ERR 100 server full"),
                 qPrintable(status));
        if (status.startsWith(u'+'))
            greeted = c.get();
        else
            ++full;
    }
    QVERIFY(greeted);
    QVERIFY(full > 0);
    // While full, a sign-in still has its password hashed and answered.
    QCOMPARE(greeted->call(QStringLiteral("GAMENAME DemoGame")), QStringLiteral("+OK"));
    QCOMPARE(greeted->call(QStringLiteral("REGISTUSER taro secret1 t@x.jp")), QStringLiteral("+OK"));
    QCOMPARE(greeted->call(QStringLiteral("LOGIN taro secret1")), QStringLiteral("+OK"));
    // Once the connections are gone, newcomers are served again.
    for (auto &c : clients) {
        if (c.get() != greeted)
            c->socket().abort();
    }
    bool served = false;
    for (int i = 0; i < 50 && !served; ++i) {
        LobbyClient late(server.port);
        served = late.status().startsWith(QLatin1String("+OK "));
        if (!served)
            QTest::qWait(100);
    }
    QVERIFY(served);
    QVERIFY(greeted->sync());
    QVERIFY(stop(*server.process, SIGTERM));
}

void TestServerProcess::stopDropsQueuedHashes()
{
    // Hashes slow enough that registrations queue up behind two threads.
    Running server = start({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"),
                            QStringLiteral(":memory:"), QStringLiteral("--hash-memory"), QStringLiteral("16384"),
                            QStringLiteral("--hash-passes"), QStringLiteral("4")});
    QVERIFY(server.port != 0);
    std::vector<std::unique_ptr<LobbyClient>> clients;
    for (int i = 0; i < 30; ++i) {
        clients.push_back(std::make_unique<LobbyClient>(server.port, QHostAddress(QStringLiteral("127.0.1.%1").arg(i + 1))));
        QVERIFY(!clients.back()->status().isNull());
    }
    for (size_t i = 0; i < clients.size(); ++i)
        clients[i]->send(QStringLiteral("REGISTUSER user%1 secret1 u@x.jp").arg(i));
    QCOMPARE(clients.front()->status(30000), QStringLiteral("+OK"));
    QVERIFY(stop(*server.process, SIGTERM));
    // The queue was dropped rather than worked through, and the last line comes
    // once the server really stopped.
    const QStringList log = QString::fromUtf8(server.process->readAllStandardError()).split(u'\n', Qt::SkipEmptyParts);
    static const QRegularExpression dropped(QStringLiteral(" stopping: (\\d+) queued password hashes dropped"));
    const auto line = std::find_if(log.begin(), log.end(), [](const QString &l) { return dropped.match(l).hasMatch(); });
    QVERIFY2(line != log.end(), qPrintable(log.join(u'\n')));
    QVERIFY(dropped.match(*line).captured(1).toInt() > 0);
    QVERIFY(log.last().endsWith(QLatin1String(" stopped")));
}

void TestServerProcess::errors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("stderrHas");
    QTest::newRow("bad port") << QStringList{"--port", "http"} << "--port";
    QTest::newRow("port too large") << QStringList{"--port", "70000"} << "--port";
    QTest::newRow("bad address") << QStringList{"--listen", "localhost.invalid"} << "--listen";
    QTest::newRow("no clients") << QStringList{"--max-clients", "0"} << "--max-clients";
    QTest::newRow("unknown option") << QStringList{"--verbose"} << "verbose";
    QTest::newRow("missing games file") << QStringList{"--games", "@DIR@/none.json"} << "none.json";
    QTest::newRow("bad games file") << QStringList{"--games", "@DIR@/bad.json"} << "bad.json";
    QTest::newRow("not a database") << QStringList{"--db", "@DIR@/bad.json"} << "bad.json";
    QTest::newRow("port in use") << QStringList{"--port", "@PORT@"} << "cannot listen";
    QTest::newRow("bad log level") << QStringList{"--log-level", "loud"} << "--log-level";
    QTest::newRow("bad event loop") << QStringList{"--event-loop", "poll"} << "--event-loop: not epoll or qt: poll";
    QTest::newRow("hash memory too small") << QStringList{"--hash-memory", "4"} << "--hash-memory";
    QTest::newRow("no hash passes") << QStringList{"--hash-passes", "0"} << "--hash-passes";
    QTest::newRow("bad sign-in timeout") << QStringList{"--signin-timeout", "-1"} << "--signin-timeout";
    QTest::newRow("bad per-address cap") << QStringList{"--max-per-address", "x"} << "--max-per-address";
    QTest::newRow("bad metrics address") << QStringList{"--metrics", "localhost:x"} << "--metrics";
    QTest::newRow("bad flood limit") << QStringList{"--flood-lines", "-3"} << "--flood-lines";
    QTest::newRow("missing word list") << QStringList{"--word-list", "@DIR@/none.txt"} << "none.txt";
    QTest::newRow("missing config") << QStringList{"--config", "@DIR@/none.conf"} << "none.conf";
    QTest::newRow("unknown option in config") << QStringList{"--config", "@DIR@/bad.json"} << "Unknown option";
    QTest::newRow("backup onto a file") << QStringList{"--backup", "@DIR@/bad.json"} << "exists already";
}

void TestServerProcess::errors()
{
    QFETCH(QStringList, args);
    QFETCH(QString, stderrHas);
    QTemporaryDir dir;
    QFile bad(dir.filePath(QStringLiteral("bad.json")));
    QVERIFY(bad.open(QIODevice::WriteOnly));
    bad.write(QByteArray(2048, '{'));
    bad.close();
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    for (QString &a : args) {
        a.replace(QStringLiteral("@DIR@"), dir.path());
        a.replace(QStringLiteral("@PORT@"), QString::number(taken.serverPort()));
    }
    if (!args.contains(QStringLiteral("--db")))
        args << QStringLiteral("--db") << QStringLiteral(":memory:");
    if (!args.contains(QStringLiteral("--port")))
        args << QStringLiteral("--port") << QStringLiteral("0");

    QProcess p;
    p.start(QStringLiteral(QORCHAT_SERVER_EXE), args);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QVERIFY(p.exitCode() != 0);
    QCOMPARE(p.readAllStandardOutput(), QByteArray());
    QVERIFY2(QString::fromUtf8(p.readAllStandardError()).contains(stderrHas), qPrintable(stderrHas));
}

void TestServerProcess::privateFiles()
{
    QTemporaryDir dir;
    // A missing folder is made 0700, the database 0600.
    const QString fresh = dir.filePath(QStringLiteral("new/lobby.sqlite"));
    Running a = start({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"), fresh});
    QVERIFY(a.port != 0);
    LobbyClient c(a.port);
    QVERIFY(c.signIn(QStringLiteral("DemoGame"), false, QStringLiteral("taro")));
    QCOMPARE(mode(dir.filePath(QStringLiteral("new"))), 0700);
    QCOMPARE(mode(fresh), 0600);
    QCOMPARE(mode(fresh + QStringLiteral("-wal")), 0600);
    QVERIFY(stop(*a.process, SIGTERM));
    // A database others could read, from an older version, is closed to them.
    const QString old = dir.filePath(QStringLiteral("old.sqlite"));
    QVERIFY(QFile::copy(fresh, old));
    QVERIFY(QFile::setPermissions(old, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    QCOMPARE(mode(old), 0644);
    Running b = start({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"), old});
    QVERIFY(b.port != 0);
    QCOMPARE(mode(old), 0600);
    QVERIFY(stop(*b.process, SIGTERM));
}

void TestServerProcess::logLines_data()
{
    QTest::addColumn<QString>("level");
    QTest::addColumn<bool>("infoShown");
    QTest::newRow("default") << QString() << true;
    QTest::newRow("debug") << "debug" << true;
    QTest::newRow("warning") << "warning" << false;
}

void TestServerProcess::logLines()
{
    QFETCH(QString, level);
    QFETCH(bool, infoShown);
    QStringList args{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"), QStringLiteral(":memory:"),
                     QStringLiteral("--max-clients"), QStringLiteral("1")};
    if (!level.isEmpty())
        args << QStringLiteral("--log-level") << level;
    Running server = start(args);
    QVERIFY(server.port != 0);
    {
        LobbyClient c(server.port);
        QVERIFY(c.signIn(QStringLiteral("DemoGame"), false, QStringLiteral("taro")));
        QCOMPARE(c.call(QStringLiteral("LOGIN taro secret1")), QStringLiteral("-ERR 1"));
        LobbyClient full(server.port);
        QVERIFY(full.status().startsWith(QLatin1String("-ERR 100")));
        c.send(QStringLiteral("QUIT"));
        QVERIFY(c.waitForDisconnected());
    }
    QVERIFY(stop(*server.process, SIGTERM));
    const QString log = QString::fromUtf8(server.process->readAllStandardError());
    static const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3} "));
    const QStringList lines = log.split(u'\n', Qt::SkipEmptyParts);
    for (const QString &l : lines)
        QVERIFY2(stamp.match(l).hasMatch(), qPrintable(l));
    const auto has = [&](const char *text) {
        return std::any_of(lines.begin(), lines.end(), [&](const QString &l) { return l.contains(QLatin1String(text)); });
    };
    QCOMPARE(has(" info sign-in: taro from 127.0.0.1"), infoShown);
    QCOMPARE(has(" info sign-out: taro from 127.0.0.1"), infoShown);
    QCOMPARE(has(" info started "), infoShown);
    QCOMPARE(has(" debug command from 127.0.0.1: LOGIN taro"), level == QLatin1String("debug"));
    QVERIFY(!log.contains(QLatin1String("secret1")));
    QVERIFY(has(" warning limit: 127.0.0.1 refused, server full"));
}

void TestServerProcess::versionAndHelp()
{
    QProcess p;
    p.start(QStringLiteral(QORCHAT_SERVER_EXE), {QStringLiteral("--version")});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(QRegularExpression(QStringLiteral("^qorchat-server \\d+\\.\\d+\\.\\d+\\n$"))
                .match(QString::fromUtf8(p.readAllStandardOutput()))
                .hasMatch());
    p.start(QStringLiteral(QORCHAT_SERVER_EXE), {QStringLiteral("--help")});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 0);
    const QString help = QString::fromUtf8(p.readAllStandardOutput()).simplified();
    for (const char *expected : {"(default: 2300)", "(default: 1000)", "(default: 60)", "(default: 19456)",
                                 "(default: 2)", "(default: info)", "(default: 0)", "(default: 20)", "(default: 3600)",
                                 "--admin-socket <PATH>", "--metrics <HOST:PORT>", "--backup <FILE>", "--config <FILE>"})
        QVERIFY2(help.contains(QLatin1String(expected)), expected);
}

void TestServerProcess::journalLines()
{
    // Under systemd standard error is the journal's stream, named by JOURNAL_STREAM.
    QTemporaryDir dir;
    const QString logFile = dir.filePath(QStringLiteral("journal"));
    QFile(logFile).open(QIODevice::WriteOnly);
    struct stat st {};
    QVERIFY(::stat(QFile::encodeName(logFile).constData(), &st) == 0);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("JOURNAL_STREAM"), QStringLiteral("%1:%2").arg(st.st_dev).arg(st.st_ino));
    QProcess p;
    p.setProcessEnvironment(env);
    p.setStandardErrorFile(logFile);
    p.start(QStringLiteral(QORCHAT_SERVER_EXE), {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"),
                                                 QStringLiteral(":memory:"), QStringLiteral("--max-clients"),
                                                 QStringLiteral("1")});
    QVERIFY(p.waitForReadyRead(10000));
    const auto port = QString::fromUtf8(p.readLine()).section(u':', -1).trimmed().toUShort();
    LobbyClient a(port);
    QVERIFY(!a.status().isNull());
    LobbyClient full(port);
    QVERIFY(full.status().startsWith(QLatin1String("-ERR 100")));
    QVERIFY(stop(p, SIGTERM));
    QFile log(logFile);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    QVERIFY2(text.startsWith("<6>started "), text.constData());
    QVERIFY2(text.contains("\n<4>limit: 127.0.0.1 refused, server full"), text.constData());
}

void TestServerProcess::adminCommandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // in standard output, or in standard error on failure
    QTest::newRow("status") << QStringList{"status"} << 0 << "1 connections, 1 signed in here";
    QTest::newRow("players") << QStringList{"players"} << 0 << "address=127.0.0.1 game=DemoGame host=no user=taro";
    QTest::newRow("json") << QStringList{"--json", "kick", "taro"} << 0 << R"({"message":"kicked taro","ok":true})";
    QTest::newRow("audit after kick") << QStringList{"kick", "taro", "--as", "ann", "--reason", "rude"} << 0
                                      << "kicked taro";
    QTest::newRow("refused") << QStringList{"ban", "nobody"} << 1 << "qorchat-admin: no such account: nobody\n";
    QTest::newRow("refused as JSON") << QStringList{"--json", "unmute", "taro"} << 1 << R"("ok":false)";
    QTest::newRow("unknown command") << QStringList{"shout"} << 2 << "unknown command shout";
    QTest::newRow("bad duration") << QStringList{"ban", "taro", "--for", "5x"} << 2 << "--for: not a duration: 5x";
    QTest::newRow("no server") << QStringList{"--socket", "@DIR@/none.sock", "status"} << 3 << "none.sock";
    QTest::newRow("help lists the commands") << QStringList{"--help"} << 0 << "reset-password USER";
}

void TestServerProcess::adminCommandLine()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QTemporaryDir dir;
    Running server = start({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"),
                            dir.filePath(QStringLiteral("lobby.sqlite"))});
    QVERIFY(server.port != 0);
    const QString socket = dir.filePath(QStringLiteral("admin.sock"));
    QCOMPARE(mode(socket), 0600);
    LobbyClient taro(server.port);
    QVERIFY(taro.signIn(QStringLiteral("DemoGame"), false, QStringLiteral("taro")));
    for (QString &a : args)
        a.replace(QStringLiteral("@DIR@"), dir.path());
    QProcess admin;
    admin.start(QStringLiteral(QORCHAT_ADMIN_EXE), QStringList{QStringLiteral("--socket"), socket} + args);
    QVERIFY(admin.waitForFinished(20000));
    QCOMPARE(admin.exitCode(), exitCode);
    const QString out = QString::fromUtf8(exitCode && !args.contains(QStringLiteral("--json"))
                                              ? admin.readAllStandardError()
                                              : admin.readAllStandardOutput());
    QVERIFY2(out.contains(output), qPrintable(out));
    if (args.contains(QStringLiteral("--reason"))) {
        QVERIFY(taro.waitForDisconnected());
        admin.start(QStringLiteral(QORCHAT_ADMIN_EXE), {QStringLiteral("--socket"), socket, QStringLiteral("audit")});
        QVERIFY(admin.waitForFinished(20000));
        const QString audit = QString::fromUtf8(admin.readAllStandardOutput());
        QVERIFY2(QRegularExpression(QStringLiteral("^action=kick actor=ann via \\S+ \\(uid \\d+\\) at=\\S+Z reason=rude "
                                                   "target=taro\n1 entries\n$"))
                     .match(audit)
                     .hasMatch(),
                 qPrintable(audit));
    }
    QVERIFY(stop(*server.process, SIGTERM));
    QVERIFY(!QFile::exists(socket));
}

void TestServerProcess::reloadConfigAndBackup()
{
    QTemporaryDir dir;
    const QString words = dir.filePath(QStringLiteral("words.txt"));
    const auto writeFile = [](const QString &path, const QByteArray &text) {
        QFile f(path);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
    };
    QVERIFY(writeFile(words, "darn\n"));
    const QString config = dir.filePath(QStringLiteral("server.conf"));
    QVERIFY(writeFile(config, QStringLiteral("# options\nport = 1\nword-list = %1\n\nflood-lines=0\n").arg(words).toUtf8()));
    const QString db = dir.filePath(QStringLiteral("lobby.sqlite"));
    // The command line's port wins over the file's.
    Running server = start({QStringLiteral("--config"), config, QStringLiteral("--port"), QStringLiteral("0"),
                            QStringLiteral("--db"), db});
    QVERIFY(server.port != 0);
    LobbyClient taro(server.port);
    QVERIFY(taro.signIn(QStringLiteral("DemoGame"), false, QStringLiteral("taro")));
    taro.send(QStringLiteral("LMESSAGE darn heck"));
    QCOMPARE(taro.take(QStringLiteral("LMESSAGE")), QStringLiteral("LMESSAGE taro **** heck"));

    // A bad word list on SIGHUP changes nothing; a good one takes over.
    QVERIFY(QFile::remove(words));
    ::kill(pid_t(server.process->processId()), SIGHUP);
    QByteArray log;
    QTRY_VERIFY2((log += server.process->readAllStandardError()).contains("reload failed, nothing changed"), log.constData());
    taro.send(QStringLiteral("LMESSAGE darn heck"));
    QCOMPARE(taro.take(QStringLiteral("LMESSAGE")), QStringLiteral("LMESSAGE taro **** heck"));
    QVERIFY(writeFile(words, "heck\n"));
    ::kill(pid_t(server.process->processId()), SIGHUP);
    QTRY_VERIFY2((log += server.process->readAllStandardError()).contains("reloaded: word list (1 words)"), log.constData());
    taro.send(QStringLiteral("LMESSAGE darn heck"));
    QCOMPARE(taro.take(QStringLiteral("LMESSAGE")), QStringLiteral("LMESSAGE taro darn ****"));

    // A copy taken while the server runs holds the account.
    const QString copy = dir.filePath(QStringLiteral("copy.sqlite"));
    QProcess backup;
    backup.start(QStringLiteral(QORCHAT_SERVER_EXE), {QStringLiteral("--db"), db, QStringLiteral("--backup"), copy});
    QVERIFY(backup.waitForFinished(20000));
    QVERIFY2(backup.exitCode() == 0, backup.readAllStandardError().constData());
    QVERIFY(stop(*server.process, SIGTERM));
    Running restored = start({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"), copy});
    QVERIFY(restored.port != 0);
    LobbyClient again(restored.port);
    QVERIFY(!again.status().isNull());
    QCOMPARE(again.call(QStringLiteral("GAMENAME DemoGame")), QStringLiteral("+OK"));
    QCOMPARE(again.call(QStringLiteral("LOGIN taro secret1")), QStringLiteral("+OK"));
    QVERIFY(stop(*restored.process, SIGTERM));
}

QTEST_GUILESS_MAIN(TestServerProcess)
#include "tst_serverprocess.moc"
