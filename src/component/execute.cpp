#include "execute.h"

#include "qorchat/qorchat.h"

#include "lobby/frmMain.h"
#include "net/frmCom.h"
#include "platform/forms.h"
#include "platform/qtplatform.h"
#include "session/sessionState.h"
#include "wire/rules.h"
#include "session/seams.h"
#include "session/settingkeys.h"
#include "signin/frmStatus.h"

#include <QApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <atomic>

namespace component {
namespace {
bool g_running = false;
QString g_lastAddress;
// The running call's number (0: none), for cancel() on any thread; a request
// that arrives after its call ended must not close the next one.
std::atomic<quint64> g_runningCall{0};
quint64 g_calls = 0;
bool g_cancelled = false;
QPointer<QTimer> g_cancelSweep;

// The address without leading and trailing spaces (spaces only, as the game expects).
QString trimSpaces(const QString &s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && s.at(b) == u' ') ++b;
    while (e > b && s.at(e - 1) == u' ') --e;
    return s.mid(b, e - b);
}

// Ends the line so that nothing the server sends later can reach a window once
// the game has control; a QUIT still queued goes out first.
void closeLine()
{
    frmCom *com = frmCom::get();
    com->flushOutput(1000);
    com->closeSocket();
}

// The address as the game gets it: a plain address or nothing.
QString checkedAddress(const QString &hostIp)
{
    const QString ip = trimSpaces(hostIp);
    return protocol::isPlainAddress(ip) ? ip : QString();
}

// The game asked the lobby to go: the user's Cancel for the sign-in, Exit for
// the lobby, and no reconnecting.
void closeOnRequest()
{
    g_cancelled = true;
    session().gblnRetry = false;
    session().setLobbyEnd(LobbyEnd::UserLeft);
    frmStatus::m().mblnCancel = true;
    closeLine();
    Forms::unloadAll();
    // Code that was waiting when the request came may still open a window or a
    // message box on its way out; those go as well.
    if (!g_cancelSweep) {
        g_cancelSweep = new QTimer(qApp);
        QObject::connect(g_cancelSweep, &QTimer::timeout, [] {
            frmStatus::m().mblnCancel = true;
            Forms::unloadAll();
        });
    }
    g_cancelSweep->start(20);
}
} // namespace

int cancel()
{
    const quint64 call = g_runningCall.load();
    QCoreApplication *app = QCoreApplication::instance();
    if (!call || !app)
        return QORCHAT_E_NOT_RUNNING;
    QMetaObject::invokeMethod(app, [call] {
        if (g_runningCall.load() == call && !g_cancelled)
            closeOnRequest();
    }, Qt::QueuedConnection);
    return QORCHAT_OK;
}

int execute(const QString &gameName, qint16 host, QString &strIp, LobbyEnd *end)
{
    if (g_running)
        return QORCHAT_E_BUSY;
    g_running = true;
    g_cancelled = false;
    g_runningCall = ++g_calls;
    platform::installQtPlatform();

    session().gstrGameName = gameName;
    session().gblnHost = host;
    session().gblnTopmost = true;
    settings::save(settings::key::dbgHostIp, QStringLiteral("nothing"));
    const bool displayDbg = settings::isTrue(settings::key::dbgDisplay);

    do {
        session().gblnRetry = false;
        session().gLobbyEnd = LobbyEnd::None;
        Forms::get<frmMain>();
        frmCom *com = frmCom::get();
        // A finished match leaves the closing flag set and the line open.
        com->beginPass();
        com->closeSocket();
        frmMain::m().blnDisplayDbgMessage = displayDbg;

        platform::modalRunner().run(Forms::get<frmStatus>());
        Forms::collect();
        // A match that started while signing in has already closed the lobby;
        // showing it again would wait on a line that is gone.
        if (session().gblnSignedIn && !frmCom::get()->isClosing() && !g_cancelled) {
            // Closing the lobby without another reason is the user leaving.
            session().setLobbyEnd(LobbyEnd::UserLeft);
            platform::modalRunner().run(Forms::get<frmMain>());
        }
        Forms::collect();
        strIp = checkedAddress(session().gstrHostIP);
    } while (session().gblnRetry && !g_cancelled);

    Forms::unloadAll();
    closeLine();
    // The game may not turn our event loop again.
    settings::flushSoon();
    Forms::collect();
    if (g_cancelSweep)
        g_cancelSweep->stop();
    // Whatever the sign-in made of the closed line, the game asked for it.
    if (g_cancelled)
        session().setLobbyEnd(LobbyEnd::UserLeft);
    if (end)
        *end = session().gLobbyEnd;
    platform::windowOrder().placeTop(Forms::get<frmMain>());
    g_lastAddress = strIp;
    g_runningCall = 0;
    g_running = false;
    return QORCHAT_OK;
}

QString lastAddress() { return g_lastAddress; }

} // namespace component
