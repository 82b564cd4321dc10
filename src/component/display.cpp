#include "display.h"

#include <QDir>
#include <QLibraryInfo>

#include <dlfcn.h>

namespace component {
namespace {

// Asks the client libraries the platform plugins use, loaded only for the question.
bool x11Connects()
{
    if (qgetenv("DISPLAY").isEmpty())
        return false;
    void *lib = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!lib)
        return false;
    using Connect = void *(*)(const char *, int *);
    using HasError = int (*)(void *);
    using Disconnect = void (*)(void *);
    auto connect = reinterpret_cast<Connect>(::dlsym(lib, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(::dlsym(lib, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(::dlsym(lib, "xcb_disconnect"));
    bool ok = false;
    if (connect && hasError && disconnect) {
        // A failed connection is an error object that must be freed too.
        void *c = connect(nullptr, nullptr);
        ok = c && hasError(c) == 0;
        if (c)
            disconnect(c);
    }
    ::dlclose(lib);
    return ok;
}

bool waylandConnects()
{
    if (qgetenv("WAYLAND_DISPLAY").isEmpty())
        return false;
    void *lib = ::dlopen("libwayland-client.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!lib)
        return false;
    using Connect = void *(*)(const char *);
    using Disconnect = void (*)(void *);
    auto connect = reinterpret_cast<Connect>(::dlsym(lib, "wl_display_connect"));
    auto disconnect = reinterpret_cast<Disconnect>(::dlsym(lib, "wl_display_disconnect"));
    bool ok = false;
    if (connect && disconnect) {
        if (void *d = connect(nullptr)) {
            ok = true;
            disconnect(d);
        }
    }
    ::dlclose(lib);
    return ok;
}

bool pluginPresent(const QByteArray &name)
{
    QStringList dirs;
    for (const QString &d : qEnvironmentVariable("QT_PLUGIN_PATH").split(u':', Qt::SkipEmptyParts))
        dirs.append(d);
    dirs.append(QLibraryInfo::path(QLibraryInfo::PluginsPath));
    // "wayland" is served by libqwayland-generic.so, "xcb" by libqxcb.so.
    const QString pattern = QStringLiteral("libq") + QString::fromLatin1(name) + QStringLiteral("*.so");
    for (const QString &d : dirs) {
        if (!QDir(d + QStringLiteral("/platforms")).entryList({pattern}, QDir::Files).isEmpty())
            return true;
    }
    return false;
}

bool usable(const DisplayProbe &probe, const QByteArray &spec)
{
    // "name:option=value,..." names the plugin before the colon.
    const qsizetype colon = spec.indexOf(':');
    const QByteArray name = (colon < 0 ? spec : spec.first(colon)).trimmed();
    if (name.isEmpty() || !probe.plugin(name))
        return false;
    if (name == "xcb")
        return probe.x11();
    if (name.startsWith("wayland"))
        return probe.wayland();
    return true; // offscreen, minimal, vnc, eglfs, linuxfb...: no session to reach
}

} // namespace

DisplayProbe systemDisplayProbe()
{
    return {[](const char *name) { return qgetenv(name); }, x11Connects, waylandConnects, pluginPresent};
}

std::optional<QByteArray> guiPlatform(const DisplayProbe &probe)
{
    const QByteArray requested = probe.env("QT_QPA_PLATFORM").trimmed();
    if (!requested.isEmpty()) {
        // Qt tries a list in order; name the first that can start here.
        for (const QByteArray &spec : requested.split(';'))
            if (usable(probe, spec.trimmed()))
                return spec.trimmed();
        return std::nullopt;
    }
    const bool x11 = probe.plugin("xcb") && probe.x11();
    const bool wayland = probe.plugin("wayland") && probe.wayland();
    if (x11 && wayland)
        return QByteArray(); // Qt picks the session's own
    if (x11)
        return QByteArrayLiteral("xcb");
    if (wayland)
        return QByteArrayLiteral("wayland");
    return std::nullopt;
}

PlatformStart platformStart(const QByteArray &chosen, const DisplayProbe &probe)
{
    QByteArray list = chosen;
    if (list.isEmpty()) {
        // Both are there: the session's own first, as Qt itself would choose.
        list = probe.env("XDG_SESSION_TYPE") == "wayland" ? QByteArrayLiteral("wayland;xcb") : QByteArrayLiteral("xcb;wayland");
    }
    const QByteArray name = list.split(';').constFirst().split(':').constFirst().trimmed();
    if (name != "xcb" && !name.startsWith("wayland"))
        return {chosen, QByteArray()};
    for (const char *fallback : {"minimal", "offscreen"})
        if (probe.plugin(fallback))
            return {list + ';' + fallback, fallback};
    return {chosen, QByteArray()};
}

} // namespace component
