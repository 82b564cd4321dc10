#pragma once
// Lets the user correct the user ID and password after the server refused a LOGIN.
// The result is the content of the two boxes; the caller reads them and unloads.
#include "platform/forms.h"

class QLabel;
class QLineEdit;
class QPushButton;

class dlgLogin : public Form {
    Q_OBJECT
public:
    static constexpr const char kName[] = "dlgLogin";
    struct State : FormStateBase {};

    dlgLogin();
    void Form_Load() override;

    QLabel *lblExplain;
    QLabel *lblUser;
    QLineEdit *txtUser;
    QLabel *lblPassword;
    QLineEdit *txtPassword;
    QPushButton *OKButton;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void OKButton_Click();
};
