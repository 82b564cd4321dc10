#include "epolldispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimerEvent>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {
// Not a descriptor's tag: descriptors carry generation << 32 | fd, generations start at 1.
constexpr std::uint64_t kWakeTag = ~std::uint64_t(0);
constexpr int kMaxEvents = 512;

constexpr std::uint32_t kWants[3] = {EPOLLIN, EPOLLOUT, EPOLLPRI};
// What wakes each kind, as with poll(): hang-up and errors end a read; an error
// (or a hang-up nobody reads) is news to a writer too, or the descriptor would
// stay ready without anyone hearing of it.
constexpr std::uint32_t kHears[3] = {EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR, EPOLLOUT | EPOLLERR | EPOLLHUP,
                                     EPOLLPRI};

qint64 nowNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int kindOf(const QSocketNotifier *n)
{
    switch (n->type()) {
    case QSocketNotifier::Read:
        return 0;
    case QSocketNotifier::Write:
        return 1;
    case QSocketNotifier::Exception:
        break;
    }
    return 2;
}
} // namespace

EpollDispatcher::EpollDispatcher(QObject *parent)
    : QAbstractEventDispatcher(parent), m_epoll(::epoll_create1(EPOLL_CLOEXEC)),
      m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (m_epoll < 0 || m_wake < 0)
        qFatal("EpollDispatcher: cannot create epoll set or eventfd: %s", std::strerror(errno));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeTag;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &ev) != 0)
        qFatal("EpollDispatcher: epoll_ctl: %s", std::strerror(errno));
}

EpollDispatcher::~EpollDispatcher()
{
    ::close(m_wake);
    ::close(m_epoll);
}

// ---- Socket notifiers -----------------------------------------------------------

void EpollDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    if (fd < 0)
        return;
    auto [it, added] = m_watched.try_emplace(fd);
    Watched &w = it->second;
    if (added)
        w.generation = ++m_generation == 0 ? ++m_generation : m_generation;
    const int kind = kindOf(notifier);
    if (w.on[kind] && w.on[kind] != notifier)
        qWarning("EpollDispatcher: more than one socket notifier for descriptor %d and type %d", fd, kind);
    w.on[kind] = notifier;
    updateWatch(fd, w);
}

void EpollDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    const auto it = m_watched.find(fd);
    if (it == m_watched.end())
        return;
    Watched &w = it->second;
    const int kind = kindOf(notifier);
    if (w.on[kind] != notifier)
        return;
    w.on[kind] = nullptr;
    updateWatch(fd, w);
    if (!w.on[0] && !w.on[1] && !w.on[2])
        m_watched.erase(it);
}

// Brings the kernel's view of fd in line with its notifiers.
void EpollDispatcher::updateWatch(int fd, Watched &w)
{
    std::uint32_t events = 0;
    for (int k = 0; k < 3; ++k)
        if (w.on[k])
            events |= kWants[k];
    if (events == w.events)
        return;
    const bool always = std::find(m_alwaysReady.begin(), m_alwaysReady.end(), fd) != m_alwaysReady.end();
    if (events == 0) {
        // Closed descriptors have left the set already.
        if (always)
            std::erase(m_alwaysReady, fd);
        else
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
        w.events = 0;
        return;
    }
    const bool inSet = w.events != 0;
    w.events = events;
    if (always)
        return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = std::uint64_t(w.generation) << 32 | std::uint32_t(fd);
    int op = inSet ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    // The set may hold fd from before it was closed and reused, or not hold it yet.
    if (::epoll_ctl(m_epoll, op, fd, &ev) == 0)
        return;
    if (errno == ENOENT || errno == EEXIST) {
        op = errno == ENOENT ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
        if (::epoll_ctl(m_epoll, op, fd, &ev) == 0)
            return;
    }
    if (errno == EPERM) {
        m_alwaysReady.push_back(fd);
        return;
    }
    qWarning("EpollDispatcher: cannot watch descriptor %d: %s", fd, std::strerror(errno));
}

