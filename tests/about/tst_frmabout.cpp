// The about box: its texts, the system-information button and its two ways out.
#include "about/frmAbout.h"
#include "lobby/frmMain.h"
#include "support/fakeplatform.h"
#include "support/testenv.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QTest>

namespace {
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
    void cleanup() { Forms::resetAll(); }

    void texts()
    {
        SysInfoPlatform fake;
        frmAbout *a = Forms::get<frmAbout>();
        QCOMPARE(a->windowTitle(), QStringLiteral("QorChatのバージョン情報"));
        QCOMPARE(a->lblVersion->text(), QStringLiteral("ﾊﾞｰｼﾞｮﾝ " QORCHAT_VERSION_STRING));
    }

    // Through the lobby's menu item: a missing tool or a failed start is one
    // message, and the dialog stays open; then a key closes it.
    void sysInfoAndKeys_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("starts");
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("message");
        QTest::newRow("no tool, Enter") << "" << true << int(Qt::Key_Return) << true;
        QTest::newRow("tool starts, Esc") << "/usr/bin/sysinfo" << true << int(Qt::Key_Escape) << false;
        QTest::newRow("start fails, Esc") << "/usr/bin/sysinfo" << false << int(Qt::Key_Escape) << true;
    }
    void sysInfoAndKeys()
    {
        QFETCH(QString, path);
        QFETCH(bool, starts);
        QFETCH(int, key);
        QFETCH(bool, message);
        SysInfoPlatform fake;
        fake.systemInfoPath = path;
        fake.starts = starts;
        bool openAfterButton = false;
        bool closedByKey = false;
        fake.handlers[QStringLiteral("frmAbout")] = [&](QDialog *d) {
            static_cast<frmAbout *>(d)->cmdSysInfo->click();
            openAfterButton = Forms::isCurrent(d) && d->isVisible();
            static_cast<frmAbout *>(d)->cmdOK->setFocus();
            QTest::keyClick(d, Qt::Key(key));
            closedByKey = !Forms::isCurrent(d) && !d->isVisible();
        };
        Forms::get<frmMain>()->mnuVersion->trigger();
        QCOMPARE(fake.modalShown, QStringList{"frmAbout"});
        QVERIFY(openAfterButton);
        QVERIFY(closedByKey);
        QCOMPARE(fake.started, path.isEmpty() ? QStringList() : QStringList{path});
        QCOMPARE(fake.messages.size(), message ? 1 : 0);
        if (message) {
            QCOMPARE(fake.messages.at(0).text, QStringLiteral("現時点ではｼｽﾃﾑ情報を使用できません"));
            QCOMPARE(fake.messages.at(0).style, platform::mb::OKOnly);
        }
    }
};

QTEST_MAIN(TestFrmAbout)
#include "tst_frmabout.moc"
