#pragma once
// The reference lobby server as a child process: a free loopback port and a
// database that keeps nothing. Stopped when the object goes.
#include <QProcess>
#include <QString>

class ServerProcess {
public:
    ~ServerProcess();
    // Starts exe and waits for it to listen; false with the reason in error.
    bool start(const QString &exe, const QStringList &extraArgs = {});
    QString port;
    // With --tls-cert: the TLS port (the same as port without --tls-port) and the
    // fingerprint the server prints.
    QString tlsPort;
    QString fingerprint;
    QString error;

private:
    QProcess m_process;
};
