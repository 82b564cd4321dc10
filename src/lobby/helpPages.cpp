#include "helpPages.h"

#include "session/settingkeys.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <dlfcn.h>

namespace helpPages {
namespace {

QString folderHolding(const QString &dir)
{
    return !dir.isEmpty() && QFileInfo::exists(dir + QStringLiteral("/lobby.html")) ? QDir::cleanPath(dir) : QString();
}

// A base without its trailing slashes; the local pages as a file: URL when unset.
QString base()
{
    QString b = settings::get(settings::key::serverHelp).trimmed();
    while (b.endsWith(u'/'))
        b.chop(1);
    if (!b.isEmpty())
        return b;
    const QString local = localFolder();
    return QUrl::fromLocalFile(local.isEmpty() ? QStringLiteral(QORCHAT_HELP_SOURCE_DIR) : local).toString();
}

bool isLocal(const QString &b) { return QUrl(b).isLocalFile(); }

} // namespace

QString localFolder()
{
    // Installed: beside the library, at the same place relative to it as at install time.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&localFolder), &info) && info.dli_fname) {
        const QString libDir = QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absolutePath();
        if (QString f = folderHolding(libDir + QStringLiteral("/" QORCHAT_HELP_FROM_LIBDIR)); !f.isEmpty())
            return f;
    }
    // Run from a build tree: the pages of the source tree.
    return folderHolding(QStringLiteral(QORCHAT_HELP_SOURCE_DIR));
}

QString gamePage(int gameId)
{
    const QString b = base();
    if (isLocal(b))
        return b + QStringLiteral("/online.html");
    return b + QStringLiteral("/online/") + QString::number(gameId) + u'/';
}

QString lobbyPage()
{
    const QString b = base();
    return b + (isLocal(b) ? QStringLiteral("/lobby.html") : QStringLiteral("/lobby/"));
}

} // namespace helpPages
