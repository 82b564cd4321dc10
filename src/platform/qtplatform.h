#pragma once
#include <QString>

// The production implementations of the desktop seams, on Qt Widgets.
namespace platform {
// Installs the Qt implementations for every seam that has none yet.
// Also loads Qt's Japanese catalogue once (see installQtTranslation).
void installQtPlatform();
// Loads Qt's own Japanese texts (standard buttons, edit menus) from directory,
// Qt's translations folder when null. Returns false when the catalogue is missing;
// message boxes then set their button captions themselves.
bool installQtTranslation(const QString &directory = QString());
} // namespace platform
