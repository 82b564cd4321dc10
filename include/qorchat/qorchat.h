/* QorChat: game-lobby client component.
 *
 * A game calls Execute (C++) or qorchat_execute (C) on its user-interface thread.
 * The call connects to the lobby server, signs the user in, shows the lobby and
 * returns when the lobby closes, with the address of the match's host when a match
 * started for a joining player.
 */
#ifndef QORCHAT_QORCHAT_H
#define QORCHAT_QORCHAT_H

#include <stddef.h>
#include <stdint.h>

#include "qorchat/qorchat_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the C interface. The numbers never change. */
typedef enum qorchat_result {
    QORCHAT_OK = 0,
    QORCHAT_E_ARGUMENT = 1,      /* a required pointer is NULL or the name is not UTF-8 */
    QORCHAT_E_BUFFER = 2,        /* the address did not fit; see qorchat_last_address */
    QORCHAT_E_NO_GUI = 3,        /* the process has a non-GUI Qt application object */
    QORCHAT_E_WRONG_THREAD = 4,  /* not called on the application's GUI thread */
    QORCHAT_E_BUSY = 5,          /* called again while a call is running */
    QORCHAT_E_INTERNAL = 6       /* an unexpected failure inside the call */
} qorchat_result;

/* A buffer of this many bytes holds any address the call can return. */
#define QORCHAT_ADDRESS_BUFFER_SIZE 256

/* Runs the lobby for game_name (UTF-8). host: -1 when the local player hosts the
 * match, 0 when joining (any value other than -1 counts as joining).
 * On QORCHAT_OK the host's address (possibly empty) is written to address as a
 * NUL-terminated string and its length, without the NUL, to *address_length (when
 * not NULL). On QORCHAT_E_BUFFER the address was cut to fit and *address_length
 * holds the full length. */
QORCHAT_EXPORT int qorchat_execute(const char *game_name, int16_t host, char *address, size_t address_size,
                                   size_t *address_length);

/* The address the last call returned, for a caller whose buffer was too small. */
QORCHAT_EXPORT int qorchat_last_address(char *address, size_t address_size, size_t *address_length);

/* "MAJOR.MINOR.PATCH" of the library. */
QORCHAT_EXPORT const char *qorchat_version(void);

#ifdef __cplusplus
} /* extern "C" */

#include <QString>

class QORCHAT_EXPORT QorChat {
public:
    /* gameName and host are the caller's; strIp receives the trimmed address.
     * Returns a qorchat_result. */
    int Execute(QString &gameName, int16_t &host, QString &strIp);
    int Execute(const QString &gameName, bool host, QString &strIp);
};
#endif

#endif
