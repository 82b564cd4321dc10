#pragma once
// Asks the host for the name of the room to create. OK, Cancel and Enter in the
// box only hide it with mblnOK set; the caller reads txtName and unloads it.
#include "wire/wire.h"
#include "platform/forms.h"

class QLabel;
class QLineEdit;
class QPushButton;

class dlgInputRoomName : public Form {
    Q_OBJECT
public:
    static constexpr const char kName[] = "dlgInputRoomName";
    struct State : FormStateBase {
        bool mblnOK = false;
    };
    static State &m() { return Forms::state<dlgInputRoomName>(); }

    // Bytes of a room name in code page 932.
    static constexpr int kMaxNameBytes = protocol::limits::kRoomNameBytes;

    dlgInputRoomName();
    void Form_Load() override;
    // The close box counts as Cancel; the text stays for the caller.
    bool Form_QueryUnload() override;

    QLabel *lblMessage;
    QLineEdit *txtName;
    QPushButton *OKButton;
    QPushButton *CancelButton;

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void txtName_Enter();
    void OKButton_Click();
    void CancelButton_Click();
};
