#pragma once
// What the windows ask of the desktop: the browser and the window order.
#include <QString>

class QWidget;

namespace lobbyModule {

// Opens url in the user's browser; false when that failed (the caller tells the user).
bool openWebPage(const QString &url);

// Always-on-top while gblnTopmost is set; the window keeps its place and size.
void setTopmost(QWidget *window);

} // namespace lobbyModule
