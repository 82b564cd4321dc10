#pragma once
// The account form: user ID, password, comment and e-mail address, for a new
// registration (its design state) and for a change of details (the caller sets
// that up). It only filters keys and checks the input; OK hides it with blnPressOK
// set, and the caller reads the boxes.
#include "platform/forms.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

class dlgInputUserPas : public Form {
    Q_OBJECT
public:
    static constexpr const char kName[] = "dlgInputUserPas";
    struct State : FormStateBase {
        bool blnPressOK = false;
    };
    static State &m() { return Forms::state<dlgInputUserPas>(); }

    dlgInputUserPas();
    void Form_Load() override;
    // The explanation at the top, in lines that fit the form.
    void setExplanation(const QString &text);

    // True when txtUser holds a character a user ID must not have.
    bool CheckBadChar() const;

    QLabel *lblExplain;
    QLabel *lblUser;
    QLineEdit *txtUser;
    QLabel *lblPassword;
    QLineEdit *txtPassword;
    QLabel *lblPasswordConfirm;
    QLineEdit *txtPasswordConfirm;
    QLabel *lblComment;
    QLineEdit *txtComment;
    QLabel *lblEmail;
    QLineEdit *txtEmail;
    QCheckBox *chkUseOldAccount;
    QPushButton *OKButton;

protected:
    void showEvent(QShowEvent *event) override;

private:
    bool checkInput();
    void chkUseOldAccount_Click();
    void OKButton_Click();
};
