#include "session/settings.h"
#include "support/testenv.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <sys/stat.h>

using namespace settings;

class TstSettings : public QObject {
    Q_OBJECT
private slots:
    void missingGivesEmpty()
    {
        TestEnv env;
        QCOMPARE(GetSetting("user", "name"), QString());
        QVERIFY(!QFileInfo::exists(env.settingsFile()));
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

    void everyReadSeesTheDisk()
    {
        TestEnv env;
        SaveSetting("a", "k", "1");
        QCOMPARE(GetSetting("a", "k"), QStringLiteral("1"));
        env.writeSettings("[a]\nk=2\n");
        QCOMPARE(GetSetting("a", "k"), QStringLiteral("2"));
    }

    // Two processes writing different keys at once lose nothing.
    void concurrentWritersKeepEachOthersKeys()
    {
        TestEnv env;
        const QString self = QCoreApplication::applicationFilePath();
        QList<QProcess *> procs;
        for (int p = 0; p < 2; ++p) {
            auto *proc = new QProcess(this);
            QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
            e.insert("XDG_CONFIG_HOME", env.configHome());
            e.insert("QORCHAT_SETTINGS_WRITER", QString::number(p));
            proc->setProcessEnvironment(e);
            proc->start(self, {});
            procs << proc;
        }
        for (auto *proc : procs) {
            QVERIFY(proc->waitForFinished(60000));
            QCOMPARE(proc->exitCode(), 0);
        }
        for (int p = 0; p < 2; ++p)
            for (int i = 0; i < 40; ++i)
                QCOMPARE(GetSetting(QStringLiteral("w%1").arg(p), QString::number(i)), QString::number(i));
    }
};

int main(int argc, char **argv)
{
    // Child mode of concurrentWritersKeepEachOthersKeys.
    const QByteArray writer = qgetenv("QORCHAT_SETTINGS_WRITER");
    if (!writer.isEmpty()) {
        for (int i = 0; i < 40; ++i)
            if (!SaveSetting(QStringLiteral("w") + QString::fromLatin1(writer), QString::number(i), QString::number(i)))
                return 1;
        return 0;
    }
    QCoreApplication app(argc, argv);
    TstSettings t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_settings.moc"
