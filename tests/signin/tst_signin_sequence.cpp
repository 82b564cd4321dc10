// The sign-in road against a scripted lobby server, with the dialogs answered
// through the modal-runner seam: connection, warning, announcements, first use,
// LOGIN with its corrections, phrases and room list, and Execute around it.
//
// ROOMLIST: the room list wait ends when the dispatcher marks the list ready; the
// test server marks it when it answers, standing in for the full dispatcher.
#include "component/execute.h"
#include "support/comtestpeer.h"
#include "lobby/frmMain.h"
#include "net/frmCom.h"
#include "net/protocol/protocol.h"
#include "platform/forms.h"
#include "qorchat/qorchat.h"
#include "session/lobbyModule.h"
#include "session/settings.h"
#include "signin/dlgIPWarning.h"
#include "account/dlgInputUserPas.h"
#include "account/dlgLicence.h"
#include "signin/dlgLogin.h"
#include "signin/frmStatus.h"
#include "support/fakeplatform.h"
#include "support/scriptedserver.h"
#include "support/testenv.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <memory>

using platform::mb::Critical;
using platform::mb::Exclamation;

namespace {

const QString kUser = QStringLiteral("user");
const QString kDropped = QStringLiteral("回線が切断されました。再接続しますか？");

QString setting(const char *section, const char *key)
{
    return settings::GetSetting(QString::fromLatin1(section), QString::fromLatin1(key));
}

void storeSetting(const char *section, const char *key, const QString &value)
{
    QVERIFY(settings::SaveSetting(QString::fromLatin1(section), QString::fromLatin1(key), value));
}

struct Account {
    QString user, password, confirm, email, comment;
    bool useOld = false;
};

// Fills the account form as the user would, then presses OK.
void fillAccountForm(QDialog *d, const Account &a)
{
    auto *f = static_cast<dlgInputUserPas *>(d);
    f->txtUser->setText(a.user);
    f->txtPassword->setText(a.password);
    f->txtPasswordConfirm->setText(a.confirm.isNull() ? a.password : a.confirm);
    f->txtEmail->setText(a.email);
    f->txtComment->setText(a.comment);
    f->chkUseOldAccount->setChecked(a.useOld);
    f->OKButton->click();
}

void pressOK(QDialog *d) { d->findChild<QPushButton *>(QStringLiteral("OKButton"))->click(); }

int countOf(const QStringList &list, const QString &item) { return int(list.count(item)); }

} // namespace

class SigninSequenceTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TestEnv> m_env;
    std::unique_ptr<FakePlatform> m_fake;
    std::unique_ptr<ScriptedServer> m_server;

    static void markRoomList(const QString &line)
    {
        if (protocol::keyword(line) == QLatin1String(protocol::kw::ROOMLIST))
            frmComTestPeer::received(*frmCom::get()).blnRoomListReady = true;
    }

    // Shows the status window the way Execute does, and waits for it to close.
    void runSignIn()
    {
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, [] { qFatal("the sign-in sequence did not end"); });
        watchdog.start(20000);
        Forms::get<frmMain>();
        platform::modalRunner().run(Forms::get<frmStatus>());
        QVERIFY(!Forms::isLoaded(QStringLiteral("frmStatus")));
        Forms::collect();
    }

    QStringList sentKeywords() const
    {
        QStringList out;
        for (const QString &l : m_server->received)
            out << protocol::keyword(l);
        return out;
    }

