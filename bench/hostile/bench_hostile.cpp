// What a hostile server costs the client, each next to an ordinary line of the same
// kind run in the same invocation: a 1 MiB chat line, 1 MiB of line feeds in a chat
// line, CHATDATA with 2,000 phrases, settings reads in a file of 5,000 and 40,000
// keys, and a flood while a message box is open. Three runs each: min/median/max.
// The scripted server lives in this process; the time it spends writing is shown
// apart, so a slow generator would show.
//
// bench_hostile   prints the figures.
#include "lobby/frmMain.h"
#include "net/frmCom.h"
#include "support/comtestpeer.h"
#include "platform/forms.h"
#include "wire/codec.h"
#include "session/lobbyModule.h"
#include "session/settings.h"
#include "support/fakeplatform.h"
#include "support/scriptedserver.h"
#include "support/testenv.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QThread>
#include <QTimer>
#include <QTcpSocket>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

long rssKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

struct Sample {
    double ms = 0;     // until the client shows the effect
    double sendMs = 0; // of which the generator spent writing
};

void report(const char *what, std::vector<Sample> runs, const std::vector<Sample> &base)
{
    auto med = [](std::vector<Sample> v) {
        std::sort(v.begin(), v.end(), [](const Sample &a, const Sample &b) { return a.ms < b.ms; });
        return v;
    };
    runs = med(runs);
    const std::vector<Sample> b = med(base);
    const double ratio = b[1].ms > 0 ? runs[1].ms / b[1].ms : 0;
    std::printf("%-34s min %9.2f  median %9.2f  max %9.2f ms  (generator %6.2f ms)  baseline median %7.3f ms  ratio %8.1f\n",
                what, runs[0].ms, runs[1].ms, runs[2].ms, runs[1].sendMs, b[1].ms, ratio);
}

// A connected client with the lobby window, fed by a scripted server.
struct Wire {
    TestEnv env;
    FakePlatform fake;
    ScriptedServer server;
    frmCom *com = nullptr;
    Wire()
    {
        session().reset();
        frmCom::resetForTests();
        com = frmCom::get();
        Forms::get<frmMain>();
        session().gintStatus = StatusWaiting;
        com->connectTo(QStringLiteral("127.0.0.1"), server.portText());
        while (session().gintStatus != StatusOK)
            frmCom::waitForEvents();
    }
    ~Wire()
    {
        frmCom::resetForTests();
        Forms::resetAll();
    }
    // Sends bytes, then runs the loop until done() holds.
    Sample feed(const QByteArray &bytes, const std::function<bool()> &done)
    {
        Sample s;
        QElapsedTimer t;
        t.start();
        server.sendRaw(bytes);
        s.sendMs = double(t.nsecsElapsed()) / 1e6;
        while (!done()) {
            frmCom::waitForEvents();
            if (t.elapsed() > 300000) {
                std::printf("no result after 300 s\n");
                std::exit(1);
            }
        }
        QCoreApplication::processEvents();
        s.ms = double(t.nsecsElapsed()) / 1e6;
        return s;
    }
};

bool lastChatStartsWith(const QString &prefix)
{
    QCoreApplication::processEvents();
    return Forms::get<frmMain>()->rtfLobbyChat->document()->lastBlock().text().startsWith(prefix);
}

Sample chatLine(const QByteArray &text, const QString &expect)
{
    Wire w;
    return w.feed("LMESSAGE taro " + text + "\r\n", [&] { return lastChatStartsWith(expect); });
}

Sample chatData(int phrases, long *rssGrowth = nullptr)
{
    Wire w;
    session().gstrGameName = QStringLiteral("Bench");
    QByteArray line = "CHATDATA ";
    for (int i = 0; i < phrases; ++i)
        line += "phrase" + QByteArray::number(i) + '@';
    const long before = rssKiB();
    const int want = std::min(phrases, 100);
    Sample s = w.feed(line + "\r\n", [&] { return Forms::get<frmMain>()->txtLobbyChat->count() >= want; });
    if (rssGrowth)
        *rssGrowth = rssKiB() - before;
    return s;
}

