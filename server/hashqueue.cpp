#include "hashqueue.h"

#include "clientconnection.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cerrno>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int kHashNice = 10;

// Hashing threads yield to the event loop: a burst of sign-ins must not slow
// the chat of everyone else. Linux applies a nice value to one thread.
void lowerThreadPriority()
{
    thread_local bool lowered = false;
    if (lowered)
        return;
    lowered = true;
    const auto tid = id_t(::syscall(SYS_gettid));
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, tid);
    if (errno == 0)
        ::setpriority(PRIO_PROCESS, tid, std::min(19, nice + kHashNice));
}

} // namespace

HashQueue::HashQueue(int threads, QObject *parent) : QObject(parent), m_threads(std::max(1, threads))
{
    m_pool.setMaxThreadCount(m_threads);
    // Threads are kept: each holds a descriptor of its own, counted once at start,
    // and making one anew could fail when the server is out of descriptors.
    m_pool.setExpiryTimeout(-1);
}

HashQueue::~HashQueue() { stop(); }

int HashQueue::capacity() const
{
    const qint64 perThread = kMaxWaitMs * 1000 / std::max<qint64>(1, m_averageUs);
    return int(std::min<qint64>(m_maxQueued, std::max<qint64>(perThread * m_threads, m_threads)));
}

qint64 HashQueue::expectedWaitMs() const
{
    const qint64 ahead = qint64(m_queue.size()) + std::max(0, m_running - m_threads + 1);
    return ahead * m_averageUs / m_threads / 1000;
}

quint64 HashQueue::submit(std::function<void()> work, std::function<void(bool)> settled)
{
    if (m_stopped || !hasRoom())
        return 0;
    const quint64 id = m_nextId++;
    m_queue.push_back(Job{id, std::move(work), std::move(settled)});
    startNext();
    return id;
}

void HashQueue::startNext()
{
    while (m_running < m_threads && !m_queue.empty()) {
        Job job = std::move(m_queue.front());
        m_queue.pop_front();
        ++m_running;
        const quint64 id = job.id;
        std::function<void()> work = std::move(job.work);
        m_active.insert(id, std::move(job));
        if (m_running == 1 && m_queue.empty() && m_averageUs <= kInlineUs) {
            QElapsedTimer clock;
            clock.start();
            work();
            const qint64 us = clock.nsecsElapsed() / 1000;
            // Settled just before this pass's output leaves: the answer goes with it.
            ClientConnection::beforeNextFlush(this, [this, id, us] { finished(id, us); });
            continue;
        }
        m_pool.start([this, id, work = std::move(work)] {
            lowerThreadPriority();
            QElapsedTimer clock;
            clock.start();
            work();
            const qint64 us = clock.nsecsElapsed() / 1000;
            QMetaObject::invokeMethod(this, [this, id, us] { finished(id, us); }, Qt::QueuedConnection);
        });
    }
}

void HashQueue::finished(quint64 id, qint64 us)
{
    if (m_stopped)
        return;
    --m_running;
    // Recent hashes weigh most: the pace follows the parameters and the machine's load.
    m_averageUs = std::max<qint64>(1, (m_averageUs * 7 + us) / 8);
    Job job = m_active.take(id);
    startNext();
    if (job.settled)
        job.settled(!job.cancelled);
}

void HashQueue::cancel(quint64 id)
{
    if (auto it = m_active.find(id); it != m_active.end()) {
        it->cancelled = true;
        return;
    }
    const auto it = std::find_if(m_queue.begin(), m_queue.end(), [id](const Job &j) { return j.id == id; });
    if (it == m_queue.end())
        return;
    Job job = std::move(*it);
    m_queue.erase(it);
    if (job.settled)
        job.settled(false);
}

int HashQueue::stop()
{
    m_stopped = true;
    const int dropped = int(m_queue.size());
    m_queue.clear();
    m_pool.waitForDone();
    // Their answers would go to clients that are being closed.
    m_active.clear();
    m_running = 0;
    return dropped;
}
