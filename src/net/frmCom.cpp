#include "frmCom.h"

#include "net/dispatcher.h"
#include "net/protocol/protocol.h"
#include "net/lobbyView.h"
#include "session/clientLog.h"
#include "wire/codec.h"
#include "session/sessionState.h"
#include "session/seams.h"
#include "session/serverchoice.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

namespace {
frmCom *g_instance = nullptr;
int g_tickInterval = 1000;
LobbyView *g_view = nullptr;

// Until the lobby installs itself, the effects on windows go nowhere.
class NoView final : public LobbyView {
public:
    bool echoesLines() const override { return false; }
    int appendChat(bool, const QString &) override { return 0; }
    void showPlayers(const QStringList &) override {}
    void showRooms(const QStringList &) override {}
    void showRoomPlayers(const QStringList &, std::optional<bool>) override {}
    bool isRoomMode() const override { return false; }
    void clearRoomPlayers() override {}
    void leaveRoomMode() override {}
    void setStatusText(const QString &) override {}
    void matchAnnounced() override {}
    qsizetype chatPhraseRoom(qsizetype maxGamePhrases) const override { return maxGamePhrases; }
    void addChatPhrases(const QStringList &) override {}
    void dropAlwaysOnTop() override {}
    void closeAll() override {}
    void closeForDroppedLine() override {}
};

struct SocketErrorText {
    QAbstractSocket::SocketError error;
    qint32 number;
    const char *text;
};

// Numbers and texts of the socket errors as the user and the callers see them.
constexpr SocketErrorText kSocketErrors[] = {
    {QAbstractSocket::ConnectionRefusedError, 10061, "接続が拒否されました"},
    {QAbstractSocket::HostNotFoundError, 11001, "ホストが見つかりません"},
    {QAbstractSocket::SocketTimeoutError, 10060, "接続がタイムアウトしました"},
    {QAbstractSocket::NetworkError, 10065, "ネットワークに到達できません"},
    {QAbstractSocket::RemoteHostClosedError, 10054, "接続がリセットされました"},
    {QAbstractSocket::SocketAccessError, 10013, "ソケットへのアクセスが拒否されました"},
    {QAbstractSocket::SocketResourceError, 10055, "ソケットのリソースが不足しています"},
    {QAbstractSocket::AddressInUseError, 10048, "アドレスは既に使用されています"},
    {QAbstractSocket::UnsupportedSocketOperationError, 10045, "サポートされていない操作です"},
};

// The certificate could not be trusted (also: not the pinned one); the encrypted
// channel could not be set up at all.
constexpr qint32 kTlsCertificateError = 12045;
constexpr qint32 kTlsChannelError = 12157;

QString certificateProblem(const QList<QSslError> &errors)
{
    for (const QSslError &e : errors) {
        switch (e.error()) {
        case QSslError::HostNameMismatch: return QStringLiteral("証明書のホスト名が一致しません");
        case QSslError::CertificateExpired: return QStringLiteral("証明書の有効期限が切れています");
        case QSslError::CertificateNotYetValid: return QStringLiteral("証明書がまだ有効ではありません");
        case QSslError::CertificateRevoked: return QStringLiteral("証明書は失効しています");
        default: break;
        }
    }
    return QStringLiteral("信頼されていない証明書です");
}

QString serverName(const QString &host) { return QStringLiteral("ロビーサーバー 「") + host + QStringLiteral("」 "); }
} // namespace

frmCom *frmCom::get()
{
    if (!g_instance) {
        g_instance = new frmCom();
        g_instance->Form_Load();
    }
    return g_instance;
}

void frmCom::resetForTests()
{
    delete g_instance;
    g_instance = nullptr;
}

void frmCom::setView(LobbyView *view) { g_view = view; }

LobbyView &frmCom::view()
{
    static NoView none;
    return g_view ? *g_view : none;
}

void frmCom::setTickInterval(int ms) { g_tickInterval = ms > 0 ? ms : 1; }
int frmCom::tickInterval() { return g_tickInterval; }

frmCom::frmCom()
{
    setObjectName(QString::fromLatin1(kName));
    m_ssl = new QSslSocket(this);
    wskTcp = m_ssl;
    wskTcp->setObjectName(QStringLiteral("wskTcp"));
    // While a line's message box is open the socket is not read (Qt does not emit
    // readyRead inside its own handler), so its buffer must not grow without end.
    wskTcp->setReadBufferSize(kMaxQueuedBytes);
    tmrError = new QTimer(this);
    tmrError->setObjectName(QStringLiteral("tmrError"));
    // A coarse timer may fire early; a wait must never be shorter than its ticks.
    tmrError->setTimerType(Qt::PreciseTimer);
    connect(tmrError, &QTimer::timeout, this, &frmCom::tmrError_Timer);
    connect(wskTcp, &QTcpSocket::connected, this, &frmCom::wskTcp_Connect);
    connect(wskTcp, &QTcpSocket::errorOccurred, this, &frmCom::wskTcp_Error);
    connect(wskTcp, &QTcpSocket::disconnected, this, &frmCom::wskTcp_Close);
    connect(wskTcp, &QTcpSocket::disconnected, this, &frmCom::socketDisconnected);
    connect(wskTcp, &QTcpSocket::readyRead, this, &frmCom::wskTcp_DataArrival);
    connect(m_ssl, &QSslSocket::sslErrors, this, &frmCom::wskTcp_SslErrors);
    connect(m_ssl, &QSslSocket::encrypted, this, &frmCom::wskTcp_Encrypted);
}