private slots:
    void init()
    {
        m_env = std::make_unique<TestEnv>();
        m_fake = std::make_unique<FakePlatform>();
        resetClient(20);
        m_server = std::make_unique<ScriptedServer>();
        for (const char *kw : {"GAMENAME", "HOST", "LOGIN", "REGISTUSER", "CHATDATA"})
            m_server->on(QString::fromLatin1(kw), {QStringLiteral("+OK")});
        m_server->on(QStringLiteral("ROOMLIST"), {QStringLiteral("ROOMLIST ")});
        m_server->onLine = &SigninSequenceTest::markRoomList;
        storeSetting("server", "address", QStringLiteral("127.0.0.1"));
        storeSetting("server", "port", m_server->portText());
        storeSetting("user", "name", QStringLiteral("taro"));
        storeSetting("user", "password", lobbyModule::encodeString(QStringLiteral("secret")));
        session().gstrGameName = QStringLiteral("TestGame");
        session().gblnHost = vbFalse;
    }

    void cleanup()
    {
        Forms::resetAll();
        frmCom::resetForTests();
        frmStatus::setConnectionAddressForTests(QString());
        m_server.reset();
        m_fake.reset();
        m_env.reset();
    }

    void signInOrder_data();
    void signInOrder();
    void defaultHostIsLocal();
    void storedAccount_data();
    void storedAccount();
    void loginRefused_data();
    void loginRefused();
    void threeRefusals_data();
    void threeRefusals();
    void loginAcceptedOnThirdAttempt();
    void cancelWhileSigningIn();
    void busyServer_data();
    void busyServer();
    void staleBusyCodeDoesNotEndAttempt();
    void failedConnectsRetryThenCancel();
    void cancelDuringSecondAttempt_data();
    void cancelDuringSecondAttempt();
    void privateAddressWarning_data();
    void privateAddressWarning();
    void firstUseDeclined();
    void firstUseCancelledThenFormDirectly();
    void registrationRefusedTwice();
    void repeatedFormClosedIsCancel();
    void existingId();
    void droppedLine_data();
    void droppedLine();
    void refusedThenDropped_data();
    void refusedThenDropped();
    void executeIntoLobby();
};

void SigninSequenceTest::signInOrder_data()
{
    QTest::addColumn<QString>("game");
    QTest::addColumn<int>("host");
    QTest::addColumn<QString>("gameLine");
    QTest::addColumn<QString>("hostLine");
    // Incremental lists: asked for first when the greeting offers them, whatever the answer.
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<QString>("listDeltaReply"); // null: none
    QTest::addColumn<bool>("asks");
    const QByteArray plain = "+OK test\r\n";
    const QByteArray offering = "+OK test LISTDELTA\r\n";
    QTest::newRow("host, brackets") << "War[2]]" << int(vbTrue) << "GAMENAME War\\[2\\]\\]" << "HOST yes" << plain << QString() << false;
    QTest::newRow("client") << "Go" << int(vbFalse) << "GAMENAME Go" << "HOST no" << plain << QString() << false;
    QTest::newRow("1 is not True") << "Go" << 1 << "GAMENAME Go" << "HOST no" << plain << QString() << false;
    QTest::newRow("lists offered") << "Go" << int(vbFalse) << "GAMENAME Go" << "HOST no" << offering << "+OK" << true;
    QTest::newRow("lists offered, refused") << "Go" << int(vbTrue) << "GAMENAME Go" << "HOST yes" << offering << "-ERR 90" << true;
    QTest::newRow("lists offered, no answer") << "Go" << int(vbFalse) << "GAMENAME Go" << "HOST no" << offering << QString() << true;
    QTest::newRow("word in lower case") << "Go" << int(vbFalse) << "GAMENAME Go" << "HOST no" << QByteArray("+OK listdelta\r\n")
                                        << "+OK" << false;
}

void SigninSequenceTest::signInOrder()
{
    QFETCH(QString, game);
    QFETCH(int, host);
    QFETCH(QString, gameLine);
    QFETCH(QString, hostLine);
    QFETCH(QByteArray, greeting);
    QFETCH(QString, listDeltaReply);
    QFETCH(bool, asks);
    session().gstrGameName = game;
    session().gblnHost = qint16(host);
    m_server->greeting = greeting;
    if (!listDeltaReply.isNull())
        m_server->on(QStringLiteral("LISTDELTA"), {listDeltaReply});

    runSignIn();
    QStringList sent{gameLine, hostLine, QStringLiteral("LOGIN taro secret"), QStringLiteral("CHATDATA"),
                     QStringLiteral("ROOMLIST")};
    if (asks)
        sent.prepend(QStringLiteral("LISTDELTA"));
    QCOMPARE(m_server->received, sent);
    QVERIFY(session().gblnSignedIn);
    QVERIFY(m_fake->messages.isEmpty());
    QCOMPARE(m_fake->modalShown, QStringList{QStringLiteral("frmStatus")});
    QCOMPARE(setting("dbg", "gname"), game);
    QCOMPARE(m_server->connections(), 1);
}

void SigninSequenceTest::defaultHostIsLocal()
{
    QVERIFY(settings::DeleteSetting(QStringLiteral("server")));
    storeSetting("server", "port", m_server->portText());
    runSignIn();
    QVERIFY(session().gblnSignedIn);
    QCOMPARE(m_server->connections(), 1);
}

