#include "adminchannel.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "admincommands.h"
#include "serverlog.h"

namespace {

constexpr qint64 kMaxRequestBytes = 64 * 1024;

// Who is on the other end, for the audit trail: the kernel's word, not the client's.
QString peerName(QLocalSocket *socket)
{
    ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0)
        return QStringLiteral("unknown");
    if (const passwd *pw = ::getpwuid(cred.uid))
        return QStringLiteral("%1 (uid %2)").arg(QString::fromLocal8Bit(pw->pw_name)).arg(cred.uid);
    return QStringLiteral("uid %1").arg(cred.uid);
}

} // namespace

AdminChannel::AdminChannel(AdminCommands &commands, QObject *parent)
    : QObject(parent), m_commands(commands), m_server(new QLocalServer(this))
{
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *s = m_server->nextPendingConnection())
            serve(s);
    });
}

AdminChannel::~AdminChannel()
{
    m_server->close();
}

bool AdminChannel::listen(const QString &path, QString *error)
{
    if (QFile::exists(path)) {
        QLocalSocket probe;
        probe.connectToServer(path);
        if (probe.waitForConnected(500)) {
            *error = QStringLiteral("%1: another server answers there").arg(path);
            return false;
        }
        QLocalServer::removeServer(path);
    }
    if (!m_server->listen(path)) {
        *error = QStringLiteral("%1: %2").arg(path, m_server->errorString());
        return false;
    }
    // Qt makes it 0700; a socket needs no execute bit.
    ::chmod(QFile::encodeName(path).constData(), 0600);
    return true;
}

QString AdminChannel::path() const { return m_server->fullServerName(); }

void AdminChannel::serve(QLocalSocket *socket)
{
    socket->setParent(this);
    const QString peer = peerName(socket);
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, socket, [this, socket, peer] {
        while (socket->canReadLine()) {
            const QByteArray line = socket->readLine(kMaxRequestBytes);
            QJsonParseError parseError{};
            const QJsonDocument doc = QJsonDocument::fromJson(line, &parseError);
            QJsonObject answer;
            if (!doc.isObject()) {
                answer = {{QStringLiteral("ok"), false}, {QStringLiteral("error"), QStringLiteral("not a JSON object")}};
            } else {
                QJsonObject request = doc.object();
                QString actor = request.value(QStringLiteral("actor")).toString();
                actor = actor.isEmpty() || actor == peer.section(u' ', 0, 0) ? peer
                                                                            : QStringLiteral("%1 via %2").arg(actor, peer);
                qCDebug(lcServer, "admin command from %s: %s", qPrintable(actor),
                        qPrintable(request.value(QStringLiteral("command")).toString()));
                answer = m_commands.run(request, actor);
            }
            socket->write(QJsonDocument(answer).toJson(QJsonDocument::Compact) + '\n');
        }
        if (socket->bytesAvailable() > kMaxRequestBytes)
            socket->abort();
    });
}
