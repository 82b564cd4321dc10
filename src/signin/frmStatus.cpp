#include "frmStatus.h"

#include "platform/dialogParts.h"
#include "dlgIPWarning.h"
#include "dlgLogin.h"
#include "lobby/frmMain.h"
#include "net/frmCom.h"
#include "net/protocol/protocol.h"
#include "session/lobbyModule.h"
#include "session/seams.h"
#include "session/serverchoice.h"
#include "session/settingkeys.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {
QString g_addressForTests;

void critical(const QString &text) { platform::msgBox(text, platform::mb::Critical); }
} // namespace

frmStatus::frmStatus()
{
    setWindowTitle(QStringLiteral("ステータス"));
    dialog::setDialogFrame(this);

    lblStatus = new QLabel(this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setMinimumWidth(dialog::twips(4200));
    cmdCancel = new QPushButton(QStringLiteral("キャンセル"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setAutoDefault(false);
    connect(cmdCancel, &QPushButton::clicked, this, &frmStatus::cmdCancel_Click);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdCancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lblStatus);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void frmStatus::Form_Load()
{
    mblnActivated = false;
    m().mblnCancel = false;
}

bool frmStatus::Form_QueryUnload()
{
    cmdCancel_Click();
    return false;
}

QString frmStatus::connectionAddress()
{
    return g_addressForTests.isEmpty() ? frmCom::get()->localAddress() : g_addressForTests;
}

void frmStatus::setConnectionAddressForTests(const QString &address) { g_addressForTests = address; }

void frmStatus::showEvent(QShowEvent *event)
{
    dialog::centreOnScreen(this);
    Form::showEvent(event);
    // The sequence starts once, after the window is up; dialogs shown over it make
    // it show and activate again, which must not start it twice.
    if (mblnActivated)
        return;
    mblnActivated = true;
    QTimer::singleShot(0, this, &frmStatus::Form_Activate);
}

void frmStatus::Form_Activate()
{
    lobbyModule::setTopmost(this);
    setWindowTitle(QStringLiteral("ロビーサーバーに接続中"));
    session().gblnSignedIn = false;

    connect(frmCom::get(), &frmCom::socketDisconnected, this, [this] { m_lineDropped = true; });

    for (;;) {
        const Connection result = connectServer();
        if (result == Connection::Greeted) {
            session().setLobbyEnd(LobbyEnd::None); // an earlier attempt's failure is over
            warnPrivateAddress();
            if (Login() == StatusOK)
                session().gblnSignedIn = true;
            else if (session().gLobbyEnd == LobbyEnd::None)
                session().setLobbyEnd(lineLost() ? LobbyEnd::UserLeft : LobbyEnd::SignInFailed);
            break;
        }
        if (result == Connection::Cancelled) {
            session().setLobbyEnd(LobbyEnd::UserLeft);
            break;
        }
        session().setLobbyEnd(LobbyEnd::ServerUnreachable);
        if (result == Connection::ServerFull) {
            critical(QStringLiteral("ロビーサーバーが込み合っています。しばらくした後再度接続を行ってください。"));
            break;
        }
        frmCom::get()->checkErr();
        if (platform::msgBox(QStringLiteral("ロビーサーバーに接続できませんでした"),
                             platform::mb::Critical | platform::mb::RetryCancel)
            != platform::mb::Retry)
            break;
    }
    disconnect(frmCom::get(), &frmCom::socketDisconnected, this, nullptr);
    Forms::unload<frmStatus>();
}

frmStatus::Connection frmStatus::connectServer()
{
    State &s = m();
    s.mblnCancel = false;
    s.mintStatus = 1;
    const serverchoice::Server server = serverchoice::current();

    for (int attempt = 1; attempt <= 3; ++attempt) {
        lblStatus->setText(QStringLiteral("サーバーに接続中 ") + QString::number(attempt) + QStringLiteral("回目"));
        session().glngSockErr = sckNoError;
        session().gintStatus = StatusWaiting;
        // A busy answer from an earlier run must not end this attempt.
        session().gintErrCode = 0;
        frmCom::get()->connectTo(server);
        m_lineDropped = false;
        SessionState &g = session();
        const frmCom::Received &received = frmCom::get()->received();
        const auto greeting = [&received] {
            return received.lastStatus ? frmCom::Reply::of(*received.lastStatus) : frmCom::Reply{};
        };
        // The greeting, the user's cancel, a socket error, a busy server or a hang-up.
        frmCom::get()->waitFor(
            [&] {
                return greeting().ok() || s.mblnCancel || g.glngSockErr != sckNoError
                       || greeting().is(protocol::err::Greeting::ServerFull) || m_lineDropped;
            },
            frmCom::kNoTickLimit);
        if (greeting().ok())
            return Connection::Greeted;
        if (s.mblnCancel) {
            g.gintStatus = StatusCancelled;
            return Connection::Cancelled;
        }
        if (g.glngSockErr != sckNoError) {
            g.gintStatus = StatusErr;
            frmCom::get()->closeSocket();
            continue;
        }
        if (greeting().is(protocol::err::Greeting::ServerFull)) {
            frmCom::get()->closeSocket();
            return Connection::ServerFull;
        }
        // The server hung up before it greeted; the user has answered the
        // reconnect question, so the sequence ends here without another.
        g.gintStatus = StatusErr;
        return Connection::Cancelled;
    }
    return Connection::Failed;
}

void frmStatus::warnPrivateAddress()
{
    if (settings::get(settings::key::userIpWarn) == QLatin1String("false"))
        return;
    if (!lobbyModule::isPrivateAddress(connectionAddress()))
        return;
    platform::modalRunner().run(Forms::get<dlgIPWarning>());
    // Closed with the close box, it was unloaded: nothing was ticked.
    dlgIPWarning *dlg = Forms::ifLoaded<dlgIPWarning>();
    if (dlg && dlg->chkVisible->isChecked()
        && !settings::save(settings::key::userIpWarn, QStringLiteral("false")))
        settings::tellNotSaved(QStringLiteral("警告を表示しない設定"));
    Forms::unload<dlgIPWarning>();
}

bool frmStatus::lineLost() const
{
    // A match that started meanwhile ends the sign-in as well.
    return !frmCom::get()->isConnected() || frmCom::get()->isClosing();
}

frmCom::Reply frmStatus::sendWithAttempts(const protocol::client::Line &command, int attempts)
{
    frmCom::Reply reply{frmCom::Reply::Kind::Dropped};
    for (int i = 0; i < attempts && !lineLost(); ++i) {
        reply = frmCom::get()->request(command);
        if (reply.ok())
            break;
    }
    return reply;
}

qint16 frmStatus::Login()
{
    State &s = m();
    s.mintStatus = 2;
    s.mblnCancel = false;
    settings::save(settings::key::dbgGameName, session().gstrGameName);

    // Refused or unanswered, the lists simply come whole.
    if (frmCom::get()->received().blnListDeltaOffered) {
        frmCom::get()->request(protocol::client::ListDelta{});
        if (lineLost())
            return StatusWaiting;
    }

    lblStatus->setText(QStringLiteral("ゲーム名送信中..."));
    frmCom::Reply reply = sendWithAttempts(protocol::client::GameName{session().gstrGameName}, 3);
    if (lineLost())
        return StatusWaiting;
    if (!reply.ok()) {
        critical(QStringLiteral("本システムはこのゲームには対応していません"));
        return reply.status();
    }

    lblStatus->setText(QStringLiteral("ホスト情報送信中..."));
    reply = sendWithAttempts(protocol::client::Host{session().gblnHost == vbTrue}, 2);
    if (lineLost())
        return StatusWaiting;
    if (!reply.ok()) {
        critical(QStringLiteral("ホスト情報不正"));
        return reply.status();
    }

    if (!Forms::get<frmMain>()->initUser() || lineLost()) {
        // Declined terms, a cancelled account form or a line that went meanwhile.
        session().setLobbyEnd(LobbyEnd::UserLeft);
        return StatusErr;
    }

    frmMain::State &account = frmMain::m();
    bool signedIn = false;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        lblStatus->setText(QStringLiteral("ログイン中..."));
        reply = frmCom::get()->request(protocol::client::Login{account.mstrUser, account.mstrPassword});
        if (lineLost())
            return StatusWaiting;
        if (reply.ok()) {
            // Stored only now that the server accepted them.
            if (!settings::save({{settings::key::userName, account.mstrUser},
                                 {settings::key::userPassword, lobbyModule::encodeString(account.mstrPassword)}}))
                settings::tellNotSaved(QStringLiteral("アカウント情報"));
            signedIn = true;
            break;
        }
        const QString user = account.mstrUser;
        using LoginErr = protocol::err::Login;
        if (reply.is(LoginErr::AlreadySignedIn)) {
            critical(QStringLiteral("ログインエラー: ユーザー 「") + user + QStringLiteral("」 はすでにログインしています"));
            return reply.status();
        }
        if (reply.is(LoginErr::WrongPassword))
            critical(QStringLiteral("ログインエラー: パスワードが異なります"));
        else if (reply.is(LoginErr::NoSuchUser))
            critical(QStringLiteral("ログインエラー: ユーザー 「") + user + QStringLiteral("」 は存在しません"));
        else
            critical(QStringLiteral("ログインエラー: ") + user);
        // The server may hang up with its refusal; the box above has shown the
        // reconnect question by then, and the login dialog would need the line.
        if (lineLost())
            return StatusWaiting;
        dlgLogin *dlg = Forms::get<dlgLogin>();
        dlg->txtUser->setText(account.mstrUser);
        dlg->txtPassword->setText(account.mstrPassword);
        platform::modalRunner().run(dlg);
        if (lineLost())
            return StatusWaiting;
        // Closed with its close box, the dialog was unloaded: a fresh one hands back
        // empty boxes.
        dlg = Forms::get<dlgLogin>();
        account.mstrUser = dlg->txtUser->text();
        account.mstrPassword = dlg->txtPassword->text();
        Forms::unload<dlgLogin>();
    }
    if (!signedIn) {
        critical(QStringLiteral("ログインエラー: ") + account.mstrUser);
        if (platform::msgBox(QStringLiteral("次回起動時に新しいアカウントを作成しますか？"),
                             platform::mb::Exclamation | platform::mb::YesNo)
            == platform::mb::Yes)
            if (!settings::DeleteSetting(QString::fromLatin1(settings::section::user)))
                settings::tellNotSaved(QStringLiteral("アカウントの削除"));
        return reply.status();
    }

    lblStatus->setText(QStringLiteral("チャットデータ取得中..."));
    reply = sendWithAttempts(protocol::client::ChatData{}, 2);
    if (lineLost())
        return StatusWaiting;
    if (!reply.ok()) {
        critical(QStringLiteral("チャットデータ取得失敗"));
        return reply.status();
    }

    lblStatus->setText(QStringLiteral("部屋一覧取得中..."));
    qint16 status = StatusErr;
    for (int attempt = 1; attempt <= 2 && !lineLost(); ++attempt) {
        status = frmCom::get()->getRoomList();
        if (status == StatusOK)
            break;
    }
    return lineLost() ? qint16(StatusWaiting) : status;
}

void frmStatus::cmdCancel_Click()
{
    m().mblnCancel = true;
    if (m().mintStatus == 1)
        frmCom::get()->closeSocket();
}
