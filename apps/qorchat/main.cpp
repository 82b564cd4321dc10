// qorchat [--host] [--server HOST[:PORT]] GAMENAME: runs the lobby for a game that
// spawns a command instead of linking the library, and prints the address to
// connect to when the match starts (empty for the host).
#include "qorchat/qorchat.h"

#include <QCommandLineParser>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <strings.h>

namespace {

enum Exit { Started = 0, Other = 1, Usage = 2, UserLeft = 3, SignInFailed = 4, Unreachable = 5, NoDisplay = 6, AddressUnknown = 7 };

void usage(std::FILE *to)
{
    std::fputs("usage: qorchat [--host] [--server [tls://]HOST[:PORT]] GAMENAME\n"
               "Signs in to the lobby server and shows the lobby for GAMENAME. When the match\n"
               "starts, prints the address of its host (an empty line for the host itself).\n"
               "  --host                the local player hosts the match\n"
               "  --server [tls://]HOST[:PORT]  the lobby server for this run (IPv6:\n"
               "                        [::1]:2300); the default port is 2300; tls:// encrypts\n"
               "                        the line, checking the server against the system's\n"
               "                        certificate authorities\n"
               "  -h, --help            show this text\n"
               "  -v, --version         show the version\n"
               "The server, highest first: --server, the environment variable\n"
               "QORCHAT_SERVER=[tls://]HOST[:PORT], the settings file\n"
               "(~/.config/vantelis/settings.ini, section [server], keys address and port),\n"
               "localhost:2300. Nothing is written to the settings file.\n"
               "The lobby needs a display (DISPLAY or WAYLAND_DISPLAY; xvfb-run provides one).\n"
               "Exit status:\n"
               "  0  the match started (the address line was printed)\n"
               "  1  any other failure\n"
               "  2  usage error\n"
               "  3  the user left the lobby (terms declined, cancelled, Exit, no reconnect)\n"
               "  4  sign-in failed\n"
               "  5  the server could not be reached\n"
               "  6  no display\n"
               "  7  the match started, but the server sent no usable address of its host\n"
               "     (nothing is printed)\n",
               to);
}

int usageError(const std::string &message)
{
    std::fprintf(stderr, "qorchat: %s\nTry 'qorchat --help' for more information.\n", message.c_str());
    return Usage;
}

// "HOST", "HOST:PORT", "[V6]", "[V6]:PORT" or a bare IPv6 address, each optionally
// behind "tls://", which stays on the host: the library takes it there.
bool splitServer(std::string text, std::string &host, int &port)
{
    port = 0;
    std::string scheme;
    if (text.size() >= 6 && strncasecmp(text.c_str(), "tls://", 6) == 0) {
        scheme = text.substr(0, 6);
        text.erase(0, 6);
    }
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos)
            return false;
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':' || rest.size() == 1)
                return false;
            portText = rest.substr(1);
        }
    } else if (const size_t colon = text.find(':'); colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (portText.empty())
            return false;
    } else {
        host = text;
    }
    if (!portText.empty()) {
        if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
            return false;
        port = std::atoi(portText.c_str());
        if (port < 1 || port > 65535)
            return false;
    }
    if (host.empty())
        return false;
    host.insert(0, scheme);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    // Latin-1 keeps every byte as one character, so the game name and the server
    // reach the library exactly as given (the library checks their UTF-8).
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLatin1(argv[i]);
    QCommandLineParser parser;
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption hostOption(QStringLiteral("host"));
    const QCommandLineOption serverOption(QStringLiteral("server"), QString(), QStringLiteral("HOST[:PORT]"));
    parser.addOptions({hostOption, serverOption});
    if (!parser.parse(args))
        return usageError(parser.errorText().toLatin1().toStdString());
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        usage(stdout);
        return Started;
    }
    if (parser.isSet(versionOption)) {
        std::printf("qorchat %s\n", qorchat_version());
        return Started;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1)
        return usageError("only one game name may be given");
    const QByteArray game = positional.value(0).toLatin1();
    if (game.isEmpty())
        return usageError("a game name is required");
    const bool host = parser.isSet(hostOption);
    if (parser.isSet(serverOption)) {
        const QByteArray server = parser.value(serverOption).toLatin1();
        std::string serverHost;
        int port = 0;
        if (!splitServer(server.toStdString(), serverHost, port) || qorchat_set_server(serverHost.c_str(), port) != QORCHAT_OK)
            return usageError("--server: not HOST[:PORT]: " + server.toStdString());
    }

    char address[QORCHAT_ADDRESS_BUFFER_SIZE];
    size_t length = 0;
    const int r = qorchat_execute(game.constData(), host ? -1 : 0, address, sizeof address, &length);
    if (r == QORCHAT_E_NO_DISPLAY) {
        std::fputs("qorchat: the lobby needs a display; run it under xvfb-run, or set DISPLAY"
                   " (or WAYLAND_DISPLAY) to a running one\n",
                   stderr);
        return NoDisplay;
    }
    if (r == QORCHAT_E_ARGUMENT)
        return usageError("the game name is not valid UTF-8");
    if (r != QORCHAT_OK) {
        std::fprintf(stderr, "qorchat: the lobby could not run (error %d)\n", r);
        return Other;
    }
    switch (qorchat_last_outcome()) {
    case QORCHAT_OUTCOME_MATCH_STARTED:
        std::printf("%s\n", address);
        std::fflush(stdout);
        return Started;
    case QORCHAT_OUTCOME_ADDRESS_UNKNOWN:
        std::fputs("qorchat: the match started, but the server sent no usable address of its host\n", stderr);
        return AddressUnknown;
    case QORCHAT_OUTCOME_USER_LEFT:
        std::fputs("qorchat: the lobby was left without a match\n", stderr);
        return UserLeft;
    case QORCHAT_OUTCOME_SIGN_IN_FAILED:
        std::fputs("qorchat: sign-in failed\n", stderr);
        return SignInFailed;
    case QORCHAT_OUTCOME_SERVER_UNREACHABLE:
        std::fputs("qorchat: the lobby server could not be reached\n", stderr);
        return Unreachable;
    default:
        std::fputs("qorchat: the lobby ended without an outcome\n", stderr);
        return Other;
    }
}