frmCom::~frmCom()
{
    m_closingByUs = true;
    wskTcp->abort();
}

void frmCom::Form_Load()
{
    tmrError->setInterval(g_tickInterval);
    tmrError->start();
    m_received.intLobbyLines = 0;
    m_received.intRoomLines = 0;
    blnClosing = false;
}

void frmCom::tmrError_Timer()
{
    // Only a wait resets the count; stop at the top instead of wrapping.
    if (intTick < 32767)
        ++intTick;
    // No readyRead comes while a line's handler (a message box) runs; what came
    // meanwhile is read here, so that the start of the match is seen.
    if (m_dispatching && wskTcp->bytesAvailable() > 0)
        wskTcp_DataArrival();
}

void frmCom::resetTicks()
{
    intTick = 0;
    // Restarting drops a tick that is already due, which would otherwise count as
    // the first of this wait.
    if (tmrError->isActive())
        tmrError->start();
}

void frmCom::waitForEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

bool frmCom::println(const QString &line)
{
    if (!isConnected())
        return false;
    QByteArray bytes = cp932::encode(line);
    bytes.append("\r\n", 2);
    return wskTcp->write(bytes) == bytes.size();
}

qint16 frmCom::Reply::status() const
{
    switch (kind) {
    case Kind::Ok: return StatusOK;
    case Kind::Err: return StatusErr;
    case Kind::TimedOut:
    case Kind::Dropped: break;
    }
    return StatusWaiting;
}

frmCom::Reply frmCom::Reply::of(const protocol::Status &status)
{
    return {status.ok ? Kind::Ok : Kind::Err, status.code.value_or(0)};
}

frmCom::Reply frmCom::request(const protocol::client::Line &command)
{
    return awaitReply(protocol::client::encode(command));
}

qint16 frmCom::printlnAndWait(const QString &line) { return awaitReply(line).status(); }

frmCom::Reply frmCom::awaitReply(const QString &line)
{
    // A reply that never comes must not be read with the meaning of an older "-ERR".
    session().gintErrCode = 0;
    session().gintStatus = StatusWaiting;
    session().glngSockErr = sckNoError;
    m_received.lastStatus.reset();
    println(line);
    const SessionState &s = session();
    const WaitEnd end = waitFor([&] { return s.glngSockErr != sckNoError || m_received.lastStatus || !isConnected(); });
    // An answer in the same turn as the last tick still counts here.
    if (m_received.lastStatus)
        return Reply::of(*m_received.lastStatus);
    if (end == WaitEnd::TimedOut && s.glngSockErr == sckNoError && isConnected()) {
        qCInfo(lcClient) << "no reply in time to" << protocol::keyword(line);
        return {Reply::Kind::TimedOut};
    }
    return {Reply::Kind::Dropped};
}

frmCom::WaitEnd frmCom::waitFor(const std::function<bool()> &done, int maxTicks)
{
    resetTicks();
    for (;;) {
        waitForEvents();
        if (maxTicks != kNoTickLimit && intTick > maxTicks)
            return WaitEnd::TimedOut;
        if (done())
            return WaitEnd::Met;
    }
}

void frmCom::flushOutput(int msecs)
{
    if (!isConnected() || wskTcp->bytesToWrite() == 0)
        return;
    wskTcp->flush();
    if (msecs > 0 && wskTcp->bytesToWrite() > 0)
        wskTcp->waitForBytesWritten(msecs);
}

qint32 frmCom::checkErr()
{
    if (session().glngSockErr == sckNoError)
        return sckNoError;
    const QString text = session().gstrSockErrDesc;
    session().glngSockErr = sckNoError;
    session().gstrSockErrDesc.clear();
    platform::msgBox(text, platform::mb::Critical);
    return sckNoError;
}

void frmCom::connectTo(const QString &host, const QString &port)
{
    serverchoice::Server plain;
    plain.host = host;
    plain.port = port;
    connectTo(plain);
}

