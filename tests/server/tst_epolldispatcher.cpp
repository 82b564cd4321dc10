// The server's epoll event loop, installed here as the test's own main loop, so that
// QTest's waiting runs on it too.
#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <functional>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "epolldispatcher.h"

namespace {

QAbstractEventDispatcher *loop()
{
    return QAbstractEventDispatcher::instance();
}

// A connected pair of local sockets; a byte written to one makes the other readable.
struct Pair {
    int fd[2] = {-1, -1};
    Pair() { QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fd) == 0); }
    ~Pair()
    {
        ::close(fd[0]);
        ::close(fd[1]);
    }
    void poke() const { QCOMPARE(::write(fd[1], "x", 1), 1); }
    void drain() const
    {
        char b[64];
        while (::read(fd[0], b, sizeof b) > 0) {
        }
    }
};

// Runs until done() or a deadline timer far beyond what any scenario needs, which
// ends a broken run with "deadline" in its trace instead of a hang.
void runUntil(const std::function<bool()> &done, QStringList &trace)
{
    bool late = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&] { late = true; });
    deadline.start(20000);
    while (!done() && !late)
        loop()->processEvents(QEventLoop::WaitForMoreEvents);
    if (late)
        trace << QStringLiteral("deadline");
}

class Ticker : public QObject {
public:
    std::function<void(QTimerEvent *)> onTimer;
    void timerEvent(QTimerEvent *e) override { onTimer(e); }
};

// Each scenario drives the loop and returns what happened, in order.
using Scenario = QStringList (*)();

QStringList timersInDueOrder()
{
    QStringList trace;
    QObject context;
    for (const int ms : {30, 10, 20, 0})
        QTimer::singleShot(ms, &context, [&trace, ms] { trace << QString::number(ms); });
    runUntil([&] { return trace.size() >= 4; }, trace);
    return trace;
}

QStringList singleShotOnce()
{
    QStringList trace;
    QTimer once;
    once.setSingleShot(true);
    QObject::connect(&once, &QTimer::timeout, [&] { trace << QStringLiteral("once"); });
    once.start(1);
    bool end = false;
    QTimer::singleShot(40, &once, [&] { end = true; });
    runUntil([&] { return end; }, trace);
    return trace << QString::number(loop()->registeredTimers(&once).size());
}

QStringList killedInOwnHandler()
{
    QStringList trace;
    Ticker t;
    t.onTimer = [&](QTimerEvent *e) {
        trace << QStringLiteral("tick");
        t.killTimer(e->timerId());
    };
    t.startTimer(0);
    bool end = false;
    QTimer::singleShot(30, &t, [&] { end = true; });
    runUntil([&] { return end; }, trace);
    return trace;
}

// Two timers due in one pass; the first deletes the second's object.
QStringList timerObjectDeletedBySibling()
{
    QStringList trace;
    auto *second = new Ticker;
    second->onTimer = [&](QTimerEvent *) { trace << QStringLiteral("second"); };
    Ticker first;
    first.onTimer = [&](QTimerEvent *e) {
        trace << QStringLiteral("first");
        first.killTimer(e->timerId());
        delete second;
    };
    first.startTimer(5);
    second->startTimer(5);
    // Both due before the loop looks.
    QThread::msleep(10);
    loop()->processEvents(QEventLoop::AllEvents);
    return trace;
}

QStringList zeroTimerDoesNotStarve()
{
    QStringList trace;
    int spins = 0;
    QTimer zero;
    QObject::connect(&zero, &QTimer::timeout, [&] { ++spins; });
    zero.start(0);
    bool end = false;
    QTimer::singleShot(10, &zero, [&] { end = true; });
    runUntil([&] { return end; }, trace);
    return trace << (spins > 1 ? QStringLiteral("repeated") : QStringLiteral("once"));
}

QStringList remainingAndRegistered()
{
    Ticker t;
    const int id = t.startTimer(5000, Qt::PreciseTimer);
    const auto timers = loop()->registeredTimers(&t);
    const int left = loop()->remainingTime(id);
    t.killTimer(id);
    if (timers.size() != 1)
        return {QString::number(timers.size())};
    return {QString::number(timers[0].interval), QString::number(timers[0].timerId == id),
            left > 0 && left <= 5000 ? QStringLiteral("left") : QString::number(left),
            QString::number(loop()->remainingTime(id))};
}

