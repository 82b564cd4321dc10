#pragma once
// Plays one side of a match through the component's windows: first use (terms,
// registration), lobby chat, a room, room chat and the start. The host creates
// the room and starts; the member enters it. Each side reacts to what its windows
// show, so the two processes need no channel but the lobby server itself.
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

class QWidget;

class MatchPilot : public QObject {
    Q_OBJECT
public:
    struct Options {
        bool host = false;
        QString shotsDir;   // empty: no pictures
        int paceMs = 250;   // one action per pace
        int deadlineS = 150; // the whole match
        int stepLimitS = 60; // one wait
    };
    explicit MatchPilot(const Options &options);

    // Ticks from now on, inside whatever event loop runs (every dialog is modal).
    void start();
    QStringList shots() const { return m_shots; }
    QString role() const { return m_options.host ? QStringLiteral("host") : QStringLiteral("member"); }

    // Names and lines of each side, so each knows what the other will show.
    static QString userName(bool host);
    static QString lobbyLine(bool host);
    static QString roomLine(bool host);
    static QString roomName();

    // Prints one step of the match, with the seconds since the start.
    void say(const QString &text);

private:
    enum class Phase {
        SignIn,
        WaitPeerInLobby,
        WaitHostLobbyLine,
        SendLobbyLine,
        WaitPeerLobbyLine,
        OpenChart,
        ChartShown,
        ChartGone,
        CreateRoom,
        WaitRoom,
        EnterRoom,
        WaitRoomMode,
        WaitMemberInRoom,
        WaitHostRoomLine,
        SendRoomLine,
        WaitMemberRoomLine,
        Start,
        WaitStart,
    };
    void tick();
    bool signInDialogs();
    void lobby(QWidget *main);
    void enter(Phase next, const QString &waitingFor);
    // A picture of window under <role>-<what>.png, once per name.
    void shot(QWidget *window, const QString &what);
    [[noreturn]] void fail(const QString &why);
    // True the first time it is asked for this window instance.
    bool firstTime(QWidget *window);

    Options m_options;
    QTimer m_tick;
    QElapsedTimer m_clock;
    QElapsedTimer m_phaseClock;
    Phase m_phase = Phase::SignIn;
    QString m_waitingFor = QStringLiteral("the lobby window");
    QHash<QString, QPointer<QWidget>> m_handled;
    QStringList m_shots;
};
