#include "matchpilot.h"

#include "uidriver.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace uidriver;

namespace {
const QString kPassword = QStringLiteral("demo2300");

bool chatHas(QWidget *main, const char *box, const QString &line)
{
    auto *chat = child<QPlainTextEdit>(main, QString::fromLatin1(box));
    return chat && chat->toPlainText().contains(line);
}
} // namespace

MatchPilot::MatchPilot(const Options &options) : m_options(options)
{
    m_tick.setInterval(options.paceMs);
    connect(&m_tick, &QTimer::timeout, this, &MatchPilot::tick);
}

QString MatchPilot::userName(bool host) { return host ? QStringLiteral("花子") : QStringLiteral("太郎"); }
QString MatchPilot::lobbyLine(bool host)
{
    return host ? QStringLiteral("こんにちは、部屋を作ります") : QStringLiteral("よろしくお願いします");
}
QString MatchPilot::roomLine(bool host)
{
    return host ? QStringLiteral("ようこそ、始めますか？") : QStringLiteral("準備できました");
}
QString MatchPilot::roomName() { return QStringLiteral("対局室"); }

void MatchPilot::start()
{
    if (!m_options.shotsDir.isEmpty())
        QDir().mkpath(m_options.shotsDir);
    m_clock.start();
    m_phaseClock.start();
    m_tick.start();
}

void MatchPilot::say(const QString &text)
{
    std::fprintf(stderr, "[%-6s %5.1fs] %s\n", qPrintable(role()), m_clock.elapsed() / 1000.0, text.toUtf8().constData());
    std::fflush(stderr);
}

void MatchPilot::enter(Phase next, const QString &waitingFor)
{
    m_phase = next;
    m_waitingFor = waitingFor;
    m_phaseClock.restart();
}

void MatchPilot::shot(QWidget *window, const QString &what)
{
    if (m_options.shotsDir.isEmpty() || !window)
        return;
    const QString path = QDir(m_options.shotsDir).filePath(role() + u'-' + what + QStringLiteral(".png"));
    if (m_shots.contains(path))
        return;
    if (!saveShot(window, path))
        fail(QStringLiteral("could not save %1").arg(path));
    m_shots << path;
}

void MatchPilot::fail(const QString &why)
{
    say(QStringLiteral("FAILED: ") + why);
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && !w->objectName().isEmpty())
            shot(w, QStringLiteral("failed-") + w->objectName());
    std::fflush(stdout);
    // Every window is modal and nested; nothing would unwind them in order.
    std::_Exit(3);
}

bool MatchPilot::firstTime(QWidget *window)
{
    QPointer<QWidget> &seen = m_handled[window->objectName()];
    if (seen == window)
        return false;
    seen = window;
    return true;
}

void MatchPilot::tick()
{
    if (m_clock.elapsed() > qint64(m_options.deadlineS) * 1000)
        fail(QStringLiteral("the match took longer than %1 s (waiting for %2)").arg(m_options.deadlineS).arg(m_waitingFor));
    if (m_phaseClock.elapsed() > qint64(m_options.stepLimitS) * 1000)
        fail(QStringLiteral("waited %1 s for %2").arg(m_options.stepLimitS).arg(m_waitingFor));

    // No message box belongs to a match that goes well: each one tells of a fault.
    if (QMessageBox *box = messageBox()) {
        shot(box, QStringLiteral("message"));
        fail(QStringLiteral("message box: ") + box->text());
    }
    if (signInDialogs())
        return;
    if (QWidget *main = window(QStringLiteral("frmMain")))
        lobby(main);
}

