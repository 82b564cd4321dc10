#pragma once
// Password hashes on a few worker threads, in order of arrival. The queue is
// bounded by time: it takes no more work than its threads finish in about
// kMaxWaitMs at the pace measured so far, so whatever it accepts is answered
// while the client still waits. Queued work can be cancelled (its client left);
// at shutdown the queue is dropped and only the running hashes are waited for.
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QThreadPool>

#include <deque>
#include <functional>

class HashQueue : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kMaxWaitMs = 1500;
    // Whatever the pace, never more than this many wait.
    static constexpr int kMaxQueued = 1024;
    // Assumed before the first hash was timed: the product's default costs about this.
    static constexpr qint64 kFirstGuessUs = 60000;
    // Hashes this cheap, at the measured pace, run on the calling thread when no other
    // is running or waiting: handing one to a thread and back (two wake-ups) costs
    // more CPU than that. A burst still goes to the threads.
    static constexpr qint64 kInlineUs = 200;

    explicit HashQueue(int threads, QObject *parent = nullptr);
    ~HashQueue() override;

    // work runs on a worker thread (or here, see kInlineUs); settled(true) follows
    // on this thread, never within submit, once it ran, settled(false) when it was
    // cancelled or dropped. 0: the queue is full, nothing was taken.
    quint64 submit(std::function<void()> work, std::function<void(bool ran)> settled);
    // Queued: dropped now. Running: settled(false) when it ends.
    void cancel(quint64 id);
    // For a clean stop: drops the queue (settling nothing) and waits for the hashes
    // already running. Returns how many queued ones were dropped.
    int stop();

    // Work that finds a thread free never waits; what waits is bounded.
    bool hasRoom() const { return m_running < m_threads || queued() < capacity(); }
    // How many may wait now.
    int capacity() const;
    // Tests: fewer than kMaxQueued.
    void setMaxQueued(int n) { m_maxQueued = n; }
    // How long new work would wait for a thread, at the measured pace.
    qint64 expectedWaitMs() const;
    qint64 averageUs() const { return m_averageUs; }
    int queued() const { return int(m_queue.size()); }
    int running() const { return m_running; }
    int threads() const { return m_threads; }

private:
    struct Job {
        quint64 id = 0;
        std::function<void()> work;
        std::function<void(bool)> settled;
        bool cancelled = false;
    };
    void startNext();
    void finished(quint64 id, qint64 us);

    QThreadPool m_pool;
    int m_threads;
    int m_running = 0;
    int m_maxQueued = kMaxQueued;
    bool m_stopped = false;
    quint64 m_nextId = 1;
    qint64 m_averageUs = kFirstGuessUs;
    std::deque<Job> m_queue;
    QHash<quint64, Job> m_active;
};
