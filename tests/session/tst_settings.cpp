#include "session/settingkeys.h"
#include "session/settings.h"
#include "support/testenv.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

using namespace settings;

namespace {
constexpr int kWriters = 6;
constexpr int kWrites = 200;
} // namespace

class TstSettings : public QObject {
    Q_OBJECT
private slots:
    void missingGivesEmpty()
    {
        TestEnv env;
        QCOMPARE(GetSetting("user", "name"), QString());
        QVERIFY(!QFileInfo::exists(env.settingsFile()));
    }

    // The key table: a missing or empty value reads as the key's fallback, a group
    // of keys goes in one write, and every key is documented for the people who edit
    // the file by hand.
    void keyTable()
    {
        TestEnv env;
        QCOMPARE(settings::get(settings::key::serverPort), QStringLiteral("2300"));
        QCOMPARE(settings::get(settings::key::serverAddress), QStringLiteral("localhost"));
        QVERIFY(settings::save(settings::key::serverPort, QString()));
        QCOMPARE(settings::get(settings::key::serverPort), QStringLiteral("2300"));
        QVERIFY(settings::save({{settings::key::userName, QStringLiteral("taro")},
                                {settings::key::userComment, QStringLiteral("よろしく")}}));
        QCOMPARE(GetSetting("user", "name"), QStringLiteral("taro"));
        QCOMPARE(GetSetting("user", "comment"), QStringLiteral("よろしく"));
        QVERIFY(!settings::isTrue(settings::key::dbgDisplay));
        QVERIFY(SaveSetting("dbg", "display", "true"));
        QVERIFY(settings::isTrue(settings::key::dbgDisplay));

        QFile doc(QStringLiteral(QORCHAT_SOURCE_DIR "/docs/settings.md"));
        QVERIFY(doc.open(QIODevice::ReadOnly));
        const QStringList rows = QString::fromUtf8(doc.readAll()).split(u'\n');
        for (const settings::Key &k : settings::key::all) {
            const QString start = QStringLiteral("| `%1` | ").arg(k.sectionName());
            const QString key = QStringLiteral("`%1`").arg(k.keyName());
            const bool documented = std::any_of(rows.cbegin(), rows.cend(), [&](const QString &row) {
                return row.startsWith(start) && row.section(u'|', 2, 2).contains(key);
            });
            QVERIFY2(documented, qPrintable(k.sectionName() + u'/' + k.keyName() + QStringLiteral(" is not in docs/settings.md")));
        }
    }

    void writeReadDeleteAndFlatSections()
    {
        TestEnv env;
        QVERIFY(SaveSetting("chat", "1", "やあ"));
        QVERIFY(SaveSetting("chat\\A[1]", "1", "game phrase"));
        QVERIFY(SaveSetting("user", "name", "taro"));
        QVERIFY(SaveSetting("user", "Name", "other")); // names are case-sensitive
        QCOMPARE(GetSetting("chat", "1"), QStringLiteral("やあ"));
        QCOMPARE(GetSetting("chat\\A[1]", "1"), QStringLiteral("game phrase"));
        QCOMPARE(GetSetting("user", "name"), QStringLiteral("taro"));
        QCOMPARE(GetSetting("User", "name"), QString());
        QVERIFY(DeleteSetting("chat"));
        QCOMPARE(GetSetting("chat", "1"), QString());
        QCOMPARE(GetSetting("chat\\A[1]", "1"), QStringLiteral("game phrase"));
        QCOMPARE(GetSetting("user", "Name"), QStringLiteral("other"));
    }

