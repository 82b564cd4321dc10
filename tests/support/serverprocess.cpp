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

bool ServerProcess::start(const QString &exe)
{
    // Small password hashes keep the sanitizer build quick.
    m_process.start(exe, {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"), QStringLiteral(":memory:"),
                          QStringLiteral("--hash-memory"), QStringLiteral("8"), QStringLiteral("--hash-passes"), QStringLiteral("1")});
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
    return true;
}