void SigninSequenceTest::storedAccount_data()
{
    QTest::addColumn<QString>("storedPassword");
    QTest::addColumn<QString>("loginLine");
    QTest::newRow("scrambled") << "def" << "LOGIN taro abc";
    QTest::newRow("tilde and symbols") << lobbyModule::encodeString(QStringLiteral("p@ss~1")) << "LOGIN taro p@ss~1";
    QTest::newRow("empty") << "" << "LOGIN taro ";
}

void SigninSequenceTest::storedAccount()
{
    QFETCH(QString, storedPassword);
    QFETCH(QString, loginLine);
    storeSetting("user", "password", storedPassword);
    storeSetting("user", "comment", QStringLiteral("よろしく"));

    runSignIn();
    QCOMPARE(m_server->received.value(2), loginLine);
    QCOMPARE(frmMain::m().mstrComment, QStringLiteral("よろしく"));
    QVERIFY(session().gblnSignedIn);
    QCOMPARE(m_fake->modalShown, QStringList{QStringLiteral("frmStatus")});
}

void SigninSequenceTest::loginRefused_data()
{
    QTest::addColumn<QStringList>("reply");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("dialog");
    QTest::newRow("1: already signed in") << QStringList{"-ERR 1"} << "ログインエラー: ユーザー 「taro」 はすでにログインしています" << false;
    QTest::newRow("2: wrong password") << QStringList{"-ERR 2 bad"} << "ログインエラー: パスワードが異なります" << true;
    QTest::newRow("3: no such user") << QStringList{"-ERR 3"} << "ログインエラー: ユーザー 「taro」 は存在しません" << true;
    QTest::newRow("other code") << QStringList{"-ERR 42"} << "ログインエラー: taro" << true;
    QTest::newRow("no reply") << QStringList{} << "ログインエラー: taro" << true;
}

void SigninSequenceTest::loginRefused()
{
    QFETCH(QStringList, reply);
    QFETCH(QString, message);
    QFETCH(bool, dialog);
    m_server->once(QStringLiteral("LOGIN"), reply);
    QStringList shownValues;
    m_fake->handlers[QStringLiteral("dlgLogin")] = [&](QDialog *d) {
        auto *dl = static_cast<dlgLogin *>(d);
        shownValues << dl->txtUser->text() << dl->txtPassword->text();
        dl->txtPassword->setText(QStringLiteral("fixed"));
        dl->OKButton->click();
    };

    runSignIn();
    QCOMPARE(m_fake->messageTexts(), QStringList{message});
    QCOMPARE(m_fake->messages.front().style, Critical);
    if (dialog) {
        QCOMPARE(shownValues, (QStringList{QStringLiteral("taro"), QStringLiteral("secret")}));
        QCOMPARE(m_server->received.mid(2, 2),
                 (QStringList{QStringLiteral("LOGIN taro secret"), QStringLiteral("LOGIN taro fixed")}));
        QVERIFY(session().gblnSignedIn);
        QCOMPARE(setting("user", "password"), lobbyModule::encodeString(QStringLiteral("fixed")));
    } else {
        QVERIFY(shownValues.isEmpty());
        QCOMPARE(sentKeywords(), (QStringList{"GAMENAME", "HOST", "LOGIN"}));
        QVERIFY(!session().gblnSignedIn);
        QCOMPARE(setting("user", "password"), lobbyModule::encodeString(QStringLiteral("secret")));
    }
}

void SigninSequenceTest::threeRefusals_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("Yes: new account next time") << platform::mb::Yes;
    QTest::newRow("No") << platform::mb::No;
}

