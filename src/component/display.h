#pragma once
// Whether a Qt GUI can start in this process, decided before any GUI object
// exists: Qt aborts the process when its platform plugin cannot start.
#include <QByteArray>

#include <functional>
#include <optional>

namespace component {

struct DisplayProbe {
    std::function<QByteArray(const char *name)> env;
    // A connection to the X server of DISPLAY / the compositor of WAYLAND_DISPLAY
    // succeeds (authentication included).
    std::function<bool()> x11;
    std::function<bool()> wayland;
    // Qt has a platform plugin of that name ("xcb", "offscreen", "wayland-egl").
    std::function<bool(const QByteArray &name)> plugin;
};

// The probe of this process: its environment, real connections, Qt's plugin folders.
DisplayProbe systemDisplayProbe();

// The platform to name to Qt ("" leaves the choice to Qt, which then has a
// usable one), or nullopt when no GUI can start.
std::optional<QByteArray> guiPlatform(const DisplayProbe &probe);

// A display can pass the probe and then refuse Qt's own connection (a busy
// server, a client limit); Qt would abort then. So Qt is given a list: the chosen
// platform, then a fallback that needs no display server. Qt ends up on the
// fallback only when the display was lost in between.
struct PlatformStart {
    QByteArray platforms; // for -platform ("" leaves it to Qt)
    QByteArray fallback;  // "" when there is none
};
PlatformStart platformStart(const QByteArray &chosen, const DisplayProbe &probe);

} // namespace component
