// The stored account, and the first use: terms of use, the account form, then a
// registration with the server or the adoption of an existing user ID.
#include "frmMain.h"

#include "net/frmCom.h"
#include "net/protocol/protocol.h"
#include "session/scramble.h"
#include "session/sessionState.h"
#include "session/seams.h"
#include "session/settingkeys.h"
#include "account/dlgInputUserPas.h"
#include "account/dlgLicence.h"

#include <QCheckBox>
#include <QLineEdit>

namespace {
// The account goes in one write, and the user hears when it could not be kept (the
// next start would then ask for it again).
void storeAccount(const QString &user, const QString &password, const settings::Values &more = {})
{
    settings::Values values{{settings::key::userName.keyName(), user},
                            {settings::key::userPassword.keyName(), lobbyModule::encodeString(password)}};
    values += more;
    if (!settings::SaveSettings(settings::key::userName.sectionName(), values))
        settings::tellNotSaved(QStringLiteral("アカウント情報"));
}
} // namespace

bool frmMain::loadUser()
{
    State &s = m();
    s.mstrUser = settings::get(settings::key::userName);
    if (s.mstrUser.isEmpty())
        return false;
    const QString password = settings::get(settings::key::userPassword);
    s.mstrPassword = password.isEmpty() ? QString() : lobbyModule::decodeString(password);
    s.mstrComment = settings::get(settings::key::userComment);
    return true;
}

bool frmMain::initUser()
{
    // The form may still be set up for a change of details from an earlier lobby;
    // a registration starts from its design state.
    Forms::unload<dlgInputUserPas>();
    // Without a line the server cannot be asked; a line that drops meanwhile has
    // already been reported (and the dialogs closed) by the connection form.
    const bool online = frmCom::get()->isConnected();
    auto lineLost = [online] { return online && !frmCom::get()->isConnected(); };

    bool result = true;
    for (;;) {
        if (loadUser())
            break;

        if (!settings::isTrue(settings::key::userLicence)) {
            platform::modalRunner().run(Forms::get<dlgLicence>());
            if (!dlgLicence::m().blnAgree || lineLost()) {
                result = false;
                break;
            }
            if (!settings::save(settings::key::userLicence, QStringLiteral("true")))
                settings::tellNotSaved(QStringLiteral("利用規約への同意"));
        }

        // A repeated showing closed with the close box is a cancel, like the first.
        dlgInputUserPas::m().blnPressOK = false;
        platform::modalRunner().run(Forms::get<dlgInputUserPas>());
        if (lineLost()) {
            result = false;
            break;
        }
        if (!dlgInputUserPas::m().blnPressOK) {
            platform::msgBox(QStringLiteral("ロビーサーバーへの登録を次回起動時に行ってください。"), platform::mb::Exclamation);
            result = false;
            break;
        }

        const dlgInputUserPas *form = Forms::get<dlgInputUserPas>();
        State &s = m();
        s.mstrUser = form->txtUser->text();
        s.mstrPassword = form->txtPassword->text();
        s.mstrEmail = form->txtEmail->text();
        s.mstrComment = form->txtComment->text();

        if (form->chkUseOldAccount->isChecked()) {
            // Whether the account exists is for the LOGIN that follows to find out.
            storeAccount(s.mstrUser, s.mstrPassword);
            break;
        }

        const frmCom::Reply reply =
            frmCom::get()->request(protocol::client::RegistUser{s.mstrUser, s.mstrPassword, s.mstrEmail, s.mstrComment});
        if (lineLost()) {
            result = false;
            break;
        }
        if (reply.ok()) {
            storeAccount(s.mstrUser, s.mstrPassword,
                         {{QStringLiteral("comment"), s.mstrComment}, {QStringLiteral("email"), s.mstrEmail}});
            break;
        }
        platform::msgBox(QStringLiteral("登録できません、違う名前で試してみてください"), platform::mb::Exclamation);
        // Refused and hung up: the form would register over a line that is gone.
        if (lineLost()) {
            result = false;
            break;
        }
    }
    Forms::unload<dlgInputUserPas>();
    return result;
}
