// Chat input, the File menu and the online help of the lobby window.
#include "frmMain.h"

#include "helpPages.h"

#include "net/frmCom.h"
#include "net/protocol/protocol.h"
#include "platform/keyfilter.h"
#include "session/desktop.h"
#include "session/keyChecks.h"
#include "session/scramble.h"
#include "session/sessionState.h"
#include "session/seams.h"
#include "session/settingkeys.h"
#include "account/dlgInputUserPas.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

#include <QScopeGuard>

#include <functional>

namespace {

// Enter in a chat input sends the line; the line edit must not see it as the end
// of an edit (which would also let the combo box act on it).
class EnterKey final : public QObject {
public:
    EnterKey(QObject *parent, std::function<void()> onEnter) : QObject(parent), m_onEnter(std::move(onEnter)) {}

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key != Qt::Key_Return && key != Qt::Key_Enter)
            return false;
        m_onEnter();
        return true;
    }

private:
    std::function<void()> m_onEnter;
};


} // namespace

void frmMain::connectChatAndMenus()
{
    for (QComboBox *input : {txtLobbyChat, txtRoomChat}) {
        QLineEdit *edit = input->lineEdit();
        KeyFilter::install(edit, {keyRules::dependentChar(), keyRules::noControlChar()});
        const bool room = input == txtRoomChat;
        // On the combo box, which has the focus and passes keys to its line edit
        // directly; on the line edit too, for keys sent to it.
        auto *enter = new EnterKey(edit, [this, room] {
            qint16 key = 13;
            chatKeyPress(room, key);
        });
        edit->installEventFilter(enter);
        input->installEventFilter(enter);
    }
    connect(mnuChageInfo, &QAction::triggered, this, &frmMain::mnuChageInfo_Click);
    connect(mnuExit, &QAction::triggered, this, &frmMain::mnuExit_Click);
    connect(mnuOnlineHelp, &QAction::triggered, this, &frmMain::mnuOnlineHelp_Click);
    connect(cmdHelp, &QToolButton::clicked, this, &frmMain::cmdHelp_Click);
}

void frmMain::txtLobbyChat_KeyPress(qint16 &KeyAscii) { chatKeyPress(false, KeyAscii); }
void frmMain::txtRoomChat_KeyPress(qint16 &KeyAscii) { chatKeyPress(true, KeyAscii); }

void frmMain::chatKeyPress(bool room, qint16 &KeyAscii)
{
    lobbyModule::filterDependentChar(KeyAscii);
    if (KeyAscii != 13)
        return;
    QComboBox *input = room ? txtRoomChat : txtLobbyChat;
    // Sent as typed; the chat shows it when the server sends it back.
    const QString text = input->currentText();
    if (room)
        frmCom::get()->send(protocol::client::RoomMessage{text});
    else
        frmCom::get()->send(protocol::client::LobbyMessage{text});
    input->clearEditText();
    KeyAscii = 0;
}

void frmMain::mnuChageInfo_Click()
{
    if (m_waiting)
        return;
    BusyWait busy(this);

    dlgInputUserPas *form = Forms::get<dlgInputUserPas>();
    dlgInputUserPas::m().blnPressOK = false;
    form->setWindowTitle(QStringLiteral("ユーザー情報の変更"));
    form->setExplanation(
        QStringLiteral("変更するパスワード、コメント、E-Mail アドレスを入力して OK ボタンをクリックしてください。"));
    form->txtUser->setText(settings::get(settings::key::userName));
    form->txtUser->setEnabled(false);
    form->txtComment->setText(settings::get(settings::key::userComment));
    form->txtEmail->setText(settings::get(settings::key::userEmail));
    form->chkUseOldAccount->hide();
    form->txtPassword->setText(m().mstrPassword);
    form->txtPasswordConfirm->setText(m().mstrPassword);
    platform::modalRunner().run(form);

    form = Forms::ifLoaded<dlgInputUserPas>();
    if (!Forms::isCurrent(this) || !form || !dlgInputUserPas::m().blnPressOK)
        return;
    State &s = m();
    s.mstrUser = form->txtUser->text();
    s.mstrPassword = form->txtPassword->text();
    s.mstrComment = form->txtComment->text();
    s.mstrEmail = form->txtEmail->text();
    const QString user = s.mstrUser, password = s.mstrPassword, comment = s.mstrComment, email = s.mstrEmail;

    const frmCom::Reply reply = frmCom::get()->request(protocol::client::UpdateUser{user, password, email, comment});
    if (reply.ok()) {
        // The server has the new details, whatever became of the window meanwhile.
        if (!settings::save({{settings::key::userName, user},
                             {settings::key::userPassword, lobbyModule::encodeString(password)},
                             {settings::key::userComment, comment},
                             {settings::key::userEmail, email}}))
            settings::tellNotSaved(QStringLiteral("アカウント情報"));
    }
    // A lobby closed meanwhile (line dropped, match started) owes no notice.
    if (!Forms::isCurrent(this))
        return;
    if (reply.ok())
        platform::msgBox(QStringLiteral("ユーザー情報を変更しました。"), platform::mb::Information);
    else
        platform::msgBox(QStringLiteral("ユーザー情報の変更に失敗しました。"), platform::mb::Critical);
}

void frmMain::mnuExit_Click()
{
    // The connection stays; it belongs to the connection form.
    Forms::unload<frmMain>();
}

void frmMain::mnuOnlineHelp_Click()
{
    cmdHelp_Click();
}

void frmMain::cmdHelp_Click()
{
    setStatusText(QStringLiteral("オンラインヘルプを表示します"));
    if (!lobbyModule::openWebPage(helpPages::gamePage(session().gintGameID)))
        platform::msgBox(QStringLiteral("ブラウザが起動できませんでした。オンラインヘルプを参照するには任意のブラウザで ")
                             + helpPages::lobbyPage() + QStringLiteral(" にアクセスしてください"),
                         platform::mb::Critical);
}
