#pragma once
// Warns that the computer reaches the lobby from a private address, which players on
// the internet cannot connect to, and lets the user turn the warning off for good.
// The caller reads chkVisible after the dialog closed and unloads it.
#include "platform/forms.h"

class QCheckBox;
class QLabel;
class QPushButton;

class dlgIPWarning : public Form {
    Q_OBJECT
public:
    static constexpr const char kName[] = "dlgIPWarning";
    struct State : FormStateBase {};

    dlgIPWarning();
    void Form_Load() override;

    QLabel *lblText;
    QCheckBox *chkVisible;
    QPushButton *OKButton;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void OKButton_Click();
};
