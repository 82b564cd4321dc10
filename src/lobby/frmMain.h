#pragma once
// The lobby window. (Controls, modes and handlers arrive with the lobby work; this
// holds its public members so the rest of the component can be built against it.)
#include "platform/forms.h"

class frmMain : public Form {
    Q_OBJECT
public:
    static constexpr const char kName[] = "frmMain";
    struct State : FormStateBase {
        QString mstrUser;
        QString mstrPassword;
        QString mstrComment;
        QString mstrEmail;
        QString mstrRoomName;
        bool blnDisplayDbgMessage = false;
    };
    static State &m() { return Forms::state<frmMain>(); }

    frmMain();
    void Form_Load() override;

    // Makes an account ready in mstrUser / mstrPassword before sign-in; false when
    // the user declined.
    bool initUser();

private:
    bool loadUser();
};