void frmCom::connectTo(const serverchoice::Server &server)
{
    m_framer.clear();
    m_received.blnListDeltaOffered = false;
    m_received.lastStatus.reset();
    m_closingByUs = true;
    wskTcp->abort();
    m_closingByUs = false;
    m_tls = server.tls;
    m_handshakeFailed = false;
    m_host = server.host;
    m_pin.clear();
    m_certificateProblem.clear();
    // Reported the way the socket reports its own errors: later, as an event.
    auto failLater = [this](qint32 number, const QString &text) {
        QTimer::singleShot(0, this, [number, text] {
            session().glngSockErr = number;
            session().gstrSockErrDesc = text;
        });
    };
    bool ok = false;
    const uint p = server.port.trimmed().toUInt(&ok);
    if (!ok || p == 0 || p > 65535)
        return failLater(10049, QStringLiteral("ポート番号が正しくありません"));
    qCInfo(lcClient) << "connecting to" << server.host << p << (m_tls ? "with TLS" : "in clear");
    if (!m_tls)
        return wskTcp->connectToHost(server.host, quint16(p));

    if (!QSslSocket::supportsSsl())
        return failLater(kTlsChannelError, serverName(m_host) + QStringLiteral("との暗号化通信はこのコンピューターでは利用できません"));
    if (!server.fingerprint.isEmpty()) {
        m_pin = serverchoice::parseFingerprint(server.fingerprint);
        if (m_pin.isEmpty())
            return failLater(kTlsCertificateError,
                             serverName(m_host) + QStringLiteral("の証明書のフィンガープリントの設定が正しくありません"));
    }
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    m_ssl->setSslConfiguration(config);
    m_ssl->connectToHostEncrypted(server.host, quint16(p));
}

void frmCom::wskTcp_SslErrors(const QList<QSslError> &errors)
{
    if (!m_pin.isEmpty()) {
        // The pinned certificate is trusted for itself: self-signed, any name.
        if (m_ssl->peerCertificate().digest(QCryptographicHash::Sha256) == m_pin)
            m_ssl->ignoreSslErrors();
        else
            m_certificateProblem = QStringLiteral("設定されたフィンガープリントと一致しません");
        return;
    }
    // Not ignored: the handshake fails and errorOccurred follows.
    m_certificateProblem = certificateProblem(errors);
}

void frmCom::wskTcp_Encrypted()
{
    // A pinned server whose certificate a system authority vouches for raises no
    // sslErrors; the pin is checked here, before any line is read or sent.
    if (!m_pin.isEmpty() && m_ssl->peerCertificate().digest(QCryptographicHash::Sha256) != m_pin)
        failHandshake(kTlsCertificateError, serverName(m_host) + QStringLiteral("の証明書を確認できませんでした: ")
                                                + QStringLiteral("設定されたフィンガープリントと一致しません"));
}

void frmCom::failHandshake(qint32 number, const QString &text)
{
    qCWarning(lcClient) << "TLS handshake failed:" << text;
    m_handshakeFailed = true;
    session().glngSockErr = number;
    session().gstrSockErrDesc = text;
    m_closingByUs = true;
    m_ssl->abort();
    m_closingByUs = false;
    m_framer.clear();
}

void frmCom::closeSocket()
{
    m_closingByUs = true;
    wskTcp->abort();
    m_closingByUs = false;
    m_framer.clear();
}

bool frmCom::isConnected() const
{
    return wskTcp->state() == QAbstractSocket::ConnectedState && !m_handshakeFailed
           && (!m_tls || m_ssl->isEncrypted());
}

QString frmCom::localAddress() const
{
    if (!isConnected())
        return QString();
    QHostAddress a = wskTcp->localAddress();
    bool v4 = false;
    const quint32 ip4 = a.toIPv4Address(&v4);
    if (v4)
        a = QHostAddress(ip4);
    return a.toString();
}

void frmCom::wskTcp_Connect()
{
    qCInfo(lcClient) << "connected";
    session().glngSockErr = sckNoError;
}

void frmCom::wskTcp_Error(int error)
{
    const auto e = QAbstractSocket::SocketError(error);
    if (m_handshakeFailed)
        return;
    if (m_tls && !m_ssl->isEncrypted()
        && (e == QAbstractSocket::SslHandshakeFailedError || e == QAbstractSocket::SslInternalError
            || e == QAbstractSocket::SslInvalidUserDataError)) {
        if (!m_certificateProblem.isEmpty())
            failHandshake(kTlsCertificateError, serverName(m_host) + QStringLiteral("の証明書を確認できませんでした: ")
                                                    + m_certificateProblem);
        else
            failHandshake(kTlsChannelError, serverName(m_host) + QStringLiteral("と暗号化通信を確立できませんでした"));
        return;
    }
    // The peer closing the line is the Close event, not an error.
    if (e == QAbstractSocket::RemoteHostClosedError)
        return;
    qint32 number = 10000 + qint32(e);
    QString text = wskTcp->errorString();
    for (const auto &s : kSocketErrors) {
        if (s.error == e) {
            number = s.number;
            text = QString::fromUtf8(s.text);
        }
    }
    qCWarning(lcClient) << "socket error" << number << text;
    session().glngSockErr = number;
    session().gstrSockErrDesc = text;
}

