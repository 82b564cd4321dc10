// qorchat [--host] GAMENAME: runs the lobby for a game that spawns a command instead
// of linking the library, and prints the address to connect to (maybe empty).
#include "qorchat/qorchat.h"

#include <cstdio>
#include <cstring>

namespace {
void usage(std::FILE *to)
{
    std::fputs("usage: qorchat [--host] GAMENAME\n"
               "Signs in to the lobby server and shows the lobby for GAMENAME. When a match\n"
               "starts, prints the address of its host (empty for the host itself) and a\n"
               "newline. The server address comes from the settings\n"
               "(~/.config/vantelis/settings.ini, section [server], keys address and port).\n"
               "  --host     the local player hosts the match\n"
               "  --help     show this text\n"
               "  --version  show the version\n",
               to);
}
} // namespace

int main(int argc, char **argv)
{
    bool host = false;
    const char *game = nullptr;
    bool endOfOptions = false;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (!endOfOptions && std::strcmp(a, "--help") == 0) {
            usage(stdout);
            return 0;
        }
        if (!endOfOptions && std::strcmp(a, "--version") == 0) {
            std::printf("qorchat %s\n", qorchat_version());
            return 0;
        }
        if (!endOfOptions && std::strcmp(a, "--host") == 0) {
            host = true;
            continue;
        }
        if (!endOfOptions && std::strcmp(a, "--") == 0) {
            endOfOptions = true;
            continue;
        }
        if (!endOfOptions && a[0] == '-' && a[1] != '\0') {
            std::fprintf(stderr, "qorchat: unknown option %s\n", a);
            usage(stderr);
            return 2;
        }
        if (game) {
            std::fputs("qorchat: only one game name may be given\n", stderr);
            usage(stderr);
            return 2;
        }
        game = a;
    }
    if (!game || !*game) {
        std::fputs("qorchat: a game name is required\n", stderr);
        usage(stderr);
        return 2;
    }
    char address[QORCHAT_ADDRESS_BUFFER_SIZE];
    size_t length = 0;
    int r = qorchat_execute(game, host ? -1 : 0, address, sizeof address, &length);
    if (r == QORCHAT_E_BUFFER) {
        static char big[65536];
        r = qorchat_last_address(big, sizeof big, &length);
        if (r == QORCHAT_OK)
            std::printf("%s\n", big);
    } else if (r == QORCHAT_OK) {
        std::printf("%s\n", address);
    }
    if (r != QORCHAT_OK) {
        std::fprintf(stderr, "qorchat: the lobby could not run (error %d)\n", r);
        return 1;
    }
    std::fflush(stdout);
    return 0;
}
