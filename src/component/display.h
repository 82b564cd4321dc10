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

} // namespace component
