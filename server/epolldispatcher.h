#pragma once
// The server's main-thread event loop on one epoll set. Qt's own dispatchers hand
// every registered socket to the kernel on every pass, so a pass over thousands of
// idle connections costs thousands of entries whatever happens; here a pass costs
// what is ready: the ready descriptors, the due timers and the posted events.
//
// Semantics follow Qt's Unix dispatcher: level-triggered notifiers (a read
// notifier also hears hang-up and error), timers precise to the millisecond
// whatever their type, a timer is not delivered again while its own event is
// being delivered (nested loops), and notifiers and timers may go away from any
// handler, also ones due later in the same pass.
#include <QAbstractEventDispatcher>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

class QSocketNotifier;

class EpollDispatcher : public QAbstractEventDispatcher {
    Q_OBJECT
public:
    explicit EpollDispatcher(QObject *parent = nullptr);
    ~EpollDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;

    using QAbstractEventDispatcher::registerTimer;
    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;

    // Thread-safe, like interrupt().
    void wakeUp() override;
    void interrupt() override;

private:
    struct Watched {
        QSocketNotifier *on[3] = {nullptr, nullptr, nullptr}; // Read, Write, Exception
        std::uint32_t generation = 0;
        std::uint32_t events = 0; // as registered with the kernel
    };
    struct Timer {
        int id = 0;
        qint64 intervalNs = 0;
        Qt::TimerType type = Qt::CoarseTimer;
        QObject *object = nullptr;
        qint64 deadline = 0;
        std::uint64_t serial = 0;
        bool delivering = false;
        std::multimap<qint64, Timer *>::iterator queued;
    };

    void updateWatch(int fd, Watched &w);
    int activateNotifiers(int fd, std::uint32_t generation, std::uint32_t ready);
    int activateTimers();
    // Milliseconds until the next timer not being delivered is due; -1: none.
    int timerWait() const;
    void schedule(Timer *t, qint64 deadline);
    void drainWakeUps();

    int m_epoll = -1;
    int m_wake = -1; // eventfd
    std::unordered_map<int, Watched> m_watched;
    std::uint32_t m_generation = 0;
    // Descriptors epoll refuses (regular files): always ready, as poll() has them.
    std::vector<int> m_alwaysReady;

    std::unordered_map<int, std::unique_ptr<Timer>> m_timers;
    std::multimap<qint64, Timer *> m_queue; // by deadline
    std::unordered_map<QObject *, std::vector<int>> m_timersOf;
    std::uint64_t m_serial = 0;

    std::atomic<int> m_wakeUps{0};
    std::atomic<bool> m_interrupt{false};
};
