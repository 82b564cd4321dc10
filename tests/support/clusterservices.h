#pragma once
// Throw-away Redis and PostgreSQL for tests: each in a temporary folder, on a free
// loopback port, keeping nothing, stopped when the object goes. PostgreSQL refuses
// to run as root, so under root its files belong to, and it runs as, "nobody".
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class RedisService {
public:
    ~RedisService();
    // Same port on a restart, so clients can reconnect.
    bool start(QString *error);
    void stop();
    bool running() const { return m_process && m_process->state() == QProcess::Running; }
    qint64 pid() const { return m_process ? m_process->processId() : 0; }
    quint16 port() const { return m_port; }
    QString url() const { return QStringLiteral("redis://127.0.0.1:%1").arg(m_port); }

private:
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
};

class PostgresService {
public:
    ~PostgresService();
    bool start(QString *error);
    void stop();
    // Stops the server and starts it again on the same port with the same data.
    bool restart(QString *error);
    // A fresh, empty database on the running server.
    bool createDatabase(const QString &name, QString *error);
    QString url(const QString &database) const;
    quint16 port() const { return m_port; }

private:
    bool run(const QString &program, const QStringList &args, QString *error, int timeoutMs = 60000);
    bool launch(QString *error);

    std::unique_ptr<QTemporaryDir> m_dir;
    quint16 m_port = 0;
    bool m_started = false;
};

// A free TCP port on 127.0.0.1 (free when asked; good enough for tests).
quint16 freeLoopbackPort();
// The folder of initdb, pg_ctl and postgres; empty when not installed.
QString postgresBinDir();