bool MatchPilot::signInDialogs()
{
    if (QWidget *status = window(QStringLiteral("frmStatus"))) {
        if (firstTime(status)) {
            say(QStringLiteral("signing in to the lobby server"));
            shot(status, QStringLiteral("status"));
        }
    }
    if (QWidget *terms = window(QStringLiteral("dlgLicence"))) {
        if (!firstTime(terms))
            return true;
        shot(terms, QStringLiteral("terms"));
        say(QStringLiteral("first use: agreeing to the terms of use"));
        clickLater(child<QPushButton>(terms, QStringLiteral("OKButton")));
        return true;
    }
    if (QWidget *warning = window(QStringLiteral("dlgIPWarning"))) {
        if (!firstTime(warning))
            return true;
        shot(warning, QStringLiteral("address-warning"));
        say(QStringLiteral("private address warning: OK"));
        clickLater(child<QPushButton>(warning, QStringLiteral("OKButton")));
        return true;
    }
    if (QWidget *form = window(QStringLiteral("dlgInputUserPas"))) {
        if (!firstTime(form))
            return true;
        const bool host = m_options.host;
        type(child<QLineEdit>(form, QStringLiteral("txtUser")), userName(host));
        type(child<QLineEdit>(form, QStringLiteral("txtPassword")), kPassword);
        type(child<QLineEdit>(form, QStringLiteral("txtPasswordConfirm")), kPassword);
        type(child<QLineEdit>(form, QStringLiteral("txtComment")), host ? QStringLiteral("囲碁初段") : QStringLiteral("将棋５段"));
        type(child<QLineEdit>(form, QStringLiteral("txtEmail")), host ? QStringLiteral("hanako@example.org") : QStringLiteral("taro@example.org"));
        shot(form, QStringLiteral("registration"));
        say(QStringLiteral("first use: registering the account ") + userName(host));
        clickLater(child<QPushButton>(form, QStringLiteral("OKButton")));
        return true;
    }
    if (window(QStringLiteral("dlgLogin")))
        fail(QStringLiteral("the server refused the new account (login dialog)"));
    return false;
}

void MatchPilot::lobby(QWidget *main)
{
    const bool host = m_options.host;
    auto *players = child<QListWidget>(main, QStringLiteral("lstPlayers"));
    auto *rooms = child<QListWidget>(main, QStringLiteral("lstRooms"));
    auto *roomPlayers = child<QListWidget>(main, QStringLiteral("lstRoomPlayers"));
    auto *roomChat = child<QPlainTextEdit>(main, QStringLiteral("rtfRoomChat"));
    const QString peer = userName(!host);
    const bool roomMode = roomChat && roomChat->isVisible();

    switch (m_phase) {
    case Phase::SignIn:
        say(QStringLiteral("signed in: the lobby window is shown"));
        enter(Phase::WaitPeerInLobby, peer + QStringLiteral(" in the lobby's player list"));
        break;
    case Phase::WaitPeerInLobby:
        if (findRow(players, peer) < 0)
            break;
        say(peer + QStringLiteral(" is in the lobby"));
        if (host)
            enter(Phase::SendLobbyLine, QStringLiteral("the lobby chat"));
        else
            enter(Phase::WaitHostLobbyLine, QStringLiteral("the host's lobby chat line"));
        break;
    case Phase::WaitHostLobbyLine:
        if (!chatHas(main, "rtfLobbyChat", lobbyLine(true)))
            break;
        say(QStringLiteral("lobby chat from ") + peer + QStringLiteral(": ") + lobbyLine(true));
        enter(Phase::SendLobbyLine, QStringLiteral("the lobby chat"));
        break;
    case Phase::SendLobbyLine: {
        auto *input = child<QComboBox>(main, QStringLiteral("txtLobbyChat"));
        type(input, lobbyLine(host));
        pressEnter(input);
        say(QStringLiteral("lobby chat: ") + lobbyLine(host));
        enter(Phase::WaitPeerLobbyLine, QStringLiteral("the lobby chat lines of both players"));
        break;
    }
    case Phase::WaitPeerLobbyLine:
        if (!chatHas(main, "rtfLobbyChat", lobbyLine(host)) || !chatHas(main, "rtfLobbyChat", lobbyLine(!host)))
            break;
        if (host) {
            say(QStringLiteral("lobby chat from ") + peer + QStringLiteral(": ") + lobbyLine(false));
            shot(main, QStringLiteral("lobby"));
            enter(Phase::CreateRoom, QStringLiteral("the room-name dialog"));
            say(QStringLiteral("creating a room"));
            clickLater(child<QToolButton>(main, QStringLiteral("cmdEnter")));
        } else {
            enter(Phase::OpenChart, QStringLiteral("the access chart"));
        }
        break;
    case Phase::OpenChart: {
        auto *help = main->findChild<QMenu *>(QStringLiteral("mnuHelp"));
        QAction *access = nullptr;
        for (QAction *a : help ? help->actions() : QList<QAction *>())
            if (a->objectName() == QLatin1String("mnuAccess"))
                access = a;
        if (!access)
            fail(QStringLiteral("no menu item mnuAccess"));
        say(QStringLiteral("opening the access chart"));
        enter(Phase::ChartShown, QStringLiteral("the access chart"));
        QTimer::singleShot(0, access, &QAction::trigger);
        break;
    }
    case Phase::ChartShown:
        if (QWidget *chart = window(QStringLiteral("dlgChart"))) {
            auto *view = child<QWidget>(chart, QStringLiteral("chChart"));
            auto *message = child<QLabel>(chart, QStringLiteral("lblMessage"));
            if (message && message->isVisible() && message->text() != QStringLiteral("データの取得中..."))
                fail(QStringLiteral("access chart: ") + message->text());
            if (!view || !view->isVisible())
                break;
            shot(chart, QStringLiteral("chart"));
            say(QStringLiteral("access chart shown; closing it with Escape"));
            QTimer::singleShot(0, chart, [chart] {
                QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                QApplication::sendEvent(chart, &press);
            });
            enter(Phase::ChartGone, QStringLiteral("the closed access chart to be destroyed"));
        }
        break;
    case Phase::ChartGone: {
        // Closed, it must not stay behind for the rest of the session.
        const QWidgetList all = QApplication::allWidgets();
        if (std::any_of(all.begin(), all.end(), [](const QWidget *w) { return w->objectName() == QLatin1String("dlgChart"); }))
            break;
        say(QStringLiteral("the closed access chart is gone"));
        enter(Phase::WaitRoom, roomName() + QStringLiteral(" in the room list"));
        break;
    }
    case Phase::CreateRoom:
        if (QWidget *dialog = window(QStringLiteral("dlgInputRoomName"))) {
            if (!firstTime(dialog))
                break;
            type(child<QLineEdit>(dialog, QStringLiteral("txtName")), roomName());
            shot(dialog, QStringLiteral("room-name"));
            say(QStringLiteral("room name: ") + roomName());
            clickLater(child<QPushButton>(dialog, QStringLiteral("OKButton")));
            enter(Phase::WaitMemberInRoom, peer + QStringLiteral(" entering the room"));
        }
        break;
    case Phase::WaitRoom: {
        if (window(QStringLiteral("dlgChart")))
            break;
        const int row = findRow(rooms, roomName());
        if (row < 0)
            break;
        shot(main, QStringLiteral("lobby"));
        say(QStringLiteral("the room list shows ") + rooms->item(row)->text().trimmed() + QStringLiteral("; picking it"));
        clickRowLater(rooms, row);
        enter(Phase::EnterRoom, QStringLiteral("the room's players"));
        break;
    }
    case Phase::EnterRoom:
        if (findRow(roomPlayers, peer) < 0)
            break;
        say(QStringLiteral("entering the room"));
        clickLater(child<QToolButton>(main, QStringLiteral("cmdEnter")));
        enter(Phase::WaitRoomMode, QStringLiteral("room mode"));
        break;
    case Phase::WaitRoomMode:
        if (!roomMode)
            break;
        say(QStringLiteral("in the room: ") + child<QLabel>(main, QStringLiteral("lblRoom"))->text());
        enter(Phase::WaitHostRoomLine, QStringLiteral("the host's room chat line"));
        break;
    case Phase::WaitMemberInRoom:
        if (!roomMode || findRow(roomPlayers, peer) < 0)
            break;
        say(peer + QStringLiteral(" entered the room"));
        enter(Phase::SendRoomLine, QStringLiteral("the room chat"));
        break;
    case Phase::WaitHostRoomLine:
        if (!chatHas(main, "rtfRoomChat", roomLine(true)))
            break;
        say(QStringLiteral("room chat from ") + peer + QStringLiteral(": ") + roomLine(true));
        shot(main, QStringLiteral("room"));
        enter(Phase::SendRoomLine, QStringLiteral("the room chat"));
        break;
    case Phase::SendRoomLine: {
        auto *input = child<QComboBox>(main, QStringLiteral("txtRoomChat"));
        type(input, roomLine(host));
        pressEnter(input);
        say(QStringLiteral("room chat: ") + roomLine(host));
        if (host) {
            enter(Phase::WaitMemberRoomLine, peer + QStringLiteral("'s room chat line"));
        } else {
            enter(Phase::WaitStart, QStringLiteral("the host's start"));
        }
        break;
    }
    case Phase::WaitMemberRoomLine: {
        auto *start = child<QToolButton>(main, QStringLiteral("cmdStart"));
        if (!chatHas(main, "rtfRoomChat", roomLine(false)) || !start || !start->isEnabled())
            break;
        say(QStringLiteral("room chat from ") + peer + QStringLiteral(": ") + roomLine(false));
        shot(main, QStringLiteral("room"));
        say(QStringLiteral("starting the match"));
        clickLater(start);
        enter(Phase::Start, QStringLiteral("the start of the match"));
        break;
    }
    case Phase::WaitStart:
    case Phase::Start:
        break;
    }
}
