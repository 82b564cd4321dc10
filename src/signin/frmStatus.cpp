#include "frmStatus.h"

#include "session/lobbyModule.h"

#include <QTimer>

frmStatus::frmStatus()
{
    setWindowTitle(QStringLiteral("ステータス"));
}

void frmStatus::Form_Load()
{
    mblnActivated = false;
}

void frmStatus::showEvent(QShowEvent *event)
{
    Form::showEvent(event);
    if (mblnActivated)
        return;
    mblnActivated = true;
    QTimer::singleShot(0, this, [] {
        gblnSignedIn = false;
        Forms::unload<frmStatus>();
    });
}