int EpollDispatcher::activateNotifiers(int fd, std::uint32_t generation, std::uint32_t ready)
{
    int delivered = 0;
    for (int k = 0; k < 3; ++k) {
        // Looked up again for each: an earlier handler may have removed or disabled it.
        const auto it = m_watched.find(fd);
        if (it == m_watched.end() || it->second.generation != generation)
            break;
        QSocketNotifier *n = it->second.on[k];
        if (!n || !(ready & kHears[k]))
            continue;
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(n, &event);
        ++delivered;
    }
    return delivered;
}

// ---- Timers -----------------------------------------------------------------------

void EpollDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object)
{
    if (timerId < 1 || interval < 0 || !object) {
        qWarning("EpollDispatcher::registerTimer: invalid arguments");
        return;
    }
    auto t = std::make_unique<Timer>();
    t->id = timerId;
    t->intervalNs = interval * 1000000;
    t->type = timerType;
    t->object = object;
    t->serial = ++m_serial;
    t->queued = m_queue.end();
    schedule(t.get(), nowNs() + t->intervalNs);
    m_timersOf[object].push_back(timerId);
    m_timers[timerId] = std::move(t);
}

void EpollDispatcher::schedule(Timer *t, qint64 deadline)
{
    if (t->queued != m_queue.end())
        m_queue.erase(t->queued);
    t->deadline = deadline;
    t->queued = m_queue.emplace(deadline, t);
}

bool EpollDispatcher::unregisterTimer(int timerId)
{
    const auto it = m_timers.find(timerId);
    if (it == m_timers.end())
        return false;
    Timer *t = it->second.get();
    m_queue.erase(t->queued);
    const auto of = m_timersOf.find(t->object);
    if (of != m_timersOf.end()) {
        std::erase(of->second, timerId);
        if (of->second.empty())
            m_timersOf.erase(of);
    }
    m_timers.erase(it);
    return true;
}

bool EpollDispatcher::unregisterTimers(QObject *object)
{
    const auto of = m_timersOf.find(object);
    if (of == m_timersOf.end())
        return false;
    const std::vector<int> ids = std::move(of->second);
    m_timersOf.erase(of);
    for (const int id : ids) {
        const auto it = m_timers.find(id);
        m_queue.erase(it->second->queued);
        m_timers.erase(it);
    }
    return true;
}

QList<QAbstractEventDispatcher::TimerInfo> EpollDispatcher::registeredTimers(QObject *object) const
{
    QList<TimerInfo> out;
    const auto of = m_timersOf.find(object);
    if (of == m_timersOf.end())
        return out;
    for (const int id : of->second) {
        const Timer &t = *m_timers.at(id);
        out.append(TimerInfo(id, int(t.intervalNs / 1000000), t.type));
    }
    return out;
}

int EpollDispatcher::remainingTime(int timerId)
{
    const auto it = m_timers.find(timerId);
    if (it == m_timers.end())
        return -1;
    const qint64 left = it->second->deadline - nowNs();
    return left <= 0 ? 0 : int((left + 999999) / 1000000);
}

int EpollDispatcher::timerWait() const
{
    // Only timers being delivered (one per nesting level) are passed over.
    for (const auto &[deadline, t] : m_queue) {
        if (t->delivering)
            continue;
        const qint64 left = deadline - nowNs();
        // Rounded up: waking before the deadline would be a pass for nothing.
        return left <= 0 ? 0 : int(std::min<qint64>((left + 999999) / 1000000, INT_MAX));
    }
    return -1;
}