    void fileFormat()
    {
        TestEnv env;
        SaveSetting("chat\\A[1]", "1", "a\\b\nc\rd=e");
        const QByteArray text = env.readSettings();
        QVERIFY2(text.contains("[chat\\A[1]]\n1=a\\\\b\\nc\\rd=e\n"), text.constData());
        QCOMPARE(GetSetting("chat\\A[1]", "1"), QStringLiteral("a\\b\nc\rd=e"));
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(env.settingsFile()).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0600));
        QCOMPARE(::stat(QFile::encodeName(env.configHome() + "/vantelis").constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0700));
    }

    void readsFilesWrittenOutside_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("plain") << QByteArray("[server]\naddress=lobby.example\nport=2301\n") << "server" << "port" << "2301";
        QTest::newRow("crlf lines") << QByteArray("[server]\r\nport=2301\r\n") << "server" << "port" << "2301";
        QTest::newRow("split at first =") << QByteArray("[a]\nk=v=w\n") << "a" << "k" << "v=w";
        QTest::newRow("comments and junk ignored") << QByteArray("; c\n# c\njunk\n[a]\nnoequals\nk=1\n") << "a" << "k" << "1";
        QTest::newRow("brackets in name") << QByteArray("[chat\\A[1]]\n1=x\n") << "chat\\A[1]" << "1" << "x";
        QTest::newRow("unknown escape kept") << QByteArray("[a]\nk=\\t\\\n") << "a" << "k" << "\\t\\";
        QTest::newRow("key before any section ignored") << QByteArray("k=1\n[a]\n") << "a" << "k" << "";
        QTest::newRow("garbage bytes") << QByteArray("\xff\xfe\x00\x01[a\n=\n[]\n", 12) << "a" << "k" << "";
        QTest::newRow("value empty") << QByteArray("[a]\nk=\n") << "a" << "k" << "";
    }
    void readsFilesWrittenOutside()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        TestEnv env;
        env.writeSettings(file);
        QCOMPARE(GetSetting(section, key), value);
        // A write keeps what could be read and never fails on a bad file.
        QVERIFY(SaveSetting("zz", "k", "v"));
        QCOMPARE(GetSetting(section, key), value);
    }

    void unreadableFileReadsEmpty()
    {
        TestEnv env;
        QDir().mkpath(env.settingsFile()); // a folder where the file should be
        QCOMPARE(GetSetting("a", "k"), QString());
        QVERIFY(!SaveSetting("a", "k", "v"));
    }

    // A write replaces or re-modes nothing but the user's own file: a link is
    // written through in place, another user's file and a file too big to be a
    // settings file are refused and stay as they were, folders keep their modes.
    void writesLeaveOthersFilesAlone_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("written");
        QTest::newRow("link to own file") << "link" << true;
        QTest::newRow("hard link") << "hardlink" << true;
        QTest::newRow("link to another user's file") << "link other" << false;
        QTest::newRow("another user's file") << "other" << false;
        QTest::newRow("file over 1 MiB") << "big" << false;
        QTest::newRow("shared setgid folder") << "folder" << true;
    }
    void writesLeaveOthersFilesAlone()
    {
        QFETCH(QString, setup);
        QFETCH(bool, written);
        TestEnv env;
        const QString dir = QFileInfo(env.settingsFile()).path();
        const QString elsewhere = env.configHome() + QStringLiteral("/shared/real.ini");
        QVERIFY(QDir().mkpath(QFileInfo(elsewhere).path()) && QDir().mkpath(dir));
        QByteArray text = "; the owner's notes\n[keep]\nk=1\n";
        if (setup == "big")
            text += "; " + QByteArray(int(settings::kMaxFileBytes), 'x') + "\n";
        const QString real = setup.startsWith("link") || setup == "hardlink" ? elsewhere : env.settingsFile();
        {
            QFile f(real);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(text);
        }
        QVERIFY(::chmod(QFile::encodeName(real).constData(), 0644) == 0);
        if (setup == "folder")
            QVERIFY(::chmod(QFile::encodeName(dir).constData(), 02775) == 0);
        if (setup.startsWith("link"))
            QVERIFY(QFile::link(elsewhere, env.settingsFile()));
        if (setup == "hardlink")
            QVERIFY(::link(QFile::encodeName(elsewhere).constData(), QFile::encodeName(env.settingsFile()).constData()) == 0);
        if (setup.endsWith("other") && ::chown(QFile::encodeName(real).constData(), 65534, 65534) != 0)
            QSKIP("another user's file needs root to set up");
        struct stat before {}, dirBefore {};
        QVERIFY(::stat(QFile::encodeName(real).constData(), &before) == 0);
        QVERIFY(::stat(QFile::encodeName(dir).constData(), &dirBefore) == 0);

        QCOMPARE(GetSetting("keep", "k"), setup == "big" ? QString() : QStringLiteral("1"));
        QCOMPARE(SaveSetting("user", "name", "taro"), written);

        struct stat after {}, dirAfter {};
        QVERIFY(::stat(QFile::encodeName(real).constData(), &after) == 0);
        QVERIFY(::stat(QFile::encodeName(dir).constData(), &dirAfter) == 0);
        // Only the user's own file may be replaced by a new one.
        if (setup != "folder")
            QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_mode, before.st_mode);
        QCOMPARE(after.st_uid, before.st_uid);
        QCOMPARE(dirAfter.st_mode, dirBefore.st_mode);
        QCOMPARE(QFileInfo(env.settingsFile()).isSymLink(), setup.startsWith("link"));
        QFile f(real);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray now = f.readAll();
        if (written) {
            QVERIFY(now.startsWith(text));
            QCOMPARE(settings::valueIn(now, "user", "name"), QStringLiteral("taro"));
            QCOMPARE(GetSetting("user", "name"), QStringLiteral("taro"));
        } else {
            QCOMPARE(now, text);
        }
    }

    // Folders and the file the store makes are the user's alone.
    void newFoldersAndFileArePrivate()
    {
        TestEnv env;
        QVERIFY(SaveSetting("user", "name", "taro"));
        QCOMPARE(QFileInfo(env.settingsFile()).permissions() & 0x0777, QFileDevice::Permissions(0x0600));
        QCOMPARE(QFileInfo(QFileInfo(env.settingsFile()).path()).permissions() & 0x0777, QFileDevice::Permissions(0x0700));
    }

    // Values the server caused wait for the loop to turn and go out in one write,
    // together with a write of the user's; a read sees them at once.
    void soonValuesShareOneWrite()
    {
        TestEnv env;
        const qsizetype before = writeCount();
        for (int i = 1; i <= 100; ++i)
            saveSoon("dbg", {{"hostip", QString::number(i)}});
        saveSoon("chat\\G", {{"1", "a"}, {"2", "b"}});
        QCOMPARE(GetSetting("dbg", "hostip"), QStringLiteral("100"));
        QCOMPARE(writeCount(), before);
        QVERIFY(SaveSetting("user", "name", "taro"));
        QCOMPARE(writeCount(), before + 1);
        const QByteArray text = env.readSettings();
        QCOMPARE(valueIn(text, "dbg", "hostip"), QStringLiteral("100"));
        QCOMPARE(valueIn(text, "chat\\G", "2"), QStringLiteral("b"));
        QCOMPARE(valueIn(text, "user", "name"), QStringLiteral("taro"));
        QVERIFY(flushSoon());
        QCOMPARE(writeCount(), before + 1);
    }

    void everyReadSeesTheDisk()
    {
        TestEnv env;
        SaveSetting("a", "k", "1");
        QCOMPARE(GetSetting("a", "k"), QStringLiteral("1"));
        env.writeSettings("[a]\nk=2\n");
        QCOMPARE(GetSetting("a", "k"), QStringLiteral("2"));
    }

    // What a write does to the text around what it changes: nothing.
    void writesKeepOtherLines_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QStringList>("keysAndValues");
        QTest::addColumn<bool>("replace");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("changed in place") << QByteArray("; mine\n[a]\n# note\nk=1\njunk line\n") << "a"
                                          << QStringList{"k", "2"} << false
                                          << QByteArray("; mine\n[a]\n# note\nk=2\njunk line\n");
        QTest::newRow("unchanged value keeps its bytes") << QByteArray("[a]\r\nk=x\\q\r\n") << "a"
                                                         << QStringList{"k", "x\\q"} << false
                                                         << QByteArray("[a]\r\nk=x\\q\r\n");
        QTest::newRow("new key after the section's last") << QByteArray("[a]\nk=1\n; end of a\n\n[b]\nx=1\n") << "a"
                                                          << QStringList{"j", "3"} << false
                                                          << QByteArray("[a]\nk=1\nj=3\n; end of a\n\n[b]\nx=1\n");
        QTest::newRow("new section at the end") << QByteArray("# top\n[a]\nk=1") << "b" << QStringList{"x", "y"}
                                                << false << QByteArray("# top\n[a]\nk=1\n\n[b]\nx=y\n");
        QTest::newRow("last of a repeated key") << QByteArray("[a]\nk=1\n[a]\nk=2\n") << "a" << QStringList{"k", "3"}
                                                << false << QByteArray("[a]\nk=1\n[a]\nk=3\n");
        QTest::newRow("bytes that are no text") << QByteArray("#\xff\xfe\n[a]\n\x80=\x81\n") << "a"
                                                << QStringList{"k", "v"} << false
                                                << QByteArray("#\xff\xfe\n[a]\n\x80=\x81\nk=v\n");
        QTest::newRow("lines before any section") << QByteArray("k=1\nfree text\n") << "a" << QStringList{"k", "2"}
                                                  << false << QByteArray("k=1\nfree text\n\n[a]\nk=2\n");
        QTest::newRow("replace keeps the notes") << QByteArray("[chat]\n; my phrases\n1=a\n2=b\n[x]\ny=1\n") << "chat"
                                                 << QStringList{"1", "c"} << true
                                                 << QByteArray("[chat]\n; my phrases\n1=c\n[x]\ny=1\n");
        QTest::newRow("several keys at once") << QByteArray("[a]\nk=1\n") << "a" << QStringList{"k", "2", "n", "\n"}
                                              << false << QByteArray("[a]\nk=2\nn=\\n\n");
    }
    void writesKeepOtherLines()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, section);
        QFETCH(QStringList, keysAndValues);
        QFETCH(bool, replace);
        QFETCH(QByteArray, expected);
        Values values;
        for (qsizetype i = 0; i + 1 < keysAndValues.size(); i += 2)
            values.append({keysAndValues.at(i), keysAndValues.at(i + 1)});
        QCOMPARE(writtenText(file, section, values, replace), expected);
        // The same through the store and its file.
        TestEnv env;
        env.writeSettings(file);
        QVERIFY(replace ? ReplaceSection(section, values) : SaveSettings(section, values));
        QCOMPARE(env.readSettings(), expected);
        for (const auto &[k, v] : values)
            QCOMPARE(GetSetting(section, k), v);
    }

    void deleteKeepsOtherLines()
    {
        TestEnv env;
        env.writeSettings("; keep me\n[user]\nname=taro\n# about chat\n[chat]\n1=a\n");
        QVERIFY(DeleteSetting("user"));
        QCOMPARE(env.readSettings(), QByteArray("; keep me\n# about chat\n[chat]\n1=a\n"));
    }

    // Reads come from what was parsed, yet never miss a change on disk: the same
    // size at once, a replaced file, a removed one.
    void cachedReadsFollowTheDisk()
    {
        TestEnv env;
        QVERIFY(SaveSetting("a", "k", "1"));
        QCOMPARE(GetSetting("a", "k"), QStringLiteral("1"));
        for (int i = 2; i < 6; ++i) {
            env.writeSettings(QStringLiteral("[a]\nk=%1\n").arg(i).toUtf8());
            QCOMPARE(GetSetting("a", "k"), QString::number(i));
        }
        QFile::remove(env.settingsFile());
        QCOMPARE(GetSetting("a", "k"), QString());
        env.writeSettings("[a]\nk=7\n");
        QCOMPARE(GetSetting("a", "k"), QStringLiteral("7"));
        QVERIFY(SaveSetting("a", "j", "8"));
        QCOMPARE(GetSetting("a", "k"), QStringLiteral("7"));
        QCOMPARE(GetSetting("a", "j"), QStringLiteral("8"));
    }

    // A writer behind a lock held longer than the old five-second give-up still writes.
    void writerWaitsForAHeldLock()
    {
        TestEnv env;
        QVERIFY(SaveSetting("a", "k", "1"));
        QLockFile held(env.settingsFile() + ".lock");
        QVERIFY(held.tryLock(0));
        std::thread release([&held] {
            std::this_thread::sleep_for(std::chrono::milliseconds(5500));
            held.unlock();
        });
        const bool saved = SaveSetting("a", "k", "2");
        release.join();
        QVERIFY(saved);
        QCOMPARE(GetSetting("a", "k"), QStringLiteral("2"));
    }

    // Six processes writing different keys at once lose nothing.
    void concurrentWritersKeepEachOthersKeys()
    {
        TestEnv env;
        const QString self = QCoreApplication::applicationFilePath();
        QList<QProcess *> procs;
        for (int p = 0; p < kWriters; ++p) {
            auto *proc = new QProcess(this);
            QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
            e.insert("XDG_CONFIG_HOME", env.configHome());
            e.insert("QORCHAT_SETTINGS_WRITER", QString::number(p));
            proc->setProcessEnvironment(e);
            proc->start(self, {});
            procs << proc;
        }
        for (auto *proc : procs) {
            QVERIFY(proc->waitForFinished(240000));
            QCOMPARE(proc->exitCode(), 0);
        }
        for (int p = 0; p < kWriters; ++p)
            for (int i = 0; i < kWrites; ++i)
                QCOMPARE(GetSetting(QStringLiteral("w%1").arg(p), QString::number(i)), QString::number(i));
    }
};

int main(int argc, char **argv)
{
    // Child mode of concurrentWritersKeepEachOthersKeys.
    const QByteArray writer = qgetenv("QORCHAT_SETTINGS_WRITER");
    if (!writer.isEmpty()) {
        for (int i = 0; i < kWrites; ++i)
            if (!SaveSetting(QStringLiteral("w") + QString::fromLatin1(writer), QString::number(i), QString::number(i)))
                return 1;
        return 0;
    }
    QCoreApplication app(argc, argv);
    TstSettings t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_settings.moc"
