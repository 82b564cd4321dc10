#pragma once
// A qorchat-server process of a test cluster, with its log at hand.
#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <csignal>

// Waits for things that take the cluster's liveness timeout, not for speed.
constexpr int kStartWaitMs = 30000;

class Node {
public:
    ~Node() { stop(); }
    bool start(const QStringList &args)
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral(QORCHAT_SERVER_EXE), QStringList{QStringLiteral("--port"), QStringLiteral("0")} + args);
        if (!m_process.waitForStarted())
            return false;
        const QRegularExpression listening(QStringLiteral("listening on .*:(\\d+)"));
        if (!waitForLog(listening))
            return false;
        port = quint16(listening.match(QString::fromUtf8(m_log)).captured(1).toUInt());
        return port != 0;
    }
    // Waits for a log line matching, written after the last one matched.
    bool waitForLog(const QRegularExpression &re, int timeoutMs = kStartWaitMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            m_log += m_process.readAll();
            const auto match = re.match(QString::fromUtf8(m_log), m_seen);
            if (match.hasMatch()) {
                m_seen = int(match.capturedEnd());
                return true;
            }
            if (deadline.hasExpired() || m_process.state() != QProcess::Running)
                return false;
            m_process.waitForReadyRead(int(std::min<qint64>(deadline.remainingTime(), 1000)));
        }
    }
    bool waitForLog(const QString &text, int timeoutMs = kStartWaitMs)
    {
        return waitForLog(QRegularExpression(QRegularExpression::escape(text)), timeoutMs);
    }
    void signal(int sig) { ::kill(pid_t(m_process.processId()), sig); }
    void kill9()
    {
        ::kill(pid_t(m_process.processId()), SIGKILL);
        m_process.waitForFinished();
    }
    // True when the node ended cleanly on SIGTERM.
    bool stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return true;
        m_process.terminate();
        if (!m_process.waitForFinished(20000)) {
            m_process.kill();
            m_process.waitForFinished();
            return false;
        }
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }
    QString log()
    {
        m_log += m_process.readAll();
        return QString::fromUtf8(m_log);
    }
    quint16 port = 0;

private:
    QProcess m_process;
    QByteArray m_log;
    int m_seen = 0;
};
