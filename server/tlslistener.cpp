#include "tlslistener.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTimer>

#include "connectionbudget.h"
#include "serverlog.h"
#include "tlssocket.h"

#include <memory>
#include <unistd.h>

namespace {

QByteArray readSmallFile(const QString &path, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
        return {};
    }
    // Certificates and keys are a few KB; a chain of a handful stays far below this.
    const QByteArray data = f.read(1024 * 1024);
    if (data.isEmpty())
        *error = QStringLiteral("%1 is empty").arg(path);
    return data;
}

} // namespace

std::optional<QSslConfiguration> TlsListener::loadConfiguration(const QString &certFile, const QString &keyFile,
                                                                QString *error)
{
    if (!QSslSocket::supportsSsl()) {
        *error = QStringLiteral("TLS is not available (no TLS backend: %1)").arg(QSslSocket::activeBackend());
        return std::nullopt;
    }
    const QByteArray certData = readSmallFile(certFile, error);
    if (certData.isEmpty())
        return std::nullopt;
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certData, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        *error = QStringLiteral("%1 holds no PEM certificate").arg(certFile);
        return std::nullopt;
    }
    const QByteArray keyData = readSmallFile(keyFile, error);
    if (keyData.isEmpty())
        return std::nullopt;
    QSslKey key;
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec}) {
        key = QSslKey(keyData, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            break;
    }
    if (key.isNull()) {
        *error = QStringLiteral("%1 holds no unencrypted PEM private key (RSA or EC)").arg(keyFile);
        return std::nullopt;
    }
    if (key.algorithm() != chain.first().publicKey().algorithm()) {
        *error = QStringLiteral("the key in %1 does not belong to the certificate in %2").arg(keyFile, certFile);
        return std::nullopt;
    }

    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificateChain(chain);
    config.setPrivateKey(key);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setPeerVerifyMode(QSslSocket::VerifyNone); // players have no certificates
    // Nor is there anything to verify with them: without this each handshake's
    // context would load the system's authorities again.
    config.setCaCertificates({});
    // What the handshakes will be made with must take it too.
    if (!TlsContext::fromConfiguration(config, error)) {
        *error = QStringLiteral("%1 with %2: %3").arg(certFile, keyFile, *error);
        return std::nullopt;
    }
    return config;
}

QString TlsListener::fingerprint(const QSslCertificate &certificate)
{
    return QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex(':').toUpper());
}

TlsListener::TlsListener(const QSslConfiguration &configuration, QObject *parent) : QTcpServer(parent)
{
    QString error;
    if (!setConfiguration(configuration, &error))
        qCWarning(lcServer, "tls: %s; TLS connections are refused", qPrintable(error));
}

TlsListener::~TlsListener() = default;

bool TlsListener::setConfiguration(const QSslConfiguration &configuration, QString *error)
{
    QString why;
    auto context = TlsContext::fromConfiguration(configuration, &why);
    if (!context) {
        if (error)
            *error = why;
        return false;
    }
    m_context = std::move(context);
    return true;
}

void TlsListener::incomingConnection(qintptr descriptor)
{
    if (!m_context) {
        ::close(int(descriptor));
        emit handshakeFailed(QStringLiteral("no usable certificate"));
        return;
    }
    auto *socket = new TlsSocket(*m_context, this);
    if (!socket->setSocketDescriptor(descriptor)) {
        qCWarning(lcServer, "tls: cannot take an accepted connection: %s", qPrintable(socket->errorString()));
        ::close(int(descriptor));
        delete socket;
        return;
    }
    const QString peer = ConnectionBudget::key(socket);
    const auto refuse = [this, socket](const QString &reason) {
        socket->abort();
        socket->deleteLater();
        emit handshakeFailed(reason);
    };
    if (m_handshaking >= m_maxHandshakes) {
        qCWarning(lcServer, "limit: TLS handshake from %s refused, %d handshakes running", qPrintable(peer),
                  m_handshaking);
        return refuse(QStringLiteral("too many handshakes"));
    }
    // Before the handshake nothing can be said to the peer: refused is closed.
    switch (m_budget ? m_budget->admit(socket, peer) : ConnectionBudget::Admission::Admitted) {
    case ConnectionBudget::Admission::Admitted:
        break;
    case ConnectionBudget::Admission::Full:
        qCWarning(lcServer, "limit: TLS connection from %s refused, server full (%d connections)", qPrintable(peer),
                  m_budget->connections());
        return refuse(QStringLiteral("server full"));
    case ConnectionBudget::Admission::AddressFull:
        qCWarning(lcServer, "limit: TLS connection from %s refused, %d connections from that address", qPrintable(peer),
                  m_budget->fromAddress(peer));
        return refuse(QStringLiteral("too many connections from the address"));
    }
    ++m_handshaking;
    // Without it the greeting waits behind the session tickets for a delayed ACK.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);

    // Whichever comes first (finished, failed, deadline) settles the socket; the
    // rest find it settled.
    auto settled = std::make_shared<bool>(false);
    auto *deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    auto fail = [this, socket, deadline, settled, peer](const QString &reason) {
        if (*settled)
            return;
        *settled = true;
        --m_handshaking;
        deadline->stop();
        socket->disconnect(this);
        qCInfo(lcServer, "tls: handshake from %s failed: %s", qPrintable(peer), qPrintable(reason));
        socket->abort();
        socket->deleteLater();
        emit handshakeFailed(reason);
    };
    connect(deadline, &QTimer::timeout, this, [fail, ms = m_handshakeTimeoutMs] {
        fail(QStringLiteral("no handshake within %1 ms").arg(ms));
    });
    connect(socket, &QTcpSocket::errorOccurred, this, [fail, socket](QAbstractSocket::SocketError) {
        fail(socket->errorString());
    });
    connect(socket, &QTcpSocket::disconnected, this, [fail] { fail(QStringLiteral("closed by the peer")); });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, deadline, settled, fail] {
        if (*settled)
            return;
        QString why;
        switch (socket->continueHandshake(&why)) {
        case TlsSocket::Handshake::Waiting:
            return;
        case TlsSocket::Handshake::Failed:
            return fail(why);
        case TlsSocket::Handshake::Done:
            break;
        }
        *settled = true;
        --m_handshaking;
        delete deadline;
        socket->disconnect(this);
        addPendingConnection(socket);
        emit newConnection();
    });
    deadline->start(m_handshakeTimeoutMs);
}
