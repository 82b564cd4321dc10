#include "serverprocess.h"

#include <QRegularExpression>

ServerProcess::~ServerProcess()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        m_process.kill();
}

bool ServerProcess::start(const QString &exe, const QStringList &extraArgs)
{
    // Small password hashes keep the sanitizer build quick.
    m_process.start(exe, QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"),
                                     QStringLiteral(":memory:"), QStringLiteral("--hash-memory"), QStringLiteral("8"),
                                     QStringLiteral("--hash-passes"), QStringLiteral("1")}
                             + extraArgs);
    if (!m_process.waitForStarted()) {
        error = m_process.errorString();
        return false;
    }
    QByteArray out;
    while (!out.contains('\n') && m_process.waitForReadyRead(10000))
        out += m_process.readAllStandardOutput();
    const auto match = QRegularExpression(QStringLiteral("^listening on .*:(\\d+)")).match(QString::fromUtf8(out));
    if (!match.hasMatch()) {
        error = QString::fromUtf8(out + m_process.readAllStandardError());
        return false;
    }
    port = match.captured(1);
    if (extraArgs.contains(QStringLiteral("--tls-cert"))) {
        // Both "listening" lines and the fingerprint line.
        while (out.count('\n') < (extraArgs.contains(QStringLiteral("--tls-port")) ? 3 : 2)
               && m_process.waitForReadyRead(10000))
            out += m_process.readAllStandardOutput();
        const QString text = QString::fromUtf8(out);
        const auto tls = QRegularExpression(QStringLiteral("listening on .*:(\\d+) \\(TLS\\)")).match(text);
        const auto fp = QRegularExpression(QStringLiteral("fingerprint: ([0-9A-F:]+)")).match(text);
        if (!tls.hasMatch() || !fp.hasMatch()) {
            error = text + QString::fromUtf8(m_process.readAllStandardError());
            return false;
        }
        tlsPort = tls.captured(1);
        fingerprint = fp.captured(1);
    }
    return true;
}
