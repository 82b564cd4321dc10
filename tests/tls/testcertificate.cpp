#include "testcertificate.h"

#include <QProcess>

QString TestCertificate::openssl(const QStringList &args)
{
    QProcess p;
    p.setWorkingDirectory(m_dir.path());
    p.start(QStringLiteral("openssl"), args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        error = QStringLiteral("openssl %1: %2 %3")
                    .arg(args.join(u' '), p.errorString(), QString::fromLocal8Bit(p.readAllStandardError()));
        return QString();
    }
    const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
    return out.isNull() ? QStringLiteral("") : out; // empty but not null: success
}

bool TestCertificate::make(const QString &keyType, const QString &name)
{
    certFile = path(keyType + QStringLiteral("-cert.pem"));
    keyFile = path(keyType + QStringLiteral("-key.pem"));
    QStringList key = keyType == QLatin1String("rsa")
                          ? QStringList{QStringLiteral("-newkey"), QStringLiteral("rsa:2048")}
                          : QStringList{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                                        QStringLiteral("ec_paramgen_curve:prime256v1")};
    if (openssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + key
                + QStringList{QStringLiteral("-nodes"), QStringLiteral("-keyout"), keyFile, QStringLiteral("-out"),
                              certFile, QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                              QStringLiteral("/CN=") + name, QStringLiteral("-addext"),
                              QStringLiteral("subjectAltName=DNS:") + name
                                  + (name == QLatin1String("localhost") ? QStringLiteral(",IP:127.0.0.1") : QString())})
            .isNull())
        return false;
    const QString out = openssl({QStringLiteral("x509"), QStringLiteral("-noout"), QStringLiteral("-fingerprint"),
                                 QStringLiteral("-sha256"), QStringLiteral("-in"), certFile});
    const qsizetype eq = out.indexOf(u'=');
    if (eq < 0) {
        error += QStringLiteral("no fingerprint in: ") + out;
        return false;
    }
    fingerprint = out.mid(eq + 1).trimmed();
    const QList<QSslCertificate> certs = QSslCertificate::fromPath(certFile);
    if (certs.isEmpty()) {
        error = QStringLiteral("Qt cannot read ") + certFile;
        return false;
    }
    certificate = certs.first();
    return true;
}