void SigninSequenceTest::threeRefusals()
{
    QFETCH(int, answer);
    storeSetting("user", "comment", QStringLiteral("c"));
    storeSetting("user", "email", QStringLiteral("t@x.jp"));
    storeSetting("user", "licence", QStringLiteral("true"));
    storeSetting("user", "ipwarn", QStringLiteral("false"));
    m_server->on(QStringLiteral("LOGIN"), {QStringLiteral("-ERR 2")});
    int shown = 0;
    m_fake->handlers[QStringLiteral("dlgLogin")] = [&](QDialog *d) {
        auto *dl = static_cast<dlgLogin *>(d);
        ++shown;
        dl->txtUser->setText(QStringLiteral("u%1").arg(shown));
        dl->txtPassword->setText(QStringLiteral("p%1").arg(shown));
        dl->OKButton->click();
    };
    m_fake->answers = {platform::mb::OK, platform::mb::OK, platform::mb::OK, platform::mb::OK, answer};

    runSignIn();
    QCOMPARE(shown, 3);
    // The values typed after the third refusal are not tried.
    QCOMPARE(m_server->received.mid(2), (QStringList{"LOGIN taro secret", "LOGIN u1 p1", "LOGIN u2 p2"}));
    const QString wrong = QStringLiteral("ログインエラー: パスワードが異なります");
    QCOMPARE(m_fake->messageTexts(), (QStringList{wrong, wrong, wrong, QStringLiteral("ログインエラー: u3"),
                                                  QStringLiteral("次回起動時に新しいアカウントを作成しますか？")}));
    QCOMPARE(m_fake->messages.last().style, 52);
    QVERIFY(!session().gblnSignedIn);
    if (answer == platform::mb::Yes) {
        for (const char *key : {"name", "password", "comment", "email", "licence", "ipwarn"})
            QVERIFY2(setting("user", key).isEmpty(), key);
        QCOMPARE(setting("server", "port"), m_server->portText());
    } else {
        QCOMPARE(setting("user", "name"), QStringLiteral("taro"));
        QCOMPARE(setting("user", "password"), lobbyModule::encodeString(QStringLiteral("secret")));
        QCOMPARE(setting("user", "licence"), QStringLiteral("true"));
    }
}

void SigninSequenceTest::loginAcceptedOnThirdAttempt()
{
    m_server->once(QStringLiteral("LOGIN"), {QStringLiteral("-ERR 2")});
    m_server->once(QStringLiteral("LOGIN"), {QStringLiteral("-ERR 3")});
    m_fake->handlers[QStringLiteral("dlgLogin")] = pressOK;

    runSignIn();
    QCOMPARE(sentKeywords(), (QStringList{"GAMENAME", "HOST", "LOGIN", "LOGIN", "LOGIN", "CHATDATA", "ROOMLIST"}));
    QCOMPARE(countOf(m_fake->modalShown, QStringLiteral("dlgLogin")), 2);
    QCOMPARE(m_fake->messages.size(), 2);
    QVERIFY(session().gblnSignedIn);
}

void SigninSequenceTest::cancelWhileSigningIn()
{
    // Cancel while "ログイン中..." is shown is only recorded.
    m_server->once(QStringLiteral("LOGIN"), {});
    m_server->onLine = [this](const QString &line) {
        markRoomList(line);
        if (protocol::keyword(line) != QLatin1String("LOGIN"))
            return;
        auto *st = Forms::ifLoaded<frmStatus>();
        QVERIFY(st);
        QCOMPARE(st->lblStatus->text(), QStringLiteral("ログイン中..."));
        st->cmdCancel->click();
        st->close();
        m_server->sendLine(QStringLiteral("+OK"));
    };
    runSignIn();
    QVERIFY(frmStatus::m().mblnCancel);
    QVERIFY(session().gblnSignedIn);
    QVERIFY(m_fake->messages.isEmpty());
}

void SigninSequenceTest::busyServer_data()
{
    QTest::addColumn<bool>("hangUp");
    QTest::newRow("stays connected") << false;
    QTest::newRow("hangs up after the answer") << true;
}

void SigninSequenceTest::busyServer()
{
    QFETCH(bool, hangUp);
    QTimer answer;
    if (hangUp) {
        // The answer and the end of the line reach the client together.
        m_server->greeting.clear();
        connect(&answer, &QTimer::timeout, this, [&] {
            if (m_server->hasClient()) {
                answer.stop();
                m_server->sendLine(QStringLiteral("-ERR 100 busy"));
                m_server->closeClient();
            }
        });
        answer.start(0);
    } else {
        m_server->greeting = "-ERR 100 busy\r\n";
    }
    runSignIn();
    QCOMPARE(m_fake->messageTexts(),
             QStringList{QStringLiteral("ロビーサーバーが込み合っています。しばらくした後再度接続を行ってください。")});
    QCOMPARE(m_fake->messages.front().style, Critical);
    QCOMPARE(m_server->connections(), 1);
    QVERIFY(!session().gblnSignedIn);
}

void SigninSequenceTest::staleBusyCodeDoesNotEndAttempt()
{
    m_server->greeting.clear();
    session().gintErrCode = 100; // from a busy answer in an earlier run
    QTimer greet;
    connect(&greet, &QTimer::timeout, this, [&] {
        if (m_server->hasClient()) {
            greet.stop();
            m_server->sendLine(QStringLiteral("+OK"));
        }
    });
    greet.start(5);
    runSignIn();
    QVERIFY(m_fake->messages.isEmpty());
    QVERIFY(session().gblnSignedIn);
}