// Both descriptors readable in one pass; whichever handler comes first deletes
// the other's notifier (or, with disable, turns it off).
QStringList notifierGoneInSamePass(bool disable)
{
    QStringList trace;
    Pair a, b;
    auto na = std::make_unique<QSocketNotifier>(a.fd[0], QSocketNotifier::Read);
    auto nb = std::make_unique<QSocketNotifier>(b.fd[0], QSocketNotifier::Read);
    const auto handler = [&](std::unique_ptr<QSocketNotifier> &other) {
        trace << QStringLiteral("read");
        a.drain();
        b.drain();
        if (disable)
            other->setEnabled(false);
        else
            other.reset();
    };
    QObject::connect(na.get(), &QSocketNotifier::activated, [&] { handler(nb); });
    QObject::connect(nb.get(), &QSocketNotifier::activated, [&] { handler(na); });
    a.poke();
    b.poke();
    loop()->processEvents(QEventLoop::AllEvents);
    loop()->processEvents(QEventLoop::AllEvents);
    return trace;
}
QStringList notifierDeletedBySibling() { return notifierGoneInSamePass(false); }
QStringList notifierDisabledBySibling() { return notifierGoneInSamePass(true); }

QStringList readWriteOnOneDescriptor()
{
    QStringList trace;
    Pair p;
    QSocketNotifier r(p.fd[0], QSocketNotifier::Read), w(p.fd[0], QSocketNotifier::Write);
    QObject::connect(&r, &QSocketNotifier::activated, [&] {
        trace << QStringLiteral("read");
        p.drain();
    });
    QObject::connect(&w, &QSocketNotifier::activated, [&] {
        trace << QStringLiteral("write");
        w.setEnabled(false);
    });
    r.setEnabled(false);
    p.poke();
    loop()->processEvents(QEventLoop::AllEvents);
    r.setEnabled(true);
    loop()->processEvents(QEventLoop::AllEvents);
    // Level-triggered but drained: nothing more.
    loop()->processEvents(QEventLoop::AllEvents);
    // Readable again, but left out.
    p.poke();
    loop()->processEvents(QEventLoop::ExcludeSocketNotifiers);
    trace << QStringLiteral("|");
    loop()->processEvents(QEventLoop::AllEvents);
    return trace;
}

// Readable and writable in one pass: the read handler deletes the write notifier.
QStringList writerDeletedByReader()
{
    QStringList trace;
    Pair p;
    QSocketNotifier r(p.fd[0], QSocketNotifier::Read);
    auto w = std::make_unique<QSocketNotifier>(p.fd[0], QSocketNotifier::Write);
    QObject::connect(&r, &QSocketNotifier::activated, [&] {
        trace << QStringLiteral("read");
        p.drain();
        w.reset();
    });
    QObject::connect(w.get(), &QSocketNotifier::activated, [&] { trace << QStringLiteral("write"); });
    p.poke();
    loop()->processEvents(QEventLoop::AllEvents);
    return trace;
}

// A byte from another thread, and only it, ends a wait with nothing else to do.
QStringList wakeUpFromThread()
{
    QStringList trace;
    std::atomic<bool> woken{false};
    int passes = 0;
    bool posted = false;
    QObject receiver;
    std::thread other([&] {
        QThread::msleep(50);
        woken = true;
        QAbstractEventDispatcher::instance(QCoreApplication::instance()->thread())->wakeUp();
        QThread::msleep(50);
        QMetaObject::invokeMethod(&receiver, [&] { posted = true; }, Qt::QueuedConnection);
    });
    runUntil([&] { return ++passes, woken.load(); }, trace);
    trace << QStringLiteral("woken");
    runUntil([&] { return posted; }, trace);
    other.join();
    trace << QStringLiteral("posted");
    // A loop that polled instead of waiting would have gone round many times.
    return trace << (passes <= 3 ? QStringLiteral("waited") : QStringLiteral("%1 passes").arg(passes));
}

