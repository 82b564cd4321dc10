#include "desktop.h"

#include "seams.h"
#include "sessionState.h"

#include <QUrl>

namespace lobbyModule {

bool openWebPage(const QString &url)
{
    return platform::browser().open(QUrl(url));
}

void setTopmost(QWidget *window)
{
    if (window)
        platform::windowOrder().setTopmost(window, session().gblnTopmost);
}

} // namespace lobbyModule