void SigninSequenceTest::failedConnectsRetryThenCancel()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const QString closedPort = QString::number(probe.serverPort());
    probe.close();
    storeSetting("server", "port", closedPort);
    m_fake->answers = {platform::mb::OK, platform::mb::Retry, platform::mb::OK, platform::mb::Cancel};

    runSignIn();
    const QString cannot = QStringLiteral("ロビーサーバーに接続できませんでした");
    QCOMPARE(m_fake->messages.size(), 4);
    for (int i : {0, 2}) {
        QVERIFY(!m_fake->messages[i].text.isEmpty());
        QVERIFY(m_fake->messages[i].text != cannot);
        QCOMPARE(m_fake->messages[i].style, Critical);
    }
    for (int i : {1, 3}) {
        QCOMPARE(m_fake->messages[i].text, cannot);
        QCOMPARE(m_fake->messages[i].style, 21);
    }
    QVERIFY(!session().gblnSignedIn);
    QVERIFY(m_server->received.isEmpty());
}

void SigninSequenceTest::cancelDuringSecondAttempt_data()
{
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("cmdCancel") << false;
    QTest::newRow("close box") << true;
}

void SigninSequenceTest::cancelDuringSecondAttempt()
{
    QFETCH(bool, closeBox);
    m_server->greeting.clear(); // connected, but never greeted
    int phase = 0;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *st = Forms::ifLoaded<frmStatus>();
        if (!st)
            return;
        const QString label = st->lblStatus->text();
        if (phase == 0 && m_server->connections() == 1 && label == QStringLiteral("サーバーに接続中 1回目")) {
            // What the socket's error event does.
            session().glngSockErr = 10054;
            session().gstrSockErrDesc = QStringLiteral("接続がリセットされました");
            phase = 1;
        } else if (phase == 1 && m_server->connections() == 2 && label == QStringLiteral("サーバーに接続中 2回目")) {
            phase = 2;
            if (closeBox)
                st->close();
            else
                st->cmdCancel->click();
        }
    });
    poll.start(5);

    runSignIn();
    QCOMPARE(phase, 2);
    QVERIFY(m_fake->messages.isEmpty());
    QVERIFY(!session().gblnSignedIn);
    QCOMPARE(session().gintStatus, qint16(StatusCancelled));
    QVERIFY(!frmCom::get()->isConnected());
}

void SigninSequenceTest::privateAddressWarning_data()
{
    QTest::addColumn<QString>("ipwarn");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("tick");
    QTest::addColumn<bool>("closeBox");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("storedAfter");
    QTest::newRow("suppressed") << "false" << "192.168.1.5" << false << false << false << "false";
    QTest::newRow("False is another word") << "False" << "192.168.1.5" << false << false << true << "False";
    QTest::newRow("10. ticked") << "" << "10.0.0.1" << true << false << true << "false";
    QTest::newRow("172.16") << "" << "172.16.0.1" << false << false << true << "";
    QTest::newRow("172.31.255.255") << "" << "172.31.255.255" << false << false << true << "";
    QTest::newRow("172.15") << "" << "172.15.0.1" << false << false << false << "";
    QTest::newRow("172.32") << "" << "172.32.0.1" << false << false << false << "";
    QTest::newRow("public") << "" << "203.0.113.9" << false << false << false << "";
    QTest::newRow("ticked, then close box") << "" << "10.1.2.3" << true << true << true << "";
}

void SigninSequenceTest::privateAddressWarning()
{
    QFETCH(QString, ipwarn);
    QFETCH(QString, address);
    QFETCH(bool, tick);
    QFETCH(bool, closeBox);
    QFETCH(bool, shown);
    QFETCH(QString, storedAfter);
    if (!ipwarn.isEmpty())
        storeSetting("user", "ipwarn", ipwarn);
    frmStatus::setConnectionAddressForTests(address);
    session().gblnHost = vbTrue;
    int linesBefore = -1;
    m_fake->handlers[QStringLiteral("dlgIPWarning")] = [&](QDialog *d) {
        auto *w = static_cast<dlgIPWarning *>(d);
        linesBefore = int(m_server->received.size());
        QVERIFY(w->lblText->text().remove(u'\n').contains(QStringLiteral("「") + address + QStringLiteral("」")));
        w->chkVisible->setChecked(tick);
        if (closeBox)
            w->close();
        else
            w->OKButton->click();
    };

    runSignIn();
    QCOMPARE(m_fake->modalShown.contains(QStringLiteral("dlgIPWarning")), shown);
    if (shown)
        QCOMPARE(linesBefore, 0); // right after the connection, before GAMENAME
    QCOMPARE(setting("user", "ipwarn"), storedAfter);
    QVERIFY(!Forms::isLoaded(QStringLiteral("dlgIPWarning")));
    QVERIFY(session().gblnSignedIn);
}

