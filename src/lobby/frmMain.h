#pragma once
// The lobby window: the players, the lobby chat, the rooms and, in room mode, the
// room's players and chat. The dispatcher and the list queries write into its
// controls; the room, start, chat and menu handlers act on them.
#include "net/frmCom.h"
#include "platform/forms.h"

#include <QHash>
#include <QList>
#include <QPixmap>
#include <QPointer>
#include <QStringList>

#include <optional>

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QListWidget;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QStatusBar;
class QTimer;
class QToolButton;

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

    // Lines kept by each chat box; older lines leave from the top.
    static constexpr int kChatLines = 100;

    frmMain();
    void Form_Load() override;

    // Room mode (true) or lobby mode (false).
    void visibleControl(bool blnRoom);
    // The window is in room mode exactly while the room chat is shown (also while
    // the window itself is hidden).
    bool isRoomMode() const;

    // Makes an account ready in mstrUser / mstrPassword before sign-in; false when
    // the user declined.
    bool initUser();

    // Enables or disables cmdEnter, cmdLeave, cmdStart or lstRooms; during a wait
    // the change shows when the wait ends.
    void setCommandEnabled(QWidget *control, bool enabled);
    bool isWaiting() const { return m_waiting; }

    // Sends the command and waits for its status line (frmCom::request); nullopt when this
    // window was unloaded meanwhile (the line dropped, the match started), and the
    // handler that asked must return at once.
    std::optional<frmCom::Reply> awaitReply(const protocol::client::Line &command);

    // The first panel of staInfo.
    void setStatusText(const QString &text);
    QString statusText() const;

    // Gives a picture button its look when enabled and when disabled.
    static void setButtonPicture(QToolButton *button, const QPixmap &picture, const QPixmap &disabledPicture);
    // Adds a line at the end of a chat box, which then shows its newest kChatLines
    // lines, scrolled to the last. Lines arriving together go in at once when the
    // event loop next runs, so a burst is laid out only for the lines that stay.
    // Returns the number of lines the box held before this one.
    int appendChat(QPlainTextEdit *box, const QString &line);
    // Puts the lines still waiting into their boxes now.
    void flushChat();
    // Adds canned phrases to the drop-down lists of both chat inputs; what the user
    // is typing stays as it is.
    void addChatPhrases(const QStringList &phrases);
    // Empties the drop-down lists of both chat inputs; what the user is typing stays.
    void clearChatPhrases();
    // Shows the editor of the user's own canned phrases (modal).
    void editChatPhrases();

    // Rooms: create or enter, delete or leave, who is in a room, a player's comment.
    void cmdEnter_Click();
    void cmdLeave_Click();
    void lstRooms_Click();
    void lstPlayers_Click();
    // The host starts the match.
    void cmdStart_Click();

    // Chat keys: Enter (13) sends the input's text; a refused key comes back as 0.
    void txtLobbyChat_KeyPress(qint16 &KeyAscii);
    void txtRoomChat_KeyPress(qint16 &KeyAscii);
    void mnuChageInfo_Click();
    void mnuExit_Click();
    void mnuOnlineHelp_Click();
    void cmdHelp_Click();

    // Menus and their items.
    QMenuBar *menuBar = nullptr;
    QMenu *mnuFile = nullptr;
    QAction *mnuChageInfo = nullptr;
    QAction *mnuExit = nullptr;
    QMenu *mnuHelp = nullptr;
    QAction *mnuEditChat = nullptr;
    QAction *mnuAccess = nullptr;
    QAction *mnuOnlineHelp = nullptr;
    QAction *mnuVersion = nullptr;

    QFrame *linMenu1 = nullptr;
    QFrame *linMenu2 = nullptr;
    QLabel *lblPlayers = nullptr;
    QListWidget *lstPlayers = nullptr;
    QLabel *lblRoomPlayerList = nullptr;
    QListWidget *lstRoomPlayers = nullptr;
    QLabel *lblLobbyChat = nullptr;
    QPlainTextEdit *rtfLobbyChat = nullptr;
    QLabel *lblRoom = nullptr;
    QListWidget *lstRooms = nullptr;
    QPlainTextEdit *rtfRoomChat = nullptr;
    QComboBox *txtLobbyChat = nullptr;
    QComboBox *txtRoomChat = nullptr;
    QToolButton *cmdHelp = nullptr;
    QToolButton *cmdEnter = nullptr;
    QToolButton *cmdLeave = nullptr;
    QToolButton *cmdStart = nullptr;
    QStatusBar *staInfo = nullptr;
    // The picture store of cmdEnter and cmdLeave.
    QLabel *imgCreateEnable = nullptr;
    QLabel *imgCreateDisable = nullptr;
    QLabel *imgEnterEnable = nullptr;
    QLabel *imgEnterDisable = nullptr;
    QLabel *imgLeaveEnable = nullptr;
    QLabel *imgLeaveDisable = nullptr;
    QLabel *imgDeleteEnable = nullptr;
    QLabel *imgDeleteDisable = nullptr;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    bool loadUser();
    void updateClock();
    void mnuAccess_Click();
    void mnuVersion_Click();
    void connectRoomCommands();
    void connectChatAndMenus();
    void chatKeyPress(bool room, qint16 &KeyAscii);
    // Runs a list's click handler once the events of the click are over; a press
    // that changes the selection and its release make one call.
    void queueListClick(void (frmMain::*handler)(), bool &queued);
    // Shows the room's players that arrived while a command waited, before the
    // window was in room mode to keep them.
    void keepRoomPlayers(const QStringList &before);

    // A command of this window waits for its reply; a second one would take the
    // first one's reply as its own. While it waits, the controls that start a
    // command are disabled, so a click there is visibly refused rather than lost;
    // whatever enables or disables them meanwhile takes effect when the wait ends.
    bool m_waiting = false;
    friend class BusyWait;
    void beginWait();
    void endWait();
    QList<QWidget *> busyControls() const;
    QHash<QWidget *, bool> m_wantedEnabled;
    bool m_changeInfoEnabled = true;
    bool m_roomsClickQueued = false;
    bool m_playersClickQueued = false;

    // The panels of staInfo: notices, the date, the time.
    QLabel *m_panelText = nullptr;
    QLabel *m_panelDate = nullptr;
    QLabel *m_panelTime = nullptr;
    QTimer *m_clock = nullptr;
    // Chat lines not yet in rtfLobbyChat / rtfRoomChat, at most kChatLines each.
    QStringList m_pendingLobby;
    QStringList m_pendingRoom;
    bool m_flushQueued = false;
};

// Makes the lobby window the network layer's view of the windows (net/lobbyView.h).
// Every load of the window does it; the component does it before the first line.
void installLobbyView();

// Marks one wait of the lobby window for as long as it lives.
class BusyWait {
public:
    explicit BusyWait(frmMain *window);
    ~BusyWait();
    BusyWait(const BusyWait &) = delete;
    BusyWait &operator=(const BusyWait &) = delete;

private:
    QPointer<frmMain> m_window;
};