int EpollDispatcher::activateTimers()
{
    if (m_queue.empty())
        return 0;
    const qint64 now = nowNs();
    // What is due now, and no more: a timer started or made due by a handler waits
    // for the next pass, so that zero-interval timers cannot starve the rest.
    std::vector<std::pair<int, std::uint64_t>> due;
    for (auto it = m_queue.begin(); it != m_queue.end() && it->first <= now; ++it)
        if (!it->second->delivering)
            due.emplace_back(it->second->id, it->second->serial);
    int delivered = 0;
    for (const auto &[id, serial] : due) {
        auto it = m_timers.find(id);
        // Gone, or killed and its id given to a new timer, or already delivered by a
        // nested loop, or being delivered there.
        if (it == m_timers.end() || it->second->serial != serial || it->second->deadline > now ||
            it->second->delivering)
            continue;
        Timer *t = it->second.get();
        qint64 next = t->deadline + t->intervalNs;
        if (next < now)
            next = now + t->intervalNs;
        schedule(t, next);
        t->delivering = true;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(t->object, &event);
        ++delivered;
        it = m_timers.find(id);
        if (it != m_timers.end() && it->second->serial == serial)
            it->second->delivering = false;
    }
    return delivered;
}

// ---- Waking and the pass ----------------------------------------------------------

void EpollDispatcher::wakeUp()
{
    // The owner's thread is not waiting while it runs: the flag is enough, and it
    // saves a write and a read per pass that posts events.
    if (m_wakeUps.exchange(1, std::memory_order_acq_rel) == 0 && QThread::currentThread() != thread()) {
        const std::uint64_t one = 1;
        while (::write(m_wake, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
}

void EpollDispatcher::interrupt()
{
    m_interrupt.store(true, std::memory_order_release);
    wakeUp();
}

void EpollDispatcher::drainWakeUps()
{
    std::uint64_t count = 0;
    while (::read(m_wake, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

bool EpollDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_interrupt.store(false, std::memory_order_relaxed);
    // Cleared before the posted events are sent: what is posted meanwhile keeps us
    // awake. Set, it says something was posted since the last pass; sending that
    // is this pass's event, as with Qt's glib loop, so the pass does not block.
    const bool posted = m_wakeUps.exchange(0, std::memory_order_acq_rel) != 0;
    emit awake();
    QCoreApplication::sendPostedEvents();
    if (m_interrupt.load(std::memory_order_acquire))
        return false;

    const bool withTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool withNotifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    const bool canWait = (flags & QEventLoop::WaitForMoreEvents) && !posted && m_alwaysReady.empty();
    if (canWait)
        emit aboutToBlock();
    int timeout = -1;
    if (!canWait || m_wakeUps.load(std::memory_order_acquire) || m_interrupt.load(std::memory_order_acquire))
        timeout = 0;
    else if (withTimers)
        timeout = timerWait();

    int delivered = 0;
    if (withNotifiers) {
        std::array<epoll_event, kMaxEvents> events;
        const int n = ::epoll_wait(m_epoll, events.data(), kMaxEvents, timeout);
        // Generation and descriptor of each: the array is ours, but handlers can
        // change anything else, and nested loops run passes of their own.
        for (int i = 0; i < n; ++i) {
            const std::uint64_t tag = events[i].data.u64;
            if (tag == kWakeTag) {
                drainWakeUps();
                ++delivered;
                continue;
            }
            delivered += activateNotifiers(int(std::uint32_t(tag)), std::uint32_t(tag >> 32), events[i].events);
        }
        if (!m_alwaysReady.empty()) {
            const std::vector<int> fds = m_alwaysReady;
            for (const int fd : fds)
                if (const auto it = m_watched.find(fd); it != m_watched.end())
                    delivered += activateNotifiers(fd, it->second.generation, EPOLLIN | EPOLLOUT);
        }
    } else {
        // Only the wake-up: ready sockets must not end the wait.
        pollfd p{m_wake, POLLIN, 0};
        if (::poll(&p, 1, timeout) > 0) {
            drainWakeUps();
            ++delivered;
        }
    }
    if (withTimers)
        delivered += activateTimers();
    return delivered > 0;
}
