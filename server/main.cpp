// qorchat-server: the reference lobby server.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QStandardPaths>

#include <cstdio>
#include <sys/resource.h>

#include "gamecatalog.h"
#include "lobbyserver.h"
#include "lobbystore.h"
#include "signalquit.h"
#include "tlslistener.h"

namespace {

int fail(const QString &message, int code = 1)
{
    std::fprintf(stderr, "qorchat-server: %s\n", qPrintable(message));
    return code;
}

QString defaultDatabase()
{
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/qorchat-server/lobby.sqlite");
}

// Each client costs a descriptor; the usual soft limit of 1024 is below the
// default client limit.
void raiseDescriptorLimit(int maxClients)
{
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return;
    const rlim_t wanted = rlim_t(maxClients) + 64;
    if (rl.rlim_cur >= wanted)
        return;
    rl.rlim_cur = rl.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, rl.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &rl);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qorchat-server"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("QorChat reference lobby server"));
    parser.addHelpOption();
    const QCommandLineOption listenOpt(QStringLiteral("listen"), QStringLiteral("Address to listen on."),
                                       QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOpt(QStringLiteral("port"), QStringLiteral("TCP port; 0 picks a free one."),
                                     QStringLiteral("N"), QStringLiteral("2300"));
    const QCommandLineOption dbOpt(QStringLiteral("db"), QStringLiteral("SQLite database; :memory: keeps nothing."),
                                   QStringLiteral("PATH"), defaultDatabase());
    const QCommandLineOption gamesOpt(QStringLiteral("games"), QStringLiteral("JSON list of the accepted games."),
                                      QStringLiteral("FILE"));
    const QCommandLineOption maxOpt(QStringLiteral("max-clients"), QStringLiteral("Connections served at once."),
                                    QStringLiteral("N"), QStringLiteral("1000"));
    const QCommandLineOption tlsCertOpt(QStringLiteral("tls-cert"),
                                        QStringLiteral("PEM certificate (and chain): serve TLS, see --tls-port."),
                                        QStringLiteral("FILE"));
    const QCommandLineOption tlsKeyOpt(QStringLiteral("tls-key"), QStringLiteral("PEM private key of --tls-cert."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption tlsPortOpt(QStringLiteral("tls-port"),
                                        QStringLiteral("Serve TLS on this port and plain TCP on --port; without it "
                                                       "--port serves TLS only. 0 picks a free one."),
                                        QStringLiteral("N"));
    const QCommandLineOption tlsTimeoutOpt(QStringLiteral("tls-handshake-timeout"),
                                           QStringLiteral("Milliseconds a TLS handshake may take."), QStringLiteral("MS"),
                                           QString::number(TlsListener::kDefaultHandshakeTimeoutMs));
    parser.addOptions({listenOpt, portOpt, dbOpt, gamesOpt, maxOpt, tlsCertOpt, tlsKeyOpt, tlsPortOpt, tlsTimeoutOpt});
    if (!parser.parse(app.arguments()))
        return fail(parser.errorText(), 2);
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()), 2);

    const QHostAddress address(parser.value(listenOpt));
    if (address.isNull())
        return fail(QStringLiteral("--listen: not an IP address: %1").arg(parser.value(listenOpt)), 2);
    bool ok = false;
    const uint port = parser.value(portOpt).toUInt(&ok);
    if (!ok || port > 65535)
        return fail(QStringLiteral("--port: not a port number: %1").arg(parser.value(portOpt)), 2);
    const int maxClients = parser.value(maxOpt).toInt(&ok);
    if (!ok || maxClients < 1)
        return fail(QStringLiteral("--max-clients: not a positive number: %1").arg(parser.value(maxOpt)), 2);

    const bool tls = parser.isSet(tlsCertOpt) || parser.isSet(tlsKeyOpt);
    if (tls && !(parser.isSet(tlsCertOpt) && parser.isSet(tlsKeyOpt)))
        return fail(QStringLiteral("--tls-cert and --tls-key go together"), 2);
    if (!tls && (parser.isSet(tlsPortOpt) || parser.isSet(tlsTimeoutOpt)))
        return fail(QStringLiteral("--tls-port and --tls-handshake-timeout need --tls-cert and --tls-key"), 2);
    uint tlsPort = port;
    if (parser.isSet(tlsPortOpt)) {
        tlsPort = parser.value(tlsPortOpt).toUInt(&ok);
        if (!ok || tlsPort > 65535)
            return fail(QStringLiteral("--tls-port: not a port number: %1").arg(parser.value(tlsPortOpt)), 2);
    }
    const int tlsTimeout = parser.value(tlsTimeoutOpt).toInt(&ok);
    if (!ok || tlsTimeout < 1)
        return fail(QStringLiteral("--tls-handshake-timeout: not a positive number: %1").arg(parser.value(tlsTimeoutOpt)),
                    2);

    QString error;
    std::optional<QSslConfiguration> tlsConfig;
    if (tls) {
        tlsConfig = TlsListener::loadConfiguration(parser.value(tlsCertOpt), parser.value(tlsKeyOpt), &error);
        if (!tlsConfig)
            return fail(error);
    }
    GameCatalog catalog;
    if (parser.isSet(gamesOpt)) {
        auto loaded = GameCatalog::fromFile(parser.value(gamesOpt), &error);
        if (!loaded)
            return fail(error);
        catalog = std::move(*loaded);
    }

    const QString dbPath = parser.value(dbOpt);
    if (dbPath != QLatin1String(":memory:")) {
        const QString dir = QFileInfo(dbPath).absolutePath();
        if (!QDir().mkpath(dir))
            return fail(QStringLiteral("cannot create %1").arg(dir));
    }
    LobbyStore store;
    if (!store.open(dbPath, &error))
        return fail(error);

    raiseDescriptorLimit(maxClients);
    SignalQuit signalQuit;
    QObject::connect(&signalQuit, &SignalQuit::received, &app, [] { QCoreApplication::quit(); });

    LobbyServer server(store, std::move(catalog), maxClients);
    const bool plain = !tls || parser.isSet(tlsPortOpt);
    if (plain) {
        if (!server.listen(address, quint16(port), &error))
            return fail(QStringLiteral("cannot listen on %1:%2: %3").arg(address.toString()).arg(port).arg(error));
        std::printf("listening on %s:%u\n", qPrintable(server.serverAddress().toString()),
                    unsigned(server.serverPort()));
    }
    std::optional<TlsListener> tlsListener;
    if (tls) {
        tlsListener.emplace(*tlsConfig);
        tlsListener->setHandshakeTimeout(tlsTimeout);
        tlsListener->setMaxHandshakes(maxClients);
        tlsListener->setListenBacklogSize(1024);
        tlsListener->setMaxPendingConnections(1024);
        if (!tlsListener->listen(address, quint16(tlsPort)))
            return fail(QStringLiteral("cannot listen on %1:%2: %3")
                            .arg(address.toString())
                            .arg(tlsPort)
                            .arg(tlsListener->errorString()));
        server.addListener(&*tlsListener);
        std::printf("listening on %s:%u (TLS)\n", qPrintable(tlsListener->serverAddress().toString()),
                    unsigned(tlsListener->serverPort()));
        std::printf("TLS certificate SHA-256 fingerprint: %s\n",
                    qPrintable(TlsListener::fingerprint(tlsConfig->localCertificate())));
    }
    std::fflush(stdout);
    const int status = app.exec();
    if (tlsListener)
        tlsListener->close();
    return status;
}