void frmCom::wskTcp_Close()
{
    // A failed handshake is a connection failure, reported as such, not a drop.
    if (m_closingByUs || m_handshakeFailed)
        return;
    // Lines that arrived before the end are still read.
    if (wskTcp->bytesAvailable() > 0)
        wskTcp_DataArrival();
    lineDropped();
}

void frmCom::lineDropped()
{
    // A START that came before the end still starts the match.
    if (blnClosing || m_startQueued)
        return;
    qCWarning(lcClient) << "the line dropped";
    if (platform::msgBox(QStringLiteral("回線が切断されました。再接続しますか？"),
                         platform::mb::Critical | platform::mb::YesNo)
        == platform::mb::Yes)
        session().gblnRetry = true;
    closeSocket();
    view().closeForDroppedLine();
}

bool frmCom::queueOverflowing() const
{
    return m_dispatching && m_queuedBytes + wskTcp->bytesAvailable() >= kMaxQueuedBytes;
}

void frmCom::protocolError()
{
    qCWarning(lcClient) << "more than" << kMaxQueuedBytes << "bytes waited while a line was handled; closing";
    // Nothing more is read from this server; what waits is thrown away.
    clearQueue();
    m_abandoned = true;
    closeSocket();
    lineDropped();
}

void frmCom::wskTcp_DataArrival()
{
    readLines();
    if (m_dispatching) {
        // A box a line opened holds the queue: what waits behind it is bounded, and
        // the start of the match must not wait for the player to close it.
        if (queueOverflowing())
            protocolError();
        else if (m_startQueued && platform::installed())
            platform::messageBoxes().closeAll();
        return;
    }
    if (!m_queue.empty())
        drainQueue();
}

void frmCom::readLines()
{
    QList<QByteArray> raw;
    char chunk[16 * 1024];
    qint64 n = 0;
    const qsizetype droppedBefore = m_framer.droppedLines();
    // What the queue cannot take now stays in the socket's bounded buffer, and
    // then with the server.
    while (m_queuedBytes < kMaxQueuedBytes && (n = wskTcp->read(chunk, sizeof chunk)) > 0) {
        const qsizetype before = raw.size();
        m_framer.feed(QByteArrayView(chunk, n), raw);
        for (qsizetype i = before; i < raw.size(); ++i)
            m_queuedBytes += raw.at(i).size() + 2;
    }
    if (m_framer.droppedLines() != droppedBefore)
        qCWarning(lcClient) << m_framer.droppedLines() - droppedBefore << "line(s) over" << kMaxLineBytes << "bytes dropped";
    // (The keyword is ASCII and ends at the first space in the bytes as in the text.)
    for (QByteArray &l : raw) {
        const qsizetype sp = l.indexOf(' ');
        if (QByteArrayView(l).first(sp < 0 ? l.size() : sp) == QByteArrayView(protocol::kw::START))
            m_startQueued = true;
        m_queue.push_back(std::move(l));
    }
}

void frmCom::clearQueue()
{
    m_queue.clear();
    m_queuedBytes = 0;
    m_startQueued = false;
}

void frmCom::drainQueue()
{
    // A branch may open a message box, whose event loop can deliver more data;
    // those lines wait their turn so the order on the wire is kept.
    if (m_dispatching)
        return;
    m_dispatching = true;
    m_abandoned = false;
    QElapsedTimer slice;
    slice.start();
    for (int handled = 0; !m_queue.empty() && !m_abandoned; ++handled) {
        // A flood must not freeze the window: the rest waits for the next pass.
        if (handled == kSliceLines || (handled % 64 == 0 && slice.hasExpired(kSliceMs))) {
            if (!m_drainPosted) {
                m_drainPosted = true;
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        m_drainPosted = false;
                        drainQueue();
                    },
                    Qt::QueuedConnection);
            }
            break;
        }
        const QByteArray b = std::move(m_queue.front());
        m_queue.pop_front();
        m_queuedBytes -= b.size() + 2;
        // Decoded one at a time, so waiting lines cost their bytes only once. After
        // START nothing more is read.
        if (!dispatcher::dispatchLine(*this, cp932::decode(b))) {
            clearQueue();
            break;
        }
        // What the socket held back while the queue was full.
        if (m_queuedBytes < kMaxQueuedBytes / 2 && wskTcp->bytesAvailable() > 0 && !m_abandoned)
            readLines();
    }
    if (m_queue.empty())
        m_startQueued = false;
    m_dispatching = false;
}
