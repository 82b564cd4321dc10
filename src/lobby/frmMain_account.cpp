// The stored account and the first-use path arrive with the sign-in work; until
// then no account is ever ready.
#include "frmMain.h"

bool frmMain::initUser()
{
    return loadUser();
}

bool frmMain::loadUser()
{
    return false;
}
