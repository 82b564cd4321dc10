// The install as a game developer meets it: the build installed into a scratch
// prefix, and the examples of docs/embedding.md built against that prefix only
// (C with pkg-config, C++ with find_package) and run, one of them through a whole
// match against the reference server.
#include "lobbyclient.h"
#include "net/protocol/protocol.h"
#include "session/lobbyModule.h"
#include "session/settings.h"
#include "support/serverprocess.h"
#include "support/testenv.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class TstInstall : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_prefix, m_examples, m_libdir;
    ServerProcess m_server;

    struct Result {
        int code = -1;
        QByteArray out, err;
    };
    static QProcessEnvironment baseEnv()
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        // Only what the prefix holds, never the build tree.
        for (const char *v : {"LD_LIBRARY_PATH", "PKG_CONFIG_PATH", "CMAKE_PREFIX_PATH", "QORCHAT_SERVER", "LD_PRELOAD"})
            e.remove(QString::fromLatin1(v));
        // A sanitizer build's library needs its runtime, which a plain program
        // loads late. Leak checks stay off in these hosts: the component keeps its
        // Qt application and windows for the next call until the process ends, and
        // an uninstrumented host gives LeakSanitizer no stacks to tell which is which.
        e.insert("ASAN_OPTIONS", e.value("ASAN_OPTIONS") + QStringLiteral(":verify_asan_link_order=0:detect_leaks=0"));
        return e;
    }
    // Runs a program to its end while this process's event loop keeps going.
    static Result run(const QString &program, const QStringList &args, const QProcessEnvironment &env = baseEnv(),
                      const std::function<void()> &whileRunning = {})
    {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(program, args);
        if (!p.waitForStarted())
            return {};
        if (whileRunning)
            whileRunning();
        while (p.state() != QProcess::NotRunning)
            QTest::qWait(20);
        Result r;
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }
    static QProcessEnvironment noDisplay()
    {
        QProcessEnvironment e = baseEnv();
        for (const char *v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            e.remove(QString::fromLatin1(v));
        return e;
    }
    QProcessEnvironment pkgConfigEnv() const
    {
        QProcessEnvironment e = baseEnv();
        e.insert("PKG_CONFIG_LIBDIR", m_libdir + QStringLiteral("/pkgconfig"));
        return e;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_prefix = m_dir.filePath("prefix");
        m_examples = m_dir.filePath("examples");
        const Result r = run(QStringLiteral(QORCHAT_CMAKE), {"--install", QStringLiteral(QORCHAT_BUILD_DIR), "--prefix", m_prefix});
        QVERIFY2(r.code == 0, r.out + r.err);
        const QStringList pcs = QDir(m_prefix).entryList({"*"}, QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &lib : {QStringLiteral("lib"), QStringLiteral(QORCHAT_LIBDIR)})
            if (QFile::exists(m_prefix + u'/' + lib + QStringLiteral("/pkgconfig/qorchat.pc")))
                m_libdir = m_prefix + u'/' + lib;
        QVERIFY2(!m_libdir.isEmpty(), qPrintable(pcs.join(u' ')));

        // The examples exactly as the page shows them.
        QFile doc(QStringLiteral(QORCHAT_SOURCE_DIR "/docs/embedding.md"));
        QVERIFY(doc.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(doc.readAll());
        static const QRegularExpression block(QStringLiteral("<!-- file: (\\S+) -->\\n```\\w*\\n(.*?)```"),
                                              QRegularExpression::DotMatchesEverythingOption);
        int files = 0;
        for (auto it = block.globalMatch(text); it.hasNext(); ++files) {
            const auto m = it.next();
            const QString path = m_examples + u'/' + m.captured(1);
            QDir().mkpath(QFileInfo(path).path());
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(m.captured(2).toUtf8());
        }
        QCOMPARE(files, 4);
    }

    void pkgConfigIsRelocatable()
    {
        const Result prefix = run("pkg-config", {"--variable=prefix", "qorchat"}, pkgConfigEnv());
        QCOMPARE(prefix.code, 0);
        QCOMPARE(QFileInfo(QString::fromUtf8(prefix.out.trimmed())).canonicalFilePath(), QFileInfo(m_prefix).canonicalFilePath());
        const Result requires_ = run("pkg-config", {"--print-requires", "qorchat"}, pkgConfigEnv());
        QCOMPARE(requires_.out.trimmed(), QByteArray()); // the C header needs nothing
    }

    // The C example compiles with no Qt anywhere on its command line.
    void cExample()
    {
        const Result flags = run("pkg-config", {"--cflags", "--libs", "qorchat"}, pkgConfigEnv());
        QCOMPARE(flags.code, 0);
        QVERIFY(!flags.out.contains("qt6") && !flags.out.contains("Qt6"));
        QStringList args{"-std=c99", "-Wall", "-Wextra", "-Werror", m_examples + "/embed.c", "-o", m_examples + "/embed_c"};
        args += QString::fromUtf8(flags.out).simplified().split(u' ', Qt::SkipEmptyParts);
        args += QStringLiteral("-Wl,-rpath,") + m_libdir;
        const Result cc = run(QStringLiteral(QORCHAT_C_COMPILER), args);
        QVERIFY2(cc.code == 0, cc.err);
        const Result r = run(m_examples + "/embed_c", {"g"}, noDisplay());
        QCOMPARE(r.code, 6);
        QVERIFY(r.err.contains("needs a display"));
    }

    void cxxExample()
    {
        const QString build = m_examples + "/cxx-build";
        const Result configure = run(QStringLiteral(QORCHAT_CMAKE),
                                     {"-S", m_examples + "/cxx", "-B", build, "-G", "Ninja",
                                      "-DCMAKE_PREFIX_PATH=" + m_prefix, "-DCMAKE_CXX_COMPILER=" QORCHAT_CXX_COMPILER});
        QVERIFY2(configure.code == 0, configure.out + configure.err);
        const Result make = run(QStringLiteral(QORCHAT_CMAKE), {"--build", build});
        QVERIFY2(make.code == 0, make.out + make.err);
        const Result r = run(build + "/embed_cxx", {"g"}, noDisplay());
        QCOMPARE(r.code, 6);
    }

    void pythonExample()
    {
        const QString python = QStandardPaths::findExecutable("python3");
        if (python.isEmpty())
            QSKIP("python3 is not installed");
        // The installed module, finding the installed library on its own.
        QProcessEnvironment e = noDisplay();
        e.remove("QORCHAT_LIBRARY");
        e.insert("PYTHONPATH", m_prefix + "/share/qorchat/python");
        const Result r = run(python, {m_examples + "/embed.py", "g"}, e);
        QVERIFY2(r.code == 6, r.err);
        QVERIFY(r.err.contains("needs a display"));
    }

    void installedLauncher()
    {
        const Result r = run(m_prefix + "/bin/qorchat", {"--version"});
        QVERIFY2(r.code == 0, r.err);
        QCOMPARE(r.out, QByteArray("qorchat " QORCHAT_VERSION "\n"));
    }

    // The C example as a joining player: signs in with a stored account, enters
    // the host's room, and gets the host's address when the host starts.
    void cExampleThroughAMatch()
    {
        QVERIFY2(m_server.start(QStringLiteral(QORCHAT_SERVER_EXE)), qPrintable(m_server.error));
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

        TestEnv env;
        env.storeReturningUser(m_server.port, "joiner", "secret1");
        QProcessEnvironment e = baseEnv();
        e.insert("XDG_CONFIG_HOME", env.configHome());
        e.insert("QT_QPA_PLATFORM", "offscreen");
        e.insert("QORCHAT_AUTOPILOT", "lobby=enter:Room One,box=no");
        e.insert("LD_PRELOAD", QStringLiteral(QORCHAT_AUTOPILOT_LIB));
        bool started = false;
        const Result r = run(m_examples + "/embed_c", {game}, e, [&] {
            if (!host.takeLatest(protocol::listLine(QStringLiteral("ROOMPLAYERLIST"), {"hostuser 1", "joiner 0"}), 60000))
                return;
            started = host.call(protocol::ip(QStringLiteral("192.0.2.44"))) == QLatin1String("+OK")
                      && host.call(QStringLiteral("START")) == QLatin1String("+OK");
        });
        QVERIFY2(started, r.err);
        QVERIFY2(r.code == 0, r.err);
        QCOMPARE(r.out, QByteArray("match started: connect to 192.0.2.44\n"));
        QCOMPARE(settings::GetSetting("dbg", "hostip"), QStringLiteral("192.0.2.44"));
    }
};

QTEST_GUILESS_MAIN(TstInstall)
#include "tst_install.moc"
