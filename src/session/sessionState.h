#pragma once
// Process-wide session state shared by every window and the connection. Lives as
// long as the component is loaded; tests call session().reset().
#include <QString>

// 16-bit Booleans of the component's interface: True is -1, False is 0. A caller
// may pass another value; tests for True compare with -1.
constexpr qint16 vbTrue = -1;
constexpr qint16 vbFalse = 0;

// Reply status of an awaited command.
enum ReplyStatus : qint16 { StatusOK = 1, StatusErr = 2, StatusWaiting = 3, StatusCancelled = 4 };

// The socket error number that means "no error".
constexpr qint32 sckNoError = 40017;

// How the lobby's present pass ended, for the caller of Execute.
enum class LobbyEnd : qint16 { None, MatchStarted, UserLeft, SignInFailed, ServerUnreachable };

// The state every window and the connection share for one loaded component. One
// object, so that a test or a new Execute starts from a known state with reset().
struct SessionState {
    QString gstrGameName;
    qint16 gblnHost = vbFalse;
    QString gstrHostIP;
    qint32 glngSockErr = 0;
    QString gstrSockErrDesc;
    qint16 gintStatus = 0;
    qint16 gintErrCode = 0;
    qint16 gintGameID = 0;
    qint16 gintMinPlayers = 0;
    bool gblnTopmost = false;
    bool gblnSignedIn = false;
    bool gblnRetry = false;
    LobbyEnd gLobbyEnd = LobbyEnd::None;
    // Server lines that broke the protocol and were ignored.
    quint32 gProtocolErrors = 0;

    // Records how the pass ends; once the match started, that is how it ended.
    void setLobbyEnd(LobbyEnd end)
    {
        if (gLobbyEnd != LobbyEnd::MatchStarted)
            gLobbyEnd = end;
    }
    // Back to the values the component starts with.
    void reset() { *this = SessionState(); }
};

// The one session of this process.
SessionState &session();