Sample settingsRead(int keys)
{
    TestEnv env;
    QByteArray file = "[chat\\Bench]\n";
    for (int i = 0; i < keys; ++i)
        file += QByteArray::number(i) + "=phrase " + QByteArray::number(i) + '\n';
    file += "[user]\nname=taro\n";
    env.writeSettings(file);
    settings::GetSetting(QStringLiteral("user"), QStringLiteral("name")); // parses once
    QThread::msleep(1100); // the file is older than its timestamp's tick now
    constexpr int reads = 1000;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < reads; ++i)
        settings::GetSetting(QStringLiteral("user"), QStringLiteral("name"));
    return Sample{double(t.nsecsElapsed()) / 1e6 / reads, 0};
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    frmCom::setTickInterval(1000);
    std::vector<Sample> base, runs;

    // The whole line is 1 MiB, the most the client takes in one line.
    const QByteArray mib((1 << 20) - 16, 'x');
    for (int i = 0; i < 3; ++i) {
        base.push_back(chatLine("hello there", QStringLiteral("<taro> hello")));
        runs.push_back(chatLine(mib, QStringLiteral("<taro> xxx")));
    }
    report("1 MiB chat line", runs, base);

    runs.clear();
    long rss = 0;
    for (int i = 0; i < 3; ++i) {
        const long before = rssKiB();
        runs.push_back(chatLine("a" + QByteArray((1 << 20) - 17, '\n'), QStringLiteral("<taro> a ")));
        rss = std::max(rss, rssKiB() - before);
    }
    report("1 MiB of line feeds in a chat line", runs, base);
    std::printf("    resident memory growth at most %ld KiB\n", rss);

    base.clear();
    runs.clear();
    long chatRss = 0;
    for (int i = 0; i < 3; ++i) {
        base.push_back(chatData(10));
        runs.push_back(chatData(2000, &chatRss));
    }
    report("CHATDATA with 2,000 phrases", runs, base);

    base.clear();
    std::vector<Sample> at5k, at40k;
    for (int i = 0; i < 3; ++i) {
        base.push_back(settingsRead(10));
        at5k.push_back(settingsRead(5000));
        at40k.push_back(settingsRead(40000));
    }
    report("settings read, 5,000 keys", at5k, base);
    report("settings read, 40,000 keys", at40k, base);

    // A flood while the room-deleted notice is open: the line is dropped once the
    // bounded buffer fills; memory stays near that bound.
    runs.clear();
    long floodRss = 0;
    qint64 maxBuffered = 0;
    for (int i = 0; i < 3; ++i) {
        Wire w;
        const long before = rssKiB();
        Sample s;
        w.fake.answers = {platform::mb::OK, platform::mb::No};
        w.fake.onMessage = [&](const QString &text) {
            if (text != QStringLiteral("部屋が削除されました"))
                return;
            // Lines the client takes: one over its line limit is dropped as it comes
            // and never fills the queue, so the line would stay up for good.
            const QByteArray chunk = "LMESSAGE flood " + QByteArray(1 << 19, 'z') + "\r\n";
            QElapsedTimer t;
            t.start();
            // Twice the bound; what the client does not take waits in the generator.
            for (int half = 0; half < 32 && w.com->isConnected(); ++half) {
                w.server.sendRaw(chunk);
                QCoreApplication::processEvents();
                maxBuffered = std::max(maxBuffered, frmComTestPeer::wskTcp(*w.com)->bytesAvailable());
            }
            s.sendMs = double(t.nsecsElapsed()) / 1e6;
            QTimer deadline;
            deadline.start(60500); // wakes the wait below even when nothing else comes
            while (w.com->isConnected()) {
                if (t.elapsed() > 60000) {
                    std::printf("the line was not dropped within 60 s\n");
                    std::exit(1);
                }
                frmCom::waitForEvents();
                maxBuffered = std::max(maxBuffered, frmComTestPeer::wskTcp(*w.com)->bytesAvailable());
            }
            s.ms = double(t.nsecsElapsed()) / 1e6;
            floodRss = std::max(floodRss, rssKiB() - before);
        };
        w.server.sendRaw("DELETEROOM\r\n");
        while (w.fake.messages.size() < 2)
            frmCom::waitForEvents();
        runs.push_back(s);
    }
    report("flood during a message box", runs, runs);
    std::printf("    client buffered at most %lld KiB (bound %lld KiB); process memory growth at most %ld KiB,"
                " generator's unsent 16 MiB included\n",
                static_cast<long long>(maxBuffered / 1024), static_cast<long long>(frmCom::kMaxQueuedBytes / 1024),
                floodRss);
    return 0;
}
