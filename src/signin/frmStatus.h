#pragma once
// The status window that connects and signs in. (The sign-in sequence arrives with
// the sign-in work; until then the window closes at once and leaves the user signed
// out, so the component's loop runs end to end.)
#include "platform/forms.h"

class frmStatus : public Form {
    Q_OBJECT
public:
    static constexpr const char kName[] = "frmStatus";
    struct State : FormStateBase {};

    frmStatus();
    void Form_Load() override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    bool mblnActivated = false;
};
