#pragma once
// A throw-away self-signed certificate (for "localhost" and 127.0.0.1 unless
// another name is given), made with the openssl command into a temporary folder
// that lives as long as the object.
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class TestCertificate {
public:
    // "ec" (P-256) or "rsa" (2048 bits). False with the reason in error.
    bool make(const QString &keyType = QStringLiteral("ec"), const QString &name = QStringLiteral("localhost"));
    QString certFile;
    QString keyFile;
    QSslCertificate certificate;
    QString fingerprint; // "AB:CD:...", as openssl prints it
    QString error;

    // Runs openssl with these arguments in the folder; its stdout, or a null
    // string (and error set) when it failed.
    QString openssl(const QStringList &args);
    QString path(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
};
