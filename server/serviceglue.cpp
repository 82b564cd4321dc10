#include "serviceglue.h"

#include <QFile>

#include <sys/stat.h>

#ifdef QORCHAT_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace serviceglue {

std::optional<QStringList> configArguments(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    QStringList out;
    int number = 0;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        ++number;
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const qsizetype eq = line.indexOf(u'=');
        const QString name = (eq < 0 ? line : line.left(eq)).trimmed();
        if (name.isEmpty() || name.startsWith(u'-') || name == QLatin1String("config")) {
            *error = QStringLiteral("%1:%2: expected name = value").arg(path).arg(number);
            return std::nullopt;
        }
        out << QStringLiteral("--") + name;
        if (eq >= 0)
            out << line.mid(eq + 1).trimmed();
    }
    return out;
}

QString configPath(const QStringList &args)
{
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--"))
            break;
        if ((args[i] == QLatin1String("--config") || args[i] == QLatin1String("-config")) && i + 1 < args.size())
            return args[i + 1];
        if (args[i].startsWith(QLatin1String("--config=")))
            return args[i].mid(9);
    }
    return QString();
}

bool stderrIsJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const qsizetype colon = stream.indexOf(':');
    if (colon < 0)
        return false;
    struct stat st {};
    if (::fstat(2, &st) != 0)
        return false;
    bool okDev = false, okIno = false;
    const qulonglong dev = stream.left(colon).toULongLong(&okDev);
    const qulonglong ino = stream.mid(colon + 1).toULongLong(&okIno);
    return okDev && okIno && dev == qulonglong(st.st_dev) && ino == qulonglong(st.st_ino);
}

void notify(const char *state)
{
#ifdef QORCHAT_HAVE_SYSTEMD
    ::sd_notify(0, state);
#else
    Q_UNUSED(state);
#endif
}

} // namespace serviceglue
