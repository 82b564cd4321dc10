#pragma once
// The terms of use of the lobby service. The answer (blnAgree) outlives the dialog:
// the caller reads it after the dialog unloaded itself.
#include "platform/forms.h"

class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;

class dlgLicence : public Form {
    Q_OBJECT
public:
    static constexpr const char kName[] = "dlgLicence";
    struct State : FormStateBase {
        bool blnAgree = false;
    };
    static State &m() { return Forms::state<dlgLicence>(); }

    dlgLicence();
    void Form_Load() override;

    // The terms text shipped with the component.
    static QString licenceText();

    QLabel *Label1;
    QFrame *Frame1;
    QPlainTextEdit *txtLicence;
    QPushButton *OKButton;
    QPushButton *CancelButton;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void OKButton_Click();
    void CancelButton_Click();
};
