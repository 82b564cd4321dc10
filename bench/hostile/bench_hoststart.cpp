// How long a flood of host addresses holds back the start of the match: 50,000
// HOSTIP lines then START, against one HOSTIP then START in the same invocation;
// the time runs from the first byte sent to the client's QUIT at the server.
// Three runs each: min/median/max, and the ratio of the medians.
//
// bench_hoststart [LINES]   prints the figures (LINES: 50000 when not given).
#include "lobby/frmMain.h"
#include "net/frmCom.h"
#include "platform/forms.h"
#include "session/lobbyModule.h"
#include "support/fakeplatform.h"
#include "support/scriptedserver.h"
#include "support/testenv.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Sample {
    double ms = 0;
    double sendMs = 0; // of which the generator spent writing
};

Sample hostFlood(int lines)
{
    TestEnv env;
    FakePlatform fake;
    ScriptedServer server;
    session().reset();
    frmCom::resetForTests();
    frmCom *com = frmCom::get();
    Forms::get<frmMain>();
    session().gintStatus = StatusWaiting;
    com->connectTo(QStringLiteral("127.0.0.1"), server.portText());
    while (session().gintStatus != StatusOK)
        frmCom::waitForEvents();
    QByteArray bytes;
    for (int i = 0; i < lines; ++i)
        bytes += "HOSTIP 192.0.2." + QByteArray::number(i % 250 + 1) + "\r\n";
    bytes += "START\r\n";
    Sample s;
    QElapsedTimer t;
    t.start();
    server.sendRaw(bytes);
    s.sendMs = double(t.nsecsElapsed()) / 1e6;
    while (!server.received.contains(QStringLiteral("QUIT"))) {
        frmCom::waitForEvents();
        if (t.elapsed() > 600000) {
            std::printf("no QUIT after 600 s\n");
            std::exit(1);
        }
    }
    s.ms = double(t.nsecsElapsed()) / 1e6;
    frmCom::resetForTests();
    Forms::resetAll();
    return s;
}

void sortByMs(std::vector<Sample> &v)
{
    std::sort(v.begin(), v.end(), [](const Sample &a, const Sample &b) { return a.ms < b.ms; });
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    frmCom::setTickInterval(1000);
    const int lines = argc > 1 ? std::atoi(argv[1]) : 50000;
    std::vector<Sample> base, runs;
    for (int i = 0; i < 3; ++i) {
        base.push_back(hostFlood(1));
        runs.push_back(hostFlood(lines));
    }
    sortByMs(base);
    sortByMs(runs);
    std::printf("1 HOSTIP then START:        min %9.2f  median %9.2f  max %9.2f ms\n", base[0].ms, base[1].ms, base[2].ms);
    std::printf("%d HOSTIP then START:    min %9.2f  median %9.2f  max %9.2f ms  (generator %.2f ms)\n", lines,
                runs[0].ms, runs[1].ms, runs[2].ms, runs[1].sendMs);
    std::printf("ratio of medians %.1f (min %.1f, max %.1f)\n", runs[1].ms / base[1].ms, runs[0].ms / base[1].ms,
                runs[2].ms / base[1].ms);
    return 0;
}
