#include "frmMain.h"

#include "session/lobbyModule.h"

frmMain::frmMain()
{
    setWindowTitle(QStringLiteral("QorChat"));
}

void frmMain::Form_Load()
{
    m().blnDisplayDbgMessage = false;
    lobbyModule::setTopmost(this);
}
