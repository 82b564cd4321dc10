// Execute against the reference lobby server: first use (terms, registration),
// sign-in, the lobby with the user in its player list; then a second run that
// signs in with the stored account alone.
#include "component/execute.h"
#include "lobby/frmMain.h"
#include "net/frmCom.h"
#include "platform/forms.h"
#include "qorchat/qorchat.h"
#include "session/lobbyModule.h"
#include "session/settings.h"
#include "account/dlgInputUserPas.h"
#include "account/dlgLicence.h"
#include "support/fakeplatform.h"
#include "support/serverprocess.h"
#include "support/testenv.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

class SigninServerTest : public QObject {
    Q_OBJECT
    ServerProcess m_server;
    QString m_port;

private slots:
    void initTestCase()
    {
        QVERIFY2(m_server.start(QStringLiteral(QORCHAT_SERVER_EXE)), qPrintable(m_server.error));
        m_port = m_server.port;
    }

    void firstUseThenStoredAccount();
};

void SigninServerTest::firstUseThenStoredAccount()
{
    TestEnv env;
    FakePlatform fake;
    session().reset();
    settings::SaveSetting(QStringLiteral("server"), QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    settings::SaveSetting(QStringLiteral("server"), QStringLiteral("port"), m_port);

    fake.handlers[QStringLiteral("dlgLicence")] = [](QDialog *d) { static_cast<dlgLicence *>(d)->OKButton->click(); };
    fake.handlers[QStringLiteral("dlgInputUserPas")] = [](QDialog *d) {
        auto *f = static_cast<dlgInputUserPas *>(d);
        f->txtUser->setText(QStringLiteral("山田_1"));
        f->txtPassword->setText(QStringLiteral("p@ss~word"));
        f->txtPasswordConfirm->setText(QStringLiteral("p@ss~word"));
        f->txtEmail->setText(QStringLiteral("yamada@example.jp"));
        f->txtComment->setText(QStringLiteral("よろしく お願いします"));
        f->OKButton->click();
    };
    QStringList playersSeen;
    fake.handlers[QStringLiteral("frmMain")] = [&](QDialog *d) {
        auto *list = d->findChild<QListWidget *>(QStringLiteral("lstPlayers"));
        QVERIFY(list);
        auto rows = [list] {
            QStringList r;
            for (int i = 0; i < list->count(); ++i)
                r << list->item(i)->text();
            return r;
        };
        QTRY_VERIFY_WITH_TIMEOUT(rows().contains(QStringLiteral("山田_1 (クライアント)")), 10000);
        playersSeen = rows();
        Forms::unload<frmMain>();
    };

    QString ip;
    QCOMPARE(component::execute(QStringLiteral("Shogi[Pro]"), vbFalse, ip), int(QORCHAT_OK));
    QVERIFY(!playersSeen.isEmpty());
    QCOMPARE(fake.modalShown, (QStringList{"frmStatus", "dlgLicence", "dlgInputUserPas", "frmMain"}));
    QVERIFY(fake.messages.isEmpty());
    QCOMPARE(settings::GetSetting(QStringLiteral("user"), QStringLiteral("name")), QStringLiteral("山田_1"));

    // Signed out by closing the line; the stored account alone signs in again.
    frmCom::get()->closeSocket();
    QTest::qWait(500); // the server's side of the hang-up
    fake.modalShown.clear();
    playersSeen.clear();
    QCOMPARE(component::execute(QStringLiteral("Shogi[Pro]"), vbFalse, ip), int(QORCHAT_OK));
    QCOMPARE(fake.modalShown, (QStringList{"frmStatus", "frmMain"}));
    QVERIFY(!playersSeen.isEmpty());
    QVERIFY(fake.messages.isEmpty());

    Forms::resetAll();
    frmCom::resetForTests();
}

QTEST_MAIN(SigninServerTest)
#include "tst_signin_server.moc"