// A handler runs a nested loop: the other timers and notifiers go on, its own timer
// is not delivered again inside itself, and the posted events are sent.
QStringList nestedLoop()
{
    QStringList trace;
    Pair p;
    QSocketNotifier n(p.fd[0], QSocketNotifier::Read);
    QObject::connect(&n, &QSocketNotifier::activated, [&] {
        trace << QStringLiteral("read");
        p.drain();
    });
    int depth = 0;
    QTimer outer;
    QObject::connect(&outer, &QTimer::timeout, [&] {
        if (depth > 0) {
            trace << QStringLiteral("re-entered");
            return;
        }
        ++depth;
        trace << QStringLiteral("outer");
        QEventLoop inner;
        QTimer::singleShot(5, &inner, [&] {
            trace << QStringLiteral("inner timer");
            p.poke();
            QMetaObject::invokeMethod(&inner, [&] { trace << QStringLiteral("posted"); }, Qt::QueuedConnection);
        });
        QTimer::singleShot(30, &inner, &QEventLoop::quit);
        inner.exec();
        outer.stop();
        --depth;
        trace << QStringLiteral("outer end");
    });
    outer.start(0);
    runUntil([&] { return trace.endsWith(QStringLiteral("outer end")); }, trace);
    return trace;
}

QStringList postedEvents()
{
    QStringList trace;
    QObject receiver;
    QMetaObject::invokeMethod(&receiver, [&] {
        trace << QStringLiteral("first");
        QMetaObject::invokeMethod(&receiver, [&] { trace << QStringLiteral("from first"); }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
    QMetaObject::invokeMethod(&receiver, [&] { trace << QStringLiteral("second"); }, Qt::QueuedConnection);
    // Blocking is allowed: the event posted while sending keeps the loop awake.
    runUntil([&] { return trace.size() >= 3; }, trace);
    return trace;
}

} // namespace

Q_DECLARE_METATYPE(Scenario)

class TestEpollDispatcher : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(qobject_cast<EpollDispatcher *>(loop())); }

    void scenario_data()
    {
        QTest::addColumn<Scenario>("run");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, Scenario run, const QString &expected) {
            QTest::newRow(name) << run << expected;
        };
        row("timers in due order", timersInDueOrder, QStringLiteral("0,10,20,30"));
        row("single-shot once, then unregistered", singleShotOnce, QStringLiteral("once,0"));
        row("timer killed in its own handler", killedInOwnHandler, QStringLiteral("tick"));
        row("timer object deleted by a timer of the same pass", timerObjectDeletedBySibling, QStringLiteral("first"));
        row("zero-interval timer repeats, others still fire", zeroTimerDoesNotStarve, QStringLiteral("repeated"));
        row("registeredTimers and remainingTime", remainingAndRegistered, QStringLiteral("5000,1,left,-1"));
        row("notifier deleted by another's handler of the same pass", notifierDeletedBySibling, QStringLiteral("read"));
        row("notifier disabled by another's handler of the same pass", notifierDisabledBySibling, QStringLiteral("read"));
        row("read and write notifiers on one descriptor, enable, exclude", readWriteOnOneDescriptor,
            QStringLiteral("write,read,|,read"));
        row("write notifier deleted by the read handler of its descriptor", writerDeletedByReader,
            QStringLiteral("read"));
        row("wakeUp and posting from another thread end a wait", wakeUpFromThread, QStringLiteral("woken,posted,waited"));
        row("nested event loop", nestedLoop, QStringLiteral("outer,inner timer,posted,read,outer end"));
        row("posted events, also ones posted while sending", postedEvents, QStringLiteral("first,second,from first"));
    }
    void scenario()
    {
        QFETCH(Scenario, run);
        QFETCH(QString, expected);
        QCOMPARE(run().join(u','), expected);
    }

    // The loop's signals around a wait, as QEventLoop users see them.
    void blockingSignals()
    {
        int blocks = 0, awakes = 0;
        QObject::connect(loop(), &QAbstractEventDispatcher::aboutToBlock, this, [&] { ++blocks; });
        QObject::connect(loop(), &QAbstractEventDispatcher::awake, this, [&] { ++awakes; });
        QTimer::singleShot(1, this, [] {});
        loop()->processEvents(QEventLoop::WaitForMoreEvents);
        loop()->processEvents(QEventLoop::AllEvents);
        loop()->disconnect(this);
        QCOMPARE(blocks, 1);
        QCOMPARE(awakes, 2);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication::setEventDispatcher(new EpollDispatcher);
    QCoreApplication app(argc, argv);
    TestEpollDispatcher test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_epolldispatcher.moc"