void SigninSequenceTest::firstUseDeclined()
{
    QVERIFY(settings::DeleteSetting(kUser));
    m_fake->handlers[QStringLiteral("dlgLicence")] = [](QDialog *d) {
        static_cast<dlgLicence *>(d)->CancelButton->click();
    };
    runSignIn();
    QCOMPARE(m_fake->modalShown, (QStringList{"frmStatus", "dlgLicence"}));
    QVERIFY(m_fake->messages.isEmpty());
    QCOMPARE(setting("user", "licence"), QString());
    QCOMPARE(sentKeywords(), (QStringList{"GAMENAME", "HOST"}));
    QVERIFY(!session().gblnSignedIn);
}

void SigninSequenceTest::firstUseCancelledThenFormDirectly()
{
    QVERIFY(settings::DeleteSetting(kUser));
    m_fake->handlers[QStringLiteral("dlgLicence")] = pressOK;
    m_fake->handlers[QStringLiteral("dlgInputUserPas")] = [](QDialog *d) { d->close(); };
    runSignIn();
    QCOMPARE(m_fake->modalShown, (QStringList{"frmStatus", "dlgLicence", "dlgInputUserPas"}));
    QCOMPARE(m_fake->messageTexts(), QStringList{QStringLiteral("ロビーサーバーへの登録を次回起動時に行ってください。")});
    QCOMPARE(m_fake->messages.front().style, Exclamation);
    QCOMPARE(setting("user", "licence"), QStringLiteral("true"));
    QVERIFY(!sentKeywords().contains(QStringLiteral("REGISTUSER")));
    QVERIFY(!session().gblnSignedIn);

    // The next start goes straight to the account form.
    m_fake->modalShown.clear();
    runSignIn();
    QCOMPARE(m_fake->modalShown, (QStringList{"frmStatus", "dlgInputUserPas"}));
}

void SigninSequenceTest::registrationRefusedTwice()
{
    QVERIFY(settings::DeleteSetting(kUser));
    m_server->once(QStringLiteral("REGISTUSER"), {QStringLiteral("-ERR 1")});
    m_server->once(QStringLiteral("REGISTUSER"), {QStringLiteral("-ERR")});
    m_fake->handlers[QStringLiteral("dlgLicence")] = pressOK;
    int showing = 0;
    QStringList keptBetweenShowings;
    m_fake->handlers[QStringLiteral("dlgInputUserPas")] = [&](QDialog *d) {
        auto *f = static_cast<dlgInputUserPas *>(d);
        ++showing;
        if (showing > 1)
            keptBetweenShowings << f->txtUser->text() + QLatin1Char('/') + f->txtComment->text();
        fillAccountForm(d, {QStringLiteral("hanako%1").arg(showing), QStringLiteral("secret1"), {},
                            QStringLiteral("h@x.jp"), QStringLiteral("よろしく お願いします")});
    };

    runSignIn();
    QCOMPARE(showing, 3);
    QCOMPARE(countOf(m_fake->modalShown, QStringLiteral("dlgLicence")), 1);
    QCOMPARE(keptBetweenShowings, (QStringList{QStringLiteral("hanako1/よろしく お願いします"),
                                                QStringLiteral("hanako2/よろしく お願いします")}));
    const QString refused = QStringLiteral("登録できません、違う名前で試してみてください");
    QCOMPARE(m_fake->messageTexts(), (QStringList{refused, refused}));
    QCOMPARE(m_fake->messages.front().style, Exclamation);
    QCOMPARE(m_server->received.mid(2),
             (QStringList{QStringLiteral("REGISTUSER hanako1 secret1 h@x.jp よろしく お願いします"),
                          QStringLiteral("REGISTUSER hanako2 secret1 h@x.jp よろしく お願いします"),
                          QStringLiteral("REGISTUSER hanako3 secret1 h@x.jp よろしく お願いします"),
                          QStringLiteral("LOGIN hanako3 secret1"), QStringLiteral("CHATDATA"), QStringLiteral("ROOMLIST")}));
    QCOMPARE(setting("user", "name"), QStringLiteral("hanako3"));
    QCOMPARE(setting("user", "password"), lobbyModule::encodeString(QStringLiteral("secret1")));
    QCOMPARE(setting("user", "comment"), QStringLiteral("よろしく お願いします"));
    QCOMPARE(setting("user", "email"), QStringLiteral("h@x.jp"));
    QVERIFY(!Forms::isLoaded(QStringLiteral("dlgInputUserPas")));
    QVERIFY(session().gblnSignedIn);
}

