// The help menu's two dialogs: the server access chart and the about box.
#include "frmMain.h"

#include "about/frmAbout.h"
#include "session/seams.h"
#include "stats/dlgChart.h"

void frmMain::mnuAccess_Click()
{
    // The chart's first fetch runs right after it loads, with this window still live; a
    // second click then must not start another dialog on top of it.
    if (Forms::ifLoaded<dlgChart>())
        return;
    dlgChart *chart = Forms::get<dlgChart>();
    chart->fetchFirstView();
    // The fetch waited: the line may have dropped, or this window closed, meanwhile.
    if (!Forms::isCurrent(chart))
        return;
    if (!Forms::isCurrent(this)) {
        Forms::unload<dlgChart>();
        return;
    }
    platform::modalRunner().run(chart);
    if (Forms::isCurrent(chart))
        Forms::unload<dlgChart>();
}

void frmMain::mnuVersion_Click()
{
    frmAbout *about = Forms::get<frmAbout>();
    platform::modalRunner().run(about);
    if (Forms::isCurrent(about))
        Forms::unload<frmAbout>();
}
