// qorchat-autopilot --role host|member [options] GAMENAME: the launcher with a
// player at the keyboard. It runs the component through its public API, plays
// one side of a match through the real windows and prints the address that
// Execute returned, as the launcher does.
#include "matchpilot.h"

#include "qorchat/qorchat.h"

#include <QApplication>
#include <QCommandLineParser>

#include <algorithm>
#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Plays one side of a lobby match by itself."));
    parser.addHelpOption();
    const QCommandLineOption roleOpt(QStringLiteral("role"), QStringLiteral("host or member"), QStringLiteral("role"));
    const QCommandLineOption shotsOpt(QStringLiteral("shots"), QStringLiteral("folder for a PNG of each window"), QStringLiteral("dir"));
    const QCommandLineOption paceOpt(QStringLiteral("pace"), QStringLiteral("milliseconds between actions (250)"), QStringLiteral("ms"), QStringLiteral("250"));
    const QCommandLineOption deadlineOpt(QStringLiteral("deadline"), QStringLiteral("seconds the whole match may take (150)"), QStringLiteral("s"), QStringLiteral("150"));
    parser.addOptions({roleOpt, shotsOpt, paceOpt, deadlineOpt});
    parser.addPositionalArgument(QStringLiteral("game"), QStringLiteral("the game's name"));
    parser.process(app);

    const QString role = parser.value(roleOpt);
    bool paceOk = false, deadlineOk = false;
    MatchPilot::Options options;
    options.host = role == QLatin1String("host");
    options.shotsDir = parser.value(shotsOpt);
    options.paceMs = parser.value(paceOpt).toInt(&paceOk);
    options.deadlineS = parser.value(deadlineOpt).toInt(&deadlineOk);
    if ((role != QLatin1String("host") && role != QLatin1String("member")) || parser.positionalArguments().size() != 1
        || !paceOk || options.paceMs < 1 || !deadlineOk || options.deadlineS < 1) {
        std::fputs("usage: qorchat-autopilot --role host|member [--shots DIR] [--pace MS] [--deadline S] GAMENAME\n", stderr);
        return 2;
    }
    options.stepLimitS = std::min(options.stepLimitS, options.deadlineS);

    MatchPilot pilot(options);
    pilot.start();
    const QByteArray game = parser.positionalArguments().constFirst().toUtf8();
    char address[QORCHAT_ADDRESS_BUFFER_SIZE];
    size_t length = 0;
    const int r = qorchat_execute(game.constData(), options.host ? -1 : 0, address, sizeof address, &length);
    if (r != QORCHAT_OK) {
        pilot.say(QStringLiteral("FAILED: Execute returned error %1").arg(r));
        return 1;
    }
    if (!options.host && length == 0) {
        pilot.say(QStringLiteral("FAILED: the lobby closed without a match (no address)"));
        return 1;
    }
    pilot.say(options.host ? QStringLiteral("match started; the host's game serves it")
                           : QStringLiteral("match started; the host's address is ") + QString::fromUtf8(address));
    for (const QString &path : pilot.shots())
        pilot.say(QStringLiteral("picture: ") + path);
    std::printf("%s\n", address);
    return 0;
}
