#pragma once
// The hidden connection form: owns the one TCP connection to the lobby server and
// the tick timer of every wait, sends lines, cuts the incoming bytes into lines and
// hands them to the dispatcher. Loaded once, never unloaded.
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <deque>

#include "net/protocol/lineframer.h"

class QSslError;
class QSslSocket;
class QTcpSocket;
class QTimer;
namespace serverchoice {
struct Server;
}

class frmCom : public QObject {
    Q_OBJECT
public:
    static constexpr const char kName[] = "frmCom";
    // A line longer than this (without its CR LF) is dropped. Lists of a big lobby
    // travel as one line (10,000 players are about 140 KB), so the bound is 1 MiB.
    static constexpr qsizetype kMaxLineBytes = 1024 * 1024;
    // Bytes that may wait while a line is being handled (a message box it opened is
    // on screen). A server that sends more meanwhile is treated as a broken line.
    static constexpr qsizetype kMaxQueuedBytes = 8 * 1024 * 1024;

    // The form, loaded on first use.
    static frmCom *get();
    // Tests: destroy the form so the next get() loads a fresh one.
    static void resetForTests();
    // Interval of tmrError in ms (1000 in the product). Applies to the next load.
    static void setTickInterval(int ms);
    static int tickInterval();

    QTcpSocket *wskTcp = nullptr;
    QTimer *tmrError = nullptr;

    qint16 intTick = 0;
    int intLobbyLines = 0;
    int intRoomLines = 0;
    bool blnClosing = false;
    bool blnPlayerListReady = false;
    bool blnRoomListReady = false;
    bool blnChartReady = false;
    // Raw entries of the last list lines, plus one empty element at the end.
    QStringList astrPlayers{QString()};
    QStringList astrRooms{QString()};
    QStringList astrRoomPlayers{QString()};
    QList<qint16> aintChart;
    QString strChartDate;
    // CHATDATA phrases left out because a line or the drop-down lists were full.
    qsizetype ignoredChatPhrases = 0;

    // Sends line + CR LF; false when there is no connection to send on.
    bool println(const QString &line);
    // Sends line and waits for the next status line: 1 "+OK", 2 "-ERR", 3 none (about
    // ten ticks passed, a socket error, or the line is down).
    qint16 printlnAndWait(const QString &line);
    // Shows a pending socket error once; always returns the no-error number.
    qint32 checkErr();

    // List and chart requests (answer is a data line, not a status line).
    qint16 getRoomList();
    qint16 getChartData(qint16 kind, QList<QVariant> &values, QString &date);
    QStringList playerList() const;
    void showPlayerList();
    void showRoomList();

    // The connection. Our own close never asks the reconnect question.
    void connectTo(const QString &host, const QString &port);
    // With TLS the line counts as connected only once the server's certificate
    // passed; a handshake that fails is a socket error with the host in its text.
    void connectTo(const serverchoice::Server &server);
    void closeSocket();
    bool isConnected() const;
    // Dotted address of this end of the server connection ("" when none).
    QString localAddress() const;

    // Blocks until at least one event was processed. Every wait is built on this.
    static void waitForEvents();
    // Starts a wait's tick count at 0 with a full interval before the first tick, so
    // a wait of n ticks lasts at least n intervals.
    void resetTicks();

private:
    frmCom();
    ~frmCom() override;
    void Form_Load();
    void tmrError_Timer();
    void wskTcp_Connect();
    void wskTcp_Error(int error);
    void wskTcp_Close();
    void wskTcp_SslErrors(const QList<QSslError> &errors);
    void wskTcp_Encrypted();
    void failHandshake(qint32 number, const QString &text);
    void wskTcp_DataArrival();
    void drainQueue();
    bool queueOverflowing() const;
    void protocolError();
    void lineDropped();

    LineFramer m_framer{kMaxLineBytes};
    std::deque<QList<QByteArray>> m_queue; // whole lines per arrival, in order
    qsizetype m_queuedBytes = 0;
    bool m_dispatching = false;
    bool m_abandoned = false; // the line was dropped while its lines were handled
    bool m_closingByUs = false;
    // wskTcp is this same socket; in plain mode it passes bytes through unchanged.
    QSslSocket *m_ssl = nullptr;
    bool m_tls = false;
    bool m_handshakeFailed = false;
    QString m_host;
    QByteArray m_pin;
    QString m_certificateProblem;
};