void SigninSequenceTest::repeatedFormClosedIsCancel()
{
    QVERIFY(settings::DeleteSetting(kUser));
    storeSetting("user", "licence", QStringLiteral("true"));
    m_server->on(QStringLiteral("REGISTUSER"), {QStringLiteral("-ERR 1")});
    int showing = 0;
    m_fake->handlers[QStringLiteral("dlgInputUserPas")] = [&](QDialog *d) {
        if (++showing == 1)
            fillAccountForm(d, {QStringLiteral("hanako"), QStringLiteral("secret1"), {}, QStringLiteral("h@x.jp"), {}});
        else
            d->close();
    };
    runSignIn();
    QCOMPARE(showing, 2);
    QCOMPARE(m_fake->messageTexts(), (QStringList{QStringLiteral("登録できません、違う名前で試してみてください"),
                                                  QStringLiteral("ロビーサーバーへの登録を次回起動時に行ってください。")}));
    QCOMPARE(sentKeywords(), (QStringList{"GAMENAME", "HOST", "REGISTUSER"}));
    QCOMPARE(setting("user", "name"), QString());
    QVERIFY(!session().gblnSignedIn);
}

void SigninSequenceTest::existingId()
{
    QVERIFY(settings::DeleteSetting(kUser));
    m_fake->handlers[QStringLiteral("dlgLicence")] = pressOK;
    m_fake->handlers[QStringLiteral("dlgInputUserPas")] = [](QDialog *d) {
        auto *f = static_cast<dlgInputUserPas *>(d);
        f->chkUseOldAccount->setChecked(true);
        QVERIFY(!f->txtComment->isEnabled());
        fillAccountForm(d, {QStringLiteral("jiro"), QStringLiteral("pass~word"), {}, QStringLiteral("j@x.jp"),
                            QStringLiteral("unused"), true});
    };
    // The account is adopted before LOGIN, whatever LOGIN then says.
    m_server->once(QStringLiteral("LOGIN"), {QStringLiteral("-ERR 1")});

    runSignIn();
    QCOMPARE(m_server->received.mid(2), QStringList{QStringLiteral("LOGIN jiro pass~word")});
    QCOMPARE(setting("user", "name"), QStringLiteral("jiro"));
    QCOMPARE(lobbyModule::decodeString(setting("user", "password")), QStringLiteral("pass~word"));
    QCOMPARE(setting("user", "comment"), QString());
    QCOMPARE(setting("user", "email"), QString());
}

void SigninSequenceTest::droppedLine_data()
{
    QTest::addColumn<QString>("at");        // the line the server hangs up on; "" before greeting
    QTest::addColumn<bool>("firstUse");
    QTest::addColumn<int>("answer");
    QTest::newRow("before the greeting") << "" << false << platform::mb::No;
    QTest::newRow("at GAMENAME") << "GAMENAME" << false << platform::mb::No;
    QTest::newRow("at LOGIN, reconnect") << "LOGIN" << false << platform::mb::Yes;
    QTest::newRow("at REGISTUSER") << "REGISTUSER" << true << platform::mb::No;
}

void SigninSequenceTest::droppedLine()
{
    QFETCH(QString, at);
    QFETCH(bool, firstUse);
    QFETCH(int, answer);
    if (firstUse) {
        QVERIFY(settings::DeleteSetting(kUser));
        storeSetting("user", "licence", QStringLiteral("true"));
        m_fake->handlers[QStringLiteral("dlgInputUserPas")] = [](QDialog *d) {
            fillAccountForm(d, {QStringLiteral("hanako"), QStringLiteral("secret1"), {}, QStringLiteral("h@x.jp"), {}});
        };
    }
    QTimer hangUp;
    if (at.isEmpty()) {
        m_server->greeting.clear();
        connect(&hangUp, &QTimer::timeout, this, [this] {
            if (m_server->hasClient())
                m_server->closeClient();
        });
        hangUp.start(5);
    } else {
        m_server->on(at, {});
        m_server->onLine = [this, at](const QString &line) {
            if (protocol::keyword(line) == at)
                m_server->closeClient();
        };
    }
    m_fake->answers = {answer};

    runSignIn();
    QCOMPARE(m_fake->messageTexts(), QStringList{kDropped});
    QVERIFY(!session().gblnSignedIn);
    QCOMPARE(session().gblnRetry, answer == platform::mb::Yes);
    QCOMPARE(m_server->connections(), 1);
    if (!at.isEmpty())
        QCOMPARE(sentKeywords().last(), at);
}

