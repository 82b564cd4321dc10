#pragma once
// Process-wide session state shared by every window, and the small utilities they
// all use. Lives as long as the component is loaded; tests call session().reset().
#include <QString>

#include <optional>

class QWidget;

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

namespace lobbyModule {

// Opens url in the user's browser; false when that failed (the caller tells the user).
bool openWebPage(const QString &url);

// Password scrambling for the settings store. Every character moves 3 code points
// up in code page 932 ("abc" <-> "def"); a character whose shifted code is no
// character (the tilde, row ends) or that has no code page 932 form is kept as it
// is behind the marker U+0001, so every text comes back exactly.
QString encodeString(const QString &text);
QString decodeString(const QString &text);

// Key filters: keyAscii is the code page 932 key code of the typed character
// (cp932::keyCode); setting it to 0 refuses the key.
// text/selectedChars: the box's current text and the length of its selection.
void limitByteLength(qint16 &keyAscii, const QString &text, int selectedChars, int maxBytes);
void checkUserIdChar(qint16 &keyAscii);
void filterDependentChar(qint16 &keyAscii);

// Always-on-top while gblnTopmost is set; the window keeps its place and size.
void setTopmost(QWidget *window);

bool isPrivateAddress(const QString &ip);

// A plain IPv4 or IPv6 address in text form: at most 45 characters, no scope id,
// nothing around it.
bool isPlainAddress(const QString &text);

// Conversions with the rules of the wire's numbers and flags: an Integer is a
// decimal number rounded half to even into 16 bits; a Boolean is True or False in
// any letter case or a number (0 is False). nullopt when the text does not convert.
std::optional<qint16> toInteger(const QString &text);
std::optional<bool> toBoolean(const QString &text);

} // namespace lobbyModule
