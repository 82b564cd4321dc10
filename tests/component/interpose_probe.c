/* A game with globals and a function that carry the library's internal names.
 * Were any of them exported, the dynamic linker would bind the library's own
 * references to these, and the call below would change or use them. */
#include "qorchat/qorchat.h"

#include <stdio.h>
#include <string.h>

short gblnHost = 7;
short gintStatus = 7;
short gintErrCode = 7;
int glngSockErr = 7;
char gblnRetry = 7;
char gblnSignedIn = 7;
char gblnTopmost = 7;
char gstrHostIP[64] = "the game's own";
char gstrGameName[64] = "the game's own";

static int g_sessionCalls;
/* SessionState &session() */
void *session_state(void) __asm__("_Z7sessionv");
void *session_state(void)
{
    static long long zeroed[256];
    ++g_sessionCalls;
    return zeroed;
}

static int g_saveCalls;
/* bool settings::SaveSetting(const QString &, const QString &, const QString &) */
int save_setting(void) __asm__("_ZN8settings11SaveSettingERK7QStringS2_S2_");
int save_setting(void)
{
    ++g_saveCalls;
    return 1;
}

int main(void)
{
    char address[QORCHAT_ADDRESS_BUFFER_SIZE] = "";
    size_t length = 0;
    const int r = qorchat_execute("g", 0, address, sizeof address, &length);
    printf("result %d address %s outcome %d\n", r, address, qorchat_last_outcome());
    const int untouched = gblnHost == 7 && gintStatus == 7 && gintErrCode == 7 && glngSockErr == 7 && gblnRetry == 7
                          && gblnSignedIn == 7 && gblnTopmost == 7 && strcmp(gstrHostIP, "the game's own") == 0
                          && strcmp(gstrGameName, "the game's own") == 0 && g_saveCalls == 0 && g_sessionCalls == 0;
    if (!untouched)
        printf("the library used the game's globals (SaveSetting calls: %d, session calls: %d)\n", g_saveCalls,
               g_sessionCalls);
    return r == QORCHAT_OK && untouched ? 0 : 1;
}
