#pragma once
// The status window: shown modally at the start of each pass of Execute, it
// connects to the lobby server, warns about a private address, announces the game
// and the host role, makes sure an account is ready, signs in and fetches the
// phrases and the room list. What it leaves behind is gblnSignedIn.
#include "net/frmCom.h"
#include "platform/forms.h"

class QLabel;
class QPushButton;

class frmStatus : public Form {
    Q_OBJECT
public:
    static constexpr const char kName[] = "frmStatus";
    struct State : FormStateBase {
        bool mblnCancel = false;
        qint16 mintStatus = 0; // 1 connecting, 2 signing in
    };
    static State &m() { return Forms::state<frmStatus>(); }

    frmStatus();
    void Form_Load() override;
    // The close box does what cmdCancel does; the window closes when the sequence ends.
    bool Form_QueryUnload() override;

    // Signs in on the open connection: 1 signed in with the lobby data loaded,
    // otherwise the status of the step that failed (its message was shown).
    qint16 Login();

    // The address of this end of the server connection.
    static QString connectionAddress();
    // Tests: the address to report instead (a loopback connection is never private);
    // an empty text restores the real one.
    static void setConnectionAddressForTests(const QString &address);

    QLabel *lblStatus;
    QPushButton *cmdCancel;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void Form_Activate();
    enum class Connection { Greeted, Cancelled, Failed, ServerFull };
    Connection connectServer();
    void warnPrivateAddress();
    void cmdCancel_Click();
    // The line went down after the connection was made; frmCom has told the user.
    bool lineLost() const;
    frmCom::Reply sendWithAttempts(const protocol::client::Line &command, int attempts);

    bool mblnActivated = false;
    bool m_lineDropped = false;
};