// The server refuses and hangs up at once. The refusal's box is open while the
// end of the line arrives; once the reconnect question was answered, no dialog
// that needs the line follows.
void SigninSequenceTest::refusedThenDropped_data()
{
    QTest::addColumn<QString>("at");
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<QString>("dialog"); // the dialog the refusal would lead back to
    QTest::newRow("LOGIN, wrong password") << "LOGIN" << "ログインエラー: パスワードが異なります" << "dlgLogin";
    QTest::newRow("LOGIN, no such user") << "LOGIN" << "ログインエラー: ユーザー 「taro」 は存在しません" << "dlgLogin";
    QTest::newRow("REGISTUSER") << "REGISTUSER" << "登録できません、違う名前で試してみてください" << "dlgInputUserPas";
}

void SigninSequenceTest::refusedThenDropped()
{
    QFETCH(QString, at);
    QFETCH(QString, refusal);
    QFETCH(QString, dialog);
    if (at == QLatin1String("REGISTUSER")) {
        QVERIFY(settings::DeleteSetting(kUser));
        storeSetting("user", "licence", QStringLiteral("true"));
        m_fake->handlers[QStringLiteral("dlgInputUserPas")] = [](QDialog *d) {
            fillAccountForm(d, {QStringLiteral("hanako"), QStringLiteral("secret1"), {}, QStringLiteral("h@x.jp"), {}});
        };
    }
    const QString code = refusal.contains(QStringLiteral("存在しません")) ? QStringLiteral("3") : QStringLiteral("2");
    m_server->on(at, {});
    m_server->onLine = [this, at, code](const QString &line) {
        if (protocol::keyword(line) != at)
            return;
        m_server->sendLine(QStringLiteral("-ERR ") + code);
        m_server->closeClient();
    };
    // A real box runs the event loop while the player reads it.
    m_fake->onMessage = [refusal](const QString &text) {
        if (text == refusal)
            QTRY_VERIFY(!frmCom::get()->isConnected());
    };
    m_fake->answers = {platform::mb::OK, platform::mb::No};

    runSignIn();
    QCOMPARE(m_fake->messageTexts(), (QStringList{refusal, kDropped}));
    QCOMPARE(countOf(m_fake->modalShown, dialog), at == QLatin1String("REGISTUSER") ? 1 : 0);
    QVERIFY(!session().gblnSignedIn);
    QVERIFY(!session().gblnRetry);
}

void SigninSequenceTest::executeIntoLobby()
{
    QVERIFY(settings::DeleteSetting(kUser));
    m_fake->handlers[QStringLiteral("dlgLicence")] = pressOK;
    m_fake->handlers[QStringLiteral("dlgInputUserPas")] = [](QDialog *d) {
        fillAccountForm(d, {QStringLiteral("demo_user"), QStringLiteral("secret1"), {}, QStringLiteral("d@x.jp"),
                            QStringLiteral("hi")});
    };
    bool signedInAtLobby = false;
    m_fake->handlers[QStringLiteral("frmMain")] = [&](QDialog *) {
        signedInAtLobby = session().gblnSignedIn;
        Forms::unload<frmMain>();
    };
    QString ip = QStringLiteral("unchanged");
    QCOMPARE(component::execute(QStringLiteral("DemoGame"), vbFalse, ip), int(QORCHAT_OK));
    QVERIFY(signedInAtLobby);
    QCOMPARE(ip, QString());
    QCOMPARE(m_fake->modalShown, (QStringList{"frmStatus", "dlgLicence", "dlgInputUserPas", "frmMain"}));
    QCOMPARE(m_server->received,
             (QStringList{"GAMENAME DemoGame", "HOST no", "REGISTUSER demo_user secret1 d@x.jp hi",
                          "LOGIN demo_user secret1", "CHATDATA", "ROOMLIST"}));
    QCOMPARE(setting("user", "name"), QStringLiteral("demo_user"));
}

QTEST_MAIN(SigninSequenceTest)
#include "tst_signin_sequence.moc"
