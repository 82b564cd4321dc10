#pragma once
// The production implementations of the desktop seams, on Qt Widgets.
namespace platform {
// Installs the Qt implementations for every seam that has none yet.
void installQtPlatform();
} // namespace platform
