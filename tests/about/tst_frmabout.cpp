// The about box: its texts, the system-information button and its two ways out.
#include "about/frmAbout.h"
#include "lobby/frmMain.h"
#include "platform/forms.h"
#include "session/lobbyModule.h"
#include "support/fakeplatform.h"
#include "support/testenv.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QTest>

namespace {

const QString kNoSysInfo = QStringLiteral("現時点ではｼｽﾃﾑ情報を使用できません");

// A tool that is found but may fail to start.
struct SysInfoPlatform : FakePlatform {
    bool starts = true;
    bool start(const QString &path) override
    {
        started << path;
        return starts;
    }
};

} // namespace

class TestFrmAbout : public QObject {
    Q_OBJECT
    TestEnv env;

private slots:
    void init() { resetSessionState(); }
    void cleanup() { Forms::resetAll(); }

    void texts()
    {
        SysInfoPlatform fake;
        frmAbout *a = Forms::get<frmAbout>();
        QCOMPARE(a->windowTitle(), QStringLiteral("QorChatのバージョン情報"));
        QCOMPARE(a->lblTitle->text(), QStringLiteral("QorChat"));
        QCOMPARE(a->lblVersion->text(), QStringLiteral("ﾊﾞｰｼﾞｮﾝ ") + QStringLiteral(QORCHAT_VERSION_STRING));
    }

    void startSysInfo_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("starts");
        QTest::addColumn<QStringList>("started");
        QTest::addColumn<QStringList>("messages");
        QTest::newRow("no tool") << "" << true << QStringList() << QStringList{kNoSysInfo};
        QTest::newRow("tool starts") << "/usr/bin/sysinfo" << true << QStringList{"/usr/bin/sysinfo"}
                                     << QStringList();
        QTest::newRow("tool fails to start") << "/usr/bin/sysinfo" << false << QStringList{"/usr/bin/sysinfo"}
                                             << QStringList{kNoSysInfo};
    }
    // Through the lobby's menu item; the message leaves the dialog open.
    void startSysInfo()
    {
        QFETCH(QString, path);
        QFETCH(bool, starts);
        QFETCH(QStringList, started);
        QFETCH(QStringList, messages);
        SysInfoPlatform fake;
        fake.systemInfoPath = path;
        fake.starts = starts;
        bool stillOpen = false;
        fake.handlers[QStringLiteral("frmAbout")] = [&](QDialog *d) {
            auto *a = static_cast<frmAbout *>(d);
            a->cmdSysInfo->click();
            stillOpen = Forms::isCurrent(a) && a->isVisible();
            a->cmdOK->click();
        };
        Forms::get<frmMain>()->mnuVersion->trigger();
        QCOMPARE(fake.modalShown, QStringList{"frmAbout"});
        QVERIFY(stillOpen);
        QCOMPARE(fake.started, started);
        QCOMPARE(fake.messageTexts(), messages);
        for (const ShownMessage &m : fake.messages)
            QCOMPARE(m.style, platform::mb::OKOnly);
        QVERIFY(!Forms::ifLoaded<frmAbout>());
    }

    void keysClose_data()
    {
        QTest::addColumn<int>("key");
        QTest::newRow("Enter") << int(Qt::Key_Return);
        QTest::newRow("Esc") << int(Qt::Key_Escape);
    }
    void keysClose()
    {
        QFETCH(int, key);
        SysInfoPlatform fake;
        bool closed = false;
        fake.handlers[QStringLiteral("frmAbout")] = [&](QDialog *d) {
            QTest::keyClick(d, Qt::Key(key));
            closed = !Forms::isCurrent(d) && !d->isVisible();
        };
        Forms::get<frmMain>()->mnuVersion->trigger();
        QVERIFY(closed);
        QVERIFY(fake.started.isEmpty());
    }
};

QTEST_MAIN(TestFrmAbout)
#include "tst_frmabout.moc"
