// The registry's lifetime of an unloaded window: never destroyed under a handler
// of it still running (the sanitizer build catches a touch of a freed widget), and
// destroyed once the handler that loaded it has returned to the loop below it.
#include "platform/forms.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

class Probe : public Form {
    Q_OBJECT
public:
    static constexpr const char kName[] = "tstProbe";
    struct State : FormStateBase {};
    Probe() { label = new QLabel(this); }
    QLabel *label;
    QString seen;
};

int alive()
{
    int n = 0;
    for (const QWidget *w : QApplication::allWidgets())
        n += w->objectName() == QLatin1String(Probe::kName);
    return n;
}

// Runs f from the event loop, as a menu item's handler runs: posted, then
// delivered by processEvents() called where no handler runs.
void fromLoop(const std::function<void()> &f)
{
    bool done = false;
    QMetaObject::invokeMethod(qApp, [&] { f(); done = true; }, Qt::QueuedConnection);
    while (!done)
        QCoreApplication::processEvents();
}

// Idles in the loop below every handler until w is gone (or long after it should
// be). Nothing else is posted meanwhile: the registry must wake the loop itself.
void idleUntilGone(const QPointer<Probe> &w)
{
    QTimer deadline;
    deadline.start(10000);
    QElapsedTimer t;
    t.start();
    while (w && t.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

// A handler's wait for the server: events run underneath until `until` holds.
void wait(const QString &kind, const std::function<bool()> &until)
{
    if (kind == QLatin1String("processEvents")) {
        while (!until())
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    } else {
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (until())
                loop.quit();
        });
        poll.start(1);
        loop.exec();
    }
}

} // namespace

class FormsTest : public QObject {
    Q_OBJECT
private slots:
    void cleanup()
    {
        Forms::resetAll();
        QCOMPARE(alive(), 0);
    }

    // A window's handler waits; meanwhile it is unloaded (the line drops, START
    // arrives, or its own close button), and perhaps loaded again. After the wait
    // the handler still writes to its widget; the old widget goes only once the
    // loading handler has returned.
    void unloadDuringWait_data()
    {
        QTest::addColumn<QString>("waitKind");
        QTest::addColumn<QString>("during"); // what runs inside the wait
        for (const char *kind : {"processEvents", "QEventLoop"}) {
            QTest::addRow("%s: unloaded", kind) << kind << "unload";
            QTest::addRow("%s: everything unloaded", kind) << kind << "unloadAll";
            QTest::addRow("%s: unloaded and loaded again", kind) << kind << "reload";
            QTest::addRow("%s: unloaded, then a deferred-delete flush", kind) << kind << "flush";
        }
    }
    void unloadDuringWait()
    {
        QFETCH(QString, waitKind);
        QFETCH(QString, during);
        QPointer<Probe> first;
        QPointer<Probe> second;
        bool wholeAfterWait = false;
        fromLoop([&] {
            Probe *p = Forms::get<Probe>();
            first = p;
            bool fired = false;
            QTimer::singleShot(0, [&] {
                if (during == QLatin1String("unloadAll")) {
                    Forms::unloadAll();
                } else {
                    Forms::unload<Probe>();
                    if (during == QLatin1String("reload")) {
                        second = Forms::get<Probe>();
                        Forms::unload<Probe>();
                    } else if (during == QLatin1String("flush")) {
                        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                    }
                }
                fired = true;
            });
            wait(waitKind, [&] { return fired; });
            // Still the handler of p: p must be whole.
            QVERIFY(!Forms::isCurrent(p));
            p->seen = p->label->text() + QStringLiteral("after");
            p->label->setText(p->seen);
            wholeAfterWait = !first.isNull() && p->label->text() == QStringLiteral("after");
            if (during == QLatin1String("flush")) {
                // As QTest::qWait does, at the loading handler's own level.
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                wholeAfterWait = !first.isNull();
                if (wholeAfterWait)
                    p->label->setText(QStringLiteral("still here"));
            }
        });
        QVERIFY(wholeAfterWait);
        if (during == QLatin1String("flush")) {
            QCoreApplication::processEvents();
            // Delivered too early once: left to collect() rather than risked.
            QVERIFY(first);
            Forms::collect();
        }
        idleUntilGone(first);
        QVERIFY(!first);
        QVERIFY(!second);
        QCOMPARE(alive(), 0);
    }

    // A window unloading itself from its own button while shown modally.
    void selfUnloadFromModal()
    {
        QPointer<Probe> shown;
        QString afterExec;
        fromLoop([&] {
            Probe *p = Forms::get<Probe>();
            shown = p;
            auto *ok = new QPushButton(p);
            QObject::connect(ok, &QPushButton::clicked, p, [p] {
                Forms::unload<Probe>();
                // The rest of the click handler runs on a parked widget.
                p->label->setText(QStringLiteral("closed"));
            });
            QTimer::singleShot(0, ok, [ok] { ok->click(); });
            p->exec();
            afterExec = shown ? shown->label->text() : QStringLiteral("gone");
        });
        QCOMPARE(afterExec, QStringLiteral("closed"));
        idleUntilGone(shown);
        QVERIFY(!shown);
    }

    // Where the registry cannot tell whether a handler runs, or the window is
    // still loaded when its loading handler returns, collect() frees it.
    void leftToCollect_data()
    {
        QTest::addColumn<bool>("outsideLoop");
        QTest::newRow("loaded outside any event loop") << true;
        QTest::newRow("still loaded when its loader returned") << false;
    }
    void leftToCollect()
    {
        QFETCH(bool, outsideLoop);
        QPointer<Probe> p;
        if (outsideLoop) {
            p = Forms::get<Probe>();
        } else {
            fromLoop([&] { p = Forms::get<Probe>(); });
            QCoreApplication::processEvents();
        }
        Forms::unload<Probe>();
        for (int i = 0; i < 3; ++i)
            fromLoop([] {});
        QVERIFY(p);
        QCOMPARE(alive(), 1);
        Forms::collect();
        QVERIFY(!p);
    }
};

QTEST_MAIN(FormsTest)
#include "tst_forms.moc"
