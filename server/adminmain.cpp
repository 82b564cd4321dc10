// qorchat-admin: the operator's command for a running qorchat-server.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>

#include <cstdio>

#include "adminprotocol.h"

using namespace adminprotocol;

namespace {

constexpr int kAnswerTimeoutMs = 30000;

int fail(const QString &message, int code)
{
    std::fprintf(stderr, "qorchat-admin: %s\n", qPrintable(message));
    return code;
}

// Where a server started as the packaged service, or by this user with the default
// database, listens.
QString defaultSocket()
{
    const QString env = qEnvironmentVariable("QORCHAT_ADMIN_SOCKET");
    if (!env.isEmpty())
        return env;
    const QString service = QStringLiteral("/var/lib/qorchat-server/admin.sock");
    if (QFile::exists(service))
        return service;
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/qorchat-server/admin.sock");
}

std::optional<qint64> duration(const QString &text)
{
    if (text.isEmpty())
        return std::nullopt;
    const QChar unit = text.back();
    const qint64 factor = unit == u's' ? 1 : unit == u'm' ? 60 : unit == u'h' ? 3600 : unit == u'd' ? 86400 : 0;
    bool ok = false;
    const qint64 n = (factor ? text.chopped(1) : text).toLongLong(&ok);
    if (!ok || n <= 0 || n > 100LL * 365 * 86400)
        return std::nullopt;
    return n * (factor ? factor : 1);
}

void printItems(const QJsonArray &items)
{
    for (const QJsonValue &v : items) {
        const QJsonObject o = v.toObject();
        QStringList fields;
        for (auto it = o.begin(); it != o.end(); ++it) {
            const QString value = it->isBool() ? (it->toBool() ? QStringLiteral("yes") : QStringLiteral("no"))
                                  : it->isDouble() ? QString::number(it->toDouble())
                                                   : it->toString();
            if (!value.isEmpty())
                fields << QStringLiteral("%1=%2").arg(it.key(), value);
        }
        std::printf("%s\n", qPrintable(fields.join(u' ')));
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qorchat-admin"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QORCHAT_VERSION));

    QString description = QStringLiteral("Operator's commands for a running qorchat-server.\n\nCommands:\n");
    for (const Command &c : kCommands)
        description += QStringLiteral("  %1\n      %2\n").arg(QLatin1String(c.usage), QLatin1String(c.help));
    description += QStringLiteral("\nDURATION: N seconds, or Ns, Nm, Nh, Nd. Exit status: 0 done, 1 refused by the "
                                  "server, 2 bad command line, 3 server not reachable.");
    QCommandLineParser parser;
    parser.setApplicationDescription(description);
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption socketOpt(QStringLiteral("socket"),
                                       QStringLiteral("The server's admin socket (default: %1).").arg(defaultSocket()),
                                       QStringLiteral("PATH"), defaultSocket());
    const QCommandLineOption jsonOpt(QStringLiteral("json"), QStringLiteral("Print the server's answer as JSON."));
    const QCommandLineOption forOpt(QStringLiteral("for"), QStringLiteral("Ban or mute for this long (default: until lifted)."),
                                    QStringLiteral("DURATION"));
    const QCommandLineOption reasonOpt(QStringLiteral("reason"), QStringLiteral("Why, for the audit trail and the log."),
                                       QStringLiteral("TEXT"));
    const QCommandLineOption gameOpt(QStringLiteral("game"), QStringLiteral("The game a notice goes to (default: all)."),
                                     QStringLiteral("GAME"));
    const QCommandLineOption limitOpt(QStringLiteral("limit"), QStringLiteral("At most N lines (default: 50)."),
                                      QStringLiteral("N"));
    const QCommandLineOption targetOpt(QStringLiteral("target"), QStringLiteral("Audit entries about this target only."),
                                       QStringLiteral("TARGET"));
    const QCommandLineOption asOpt(QStringLiteral("as"), QStringLiteral("Operator name for the audit trail (default: $SUDO_USER)."),
                                   QStringLiteral("NAME"));
    parser.addOptions({socketOpt, jsonOpt, forOpt, reasonOpt, gameOpt, limitOpt, targetOpt, asOpt});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("One of the commands above."));
    if (!parser.parse(app.arguments()))
        return fail(parser.errorText(), kExitUsage);
    if (parser.isSet(QStringLiteral("help"))) {
        std::printf("%s", qPrintable(parser.helpText()));
        return kExitOk;
    }
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        return fail(QStringLiteral("no command; see --help"), kExitUsage);
    const QString command = args.takeFirst();
    if (std::none_of(std::begin(kCommands), std::end(kCommands),
                     [&](const Command &c) { return command == QLatin1String(c.name); }))
        return fail(QStringLiteral("unknown command %1; see --help").arg(command), kExitUsage);

    QJsonObject request{{QStringLiteral("command"), command}, {QStringLiteral("args"), QJsonArray::fromStringList(args)}};
    if (parser.isSet(forOpt)) {
        const auto secs = duration(parser.value(forOpt));
        if (!secs)
            return fail(QStringLiteral("--for: not a duration: %1").arg(parser.value(forOpt)), kExitUsage);
        request.insert(QStringLiteral("for"), double(*secs));
    }
    if (parser.isSet(limitOpt)) {
        bool ok = false;
        const int n = parser.value(limitOpt).toInt(&ok);
        if (!ok || n < 1)
            return fail(QStringLiteral("--limit: not a positive number: %1").arg(parser.value(limitOpt)), kExitUsage);
        request.insert(QStringLiteral("limit"), n);
    }
    if (parser.isSet(reasonOpt))
        request.insert(QStringLiteral("reason"), parser.value(reasonOpt));
    if (parser.isSet(gameOpt))
        request.insert(QStringLiteral("game"), parser.value(gameOpt));
    if (parser.isSet(targetOpt))
        request.insert(QStringLiteral("target"), parser.value(targetOpt));
    QString actor = parser.value(asOpt);
    if (actor.isEmpty())
        actor = qEnvironmentVariable("SUDO_USER");
    if (!actor.isEmpty())
        request.insert(QStringLiteral("actor"), actor);

    if (!QFile::exists(parser.value(socketOpt)))
        return fail(QStringLiteral("%1: no such socket; is the server running with --admin-socket there?")
                        .arg(parser.value(socketOpt)),
                    kExitUnreachable);
    QLocalSocket socket;
    socket.connectToServer(parser.value(socketOpt));
    if (!socket.waitForConnected(5000))
        return fail(QStringLiteral("%1: %2").arg(parser.value(socketOpt), socket.errorString()), kExitUnreachable);
    socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(kAnswerTimeoutMs))
            return fail(QStringLiteral("no answer from the server: %1").arg(socket.errorString()), kExitUnreachable);
    }
    const QByteArray line = socket.readLine();
    const QJsonObject answer = QJsonDocument::fromJson(line).object();
    if (!answer.contains(QStringLiteral("ok")))
        return fail(QStringLiteral("unreadable answer from the server"), kExitUnreachable);
    const bool ok = answer.value(QStringLiteral("ok")).toBool();
    if (parser.isSet(jsonOpt)) {
        std::printf("%s", line.constData());
    } else if (ok) {
        printItems(answer.value(QStringLiteral("items")).toArray());
        std::printf("%s\n", qPrintable(answer.value(QStringLiteral("message")).toString()));
    }
    if (!ok)
        return fail(answer.value(QStringLiteral("error")).toString(), kExitRefused);
    return kExitOk;
}
