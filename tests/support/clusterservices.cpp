#include "clusterservices.h"

#include <QDir>
#include <QFileInfo>
#include <QTcpServer>

#include <pwd.h>
#include <unistd.h>

namespace {

constexpr int kStartTimeoutMs = 30000;
const char *const kPgUser = "qorchat";

bool runningAsRoot() { return ::geteuid() == 0; }

// Under root, the command line that runs program as "nobody".
QStringList asUnprivileged(const QString &program, const QStringList &args, QString *runner)
{
    if (!runningAsRoot()) {
        *runner = program;
        return args;
    }
    *runner = QStringLiteral("runuser");
    return QStringList{QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--"), program} + args;
}

} // namespace

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QString postgresBinDir()
{
    for (const char *v : {"17", "16", "15", "14", "13"}) {
        const QString dir = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(QLatin1String(v));
        if (QFileInfo::exists(dir + QStringLiteral("/pg_ctl")))
            return dir;
    }
    return {};
}

// ---- Redis ------------------------------------------------------------------

RedisService::~RedisService() { stop(); }

bool RedisService::start(QString *error)
{
    stop();
    for (int attempt = 0; attempt < 5; ++attempt) {
        const bool restart = m_port != 0;
        if (!restart)
            m_port = freeLoopbackPort();
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        m_process->start(QStringLiteral("redis-server"),
                         {QStringLiteral("--port"), QString::number(m_port), QStringLiteral("--bind"),
                          QStringLiteral("127.0.0.1"), QStringLiteral("--save"), QString(),
                          QStringLiteral("--appendonly"), QStringLiteral("no"), QStringLiteral("--daemonize"),
                          QStringLiteral("no"), QStringLiteral("--protected-mode"), QStringLiteral("yes")});
        if (!m_process->waitForStarted()) {
            *error = QStringLiteral("redis-server: %1").arg(m_process->errorString());
            m_process.reset();
            return false;
        }
        QByteArray out;
        while (!out.contains("Ready to accept connections") && m_process->waitForReadyRead(kStartTimeoutMs))
            out += m_process->readAll();
        if (out.contains("Ready to accept connections"))
            return true;
        *error = QString::fromLocal8Bit(out + m_process->readAll());
        m_process->kill();
        m_process->waitForFinished();
        m_process.reset();
        if (restart) // the port is someone else's now; nothing to do about it
            return false;
        m_port = 0;
    }
    return false;
}

void RedisService::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished();
    }
    m_process.reset();
}

// ---- PostgreSQL ---------------------------------------------------------------

PostgresService::~PostgresService() { stop(); }

bool PostgresService::run(const QString &program, const QStringList &args, QString *error, int timeoutMs)
{
    QString runner;
    const QStringList argv = asUnprivileged(program, args, &runner);
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(runner, argv);
    if (!p.waitForStarted()) {
        *error = QStringLiteral("%1: %2").arg(runner, p.errorString());
        return false;
    }
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        *error = QStringLiteral("%1: timed out").arg(program);
        return false;
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *error = QStringLiteral("%1 failed: %2").arg(program, QString::fromLocal8Bit(p.readAll()));
        return false;
    }
    return true;
}

bool PostgresService::start(QString *error)
{
    const QString bin = postgresBinDir();
    if (bin.isEmpty()) {
        *error = QStringLiteral("PostgreSQL server binaries not found");
        return false;
    }
    m_dir = std::make_unique<QTemporaryDir>();
    if (!m_dir->isValid()) {
        *error = m_dir->errorString();
        return false;
    }
    if (runningAsRoot()) {
        const passwd *pw = ::getpwnam("nobody");
        if (!pw || ::chown(QFile::encodeName(m_dir->path()).constData(), pw->pw_uid, pw->pw_gid) != 0) {
            *error = QStringLiteral("cannot hand %1 to nobody").arg(m_dir->path());
            return false;
        }
    }
    const QString data = m_dir->filePath(QStringLiteral("data"));
    if (!run(bin + QStringLiteral("/initdb"),
             {QStringLiteral("-D"), data, QStringLiteral("-U"), QLatin1String(kPgUser), QStringLiteral("--auth=trust"),
              QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--no-locale"), QStringLiteral("--no-sync")},
             error))
        return false;
    for (int attempt = 0; attempt < 3 && !m_started; ++attempt) {
        m_port = freeLoopbackPort();
        m_started = launch(error);
    }
    return m_started;
}

bool PostgresService::launch(QString *error)
{
    const QString options = QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off "
                                           "-c synchronous_commit=off -c full_page_writes=off")
                                .arg(m_port)
                                .arg(m_dir->path());
    const bool ok = run(postgresBinDir() + QStringLiteral("/pg_ctl"),
                        {QStringLiteral("-D"), m_dir->filePath(QStringLiteral("data")), QStringLiteral("-l"),
                         m_dir->filePath(QStringLiteral("log")), QStringLiteral("-o"), options, QStringLiteral("-w"),
                         QStringLiteral("-t"), QString::number(kStartTimeoutMs / 1000), QStringLiteral("start")},
                        error, kStartTimeoutMs + 5000);
    if (!ok) {
        QFile log(m_dir->filePath(QStringLiteral("log")));
        if (log.open(QIODevice::ReadOnly))
            *error += QString::fromLocal8Bit(log.readAll().right(2000));
    }
    return ok;
}

bool PostgresService::restart(QString *error)
{
    // A clean stop: a crash stop would lose commits (synchronous_commit is off).
    if (!run(postgresBinDir() + QStringLiteral("/pg_ctl"),
             {QStringLiteral("-D"), m_dir->filePath(QStringLiteral("data")), QStringLiteral("-m"), QStringLiteral("fast"),
              QStringLiteral("-w"), QStringLiteral("stop")},
             error))
        return false;
    m_started = launch(error);
    return m_started;
}

void PostgresService::stop()
{
    if (!m_started)
        return;
    m_started = false;
    QString error;
    if (!run(postgresBinDir() + QStringLiteral("/pg_ctl"),
             {QStringLiteral("-D"), m_dir->filePath(QStringLiteral("data")), QStringLiteral("-m"),
              QStringLiteral("immediate"), QStringLiteral("-w"), QStringLiteral("stop")},
             &error))
        qWarning("%s", qPrintable(error));
}

bool PostgresService::createDatabase(const QString &name, QString *error)
{
    return run(postgresBinDir() + QStringLiteral("/createdb"),
               {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(m_port),
                QStringLiteral("-U"), QLatin1String(kPgUser), name},
               error);
}

QString PostgresService::url(const QString &database) const
{
    return QStringLiteral("postgresql://%1@127.0.0.1:%2/%3").arg(QLatin1String(kPgUser)).arg(m_port).arg(database);
}
