/* QorChat: game-lobby client component, C interface.
 *
 * This header needs no Qt headers and compiles as C and as C++. The C++ class is
 * in "qorchat/qorchat.hpp".
 *
 * qorchat_execute connects to the lobby server, signs the user in, shows the lobby
 * and returns when the lobby closes, with the address of the match's host when a
 * match started for a joining player. qorchat_last_outcome tells what happened.
 *
 * Threads. The first call of qorchat_execute creates the Qt application (a
 * QApplication) on the calling thread when the process has none; it is kept for
 * the life of the process, and every later call of qorchat_execute must come from
 * that same thread. In a program that already has a QApplication, call it from the
 * thread that runs that application (its GUI thread); the lobby's windows run in
 * nested event loops there. A program whose application object is only a
 * QGuiApplication or a QCoreApplication gets QORCHAT_E_NO_GUI: the lobby needs
 * widgets. qorchat_cancel, qorchat_set_server, qorchat_last_outcome,
 * qorchat_last_address, qorchat_result_string, qorchat_outcome_string and
 * qorchat_version may be called from any thread.
 *
 * Display. The lobby is a set of windows: it needs an X11 or Wayland display
 * (DISPLAY or WAYLAND_DISPLAY), or a Qt platform named in QT_QPA_PLATFORM that can
 * start here (for example "offscreen" in tests). Without one, qorchat_execute
 * returns QORCHAT_E_NO_DISPLAY at once; the host process is never aborted.
 *
 * The server. Highest first: qorchat_set_server, the environment variable
 * QORCHAT_SERVER=[tls://]HOST[:PORT] (an IPv6 literal in brackets: "[::1]:2300"), the
 * per-user settings file ($XDG_CONFIG_HOME/vantelis/settings.ini, section
 * [server], keys address and port), then localhost:2300. None of these writes
 * to the settings file.
 */
#ifndef QORCHAT_QORCHAT_H
#define QORCHAT_QORCHAT_H

#include <stddef.h>
#include <stdint.h>

#include "qorchat/qorchat_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the C interface. The numbers never change; new ones are appended. */
typedef enum qorchat_result {
    QORCHAT_OK = 0,
    QORCHAT_E_ARGUMENT = 1,      /* a required pointer is NULL, a text is not UTF-8, a value is out of range */
    QORCHAT_E_BUFFER = 2,        /* the address did not fit; see qorchat_last_address */
    QORCHAT_E_NO_GUI = 3,        /* the process has a Qt application object without widgets */
    QORCHAT_E_WRONG_THREAD = 4,  /* not called on the application's GUI thread */
    QORCHAT_E_BUSY = 5,          /* called again while a call is running */
    QORCHAT_E_INTERNAL = 6,      /* an unexpected failure inside the call */
    QORCHAT_E_NO_DISPLAY = 7,    /* no display to show the lobby on; nothing was shown */
    QORCHAT_E_NOT_RUNNING = 8    /* qorchat_cancel: no call of qorchat_execute is running */
} qorchat_result;

/* What the last finished call of qorchat_execute came to. The numbers never
 * change; new ones are appended. */
typedef enum qorchat_outcome {
    QORCHAT_OUTCOME_NONE = 0,               /* no call has finished, or the last one returned an
                                               error code other than QORCHAT_E_NO_DISPLAY */
    QORCHAT_OUTCOME_MATCH_STARTED = 1,      /* the match started: the address is the host's, or
                                               empty when the caller is the host */
    QORCHAT_OUTCOME_USER_LEFT = 2,          /* the user left: declined the terms, cancelled, chose
                                               Exit, or answered No when asked to reconnect */
    QORCHAT_OUTCOME_SIGN_IN_FAILED = 3,     /* the server refused the game, the host flag, the
                                               account or the login */
    QORCHAT_OUTCOME_SERVER_UNREACHABLE = 4, /* no connection to the server, or it was too busy */
    QORCHAT_OUTCOME_NO_DISPLAY = 5,         /* qorchat_execute returned QORCHAT_E_NO_DISPLAY */
    QORCHAT_OUTCOME_ADDRESS_UNKNOWN = 6     /* the match started, but the server sent no usable address
                                               of its host to this joining player: the address is
                                               empty; neither host nor join */
} qorchat_outcome;

/* The longest address qorchat_execute returns, in bytes without the NUL: a plain
 * IPv4 or IPv6 address in text form, without a scope id. */
#define QORCHAT_ADDRESS_MAX 45

/* The buffer size for an address: it holds any address the calls return, with
 * its NUL. (It was 256 before; a buffer of that size still does.) */
#define QORCHAT_ADDRESS_BUFFER_SIZE (QORCHAT_ADDRESS_MAX + 1)

/* Runs the lobby for game_name (UTF-8). host: -1 when the local player hosts the
 * match, 0 when joining (any value other than -1 counts as joining).
 * Blocks until the lobby closes; every window of the lobby is closed when it
 * returns, and its server connection too.
 * On QORCHAT_OK the address to connect to (possibly empty) is written to address
 * as a NUL-terminated string and its length, without the NUL, to *address_length
 * (when not NULL); qorchat_last_outcome tells why the lobby closed. The address is
 * empty unless the outcome is QORCHAT_OUTCOME_MATCH_STARTED for a joining player
 * (or an earlier call in the process left one: the address is not cleared between
 * calls). On QORCHAT_E_BUFFER the address was cut to fit and *address_length
 * holds the full length. Thread: see the top of this file. */
QORCHAT_EXPORT int qorchat_execute(const char *game_name, int16_t host, char *address, size_t address_size,
                                   size_t *address_length);

/* The address the last call returned, for a caller whose buffer was too small. */
QORCHAT_EXPORT int qorchat_last_address(char *address, size_t address_size, size_t *address_length);

/* A qorchat_outcome: what the last finished call of qorchat_execute came to. */
QORCHAT_EXPORT int qorchat_last_outcome(void);

/* Closes the running lobby as if the user had chosen Exit (or Cancel while
 * signing in), for example because the game's own window closed: the running
 * qorchat_execute returns QORCHAT_OK soon after, with QORCHAT_OUTCOME_USER_LEFT
 * (QORCHAT_OUTCOME_MATCH_STARTED when the match started first). Any thread; it
 * returns at once, the lobby closes on its own thread. Returns QORCHAT_OK, or
 * QORCHAT_E_NOT_RUNNING when no call is running (nothing is kept for a later
 * call). */
QORCHAT_EXPORT int qorchat_cancel(void);

/* Short English texts for logs, never NULL, static: what a qorchat_result or a
 * qorchat_outcome number means ("unknown result" or "unknown outcome" for a
 * number this library does not know). Not meant to be shown to players. */
QORCHAT_EXPORT const char *qorchat_result_string(int result);
QORCHAT_EXPORT const char *qorchat_outcome_string(int outcome);

/* Chooses the lobby server for this process, above QORCHAT_SERVER and the
 * settings file, without writing anything. host: a host name or an IP address
 * (UTF-8; an IPv6 address with or without brackets); port: 1 to 65535, or 0 for
 * the default port 2300. A "tls://" before the host (any case) encrypts the line,
 * checking the server against the system's certificate authorities. host NULL
 * or "" forgets an earlier choice. Returns
 * QORCHAT_OK or QORCHAT_E_ARGUMENT (nothing changed). A call made while the lobby
 * runs counts from its next connection. */
QORCHAT_EXPORT int qorchat_set_server(const char *host, int port);

/* "MAJOR.MINOR.PATCH" of the library. */
QORCHAT_EXPORT const char *qorchat_version(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif
