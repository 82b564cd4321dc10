/* QorChat: game-lobby client component, C++ interface (needs Qt 6 Core).
 * Threads, display, server choice and outcomes are as described in qorchat.h. */
#ifndef QORCHAT_QORCHAT_HPP
#define QORCHAT_QORCHAT_HPP

#include "qorchat/qorchat.h"

#include <QString>

class QORCHAT_EXPORT QorChat {
public:
    /* gameName and host are the caller's (host: -1 hosts, anything else joins);
     * strIp receives the trimmed address, empty unless a match started for a
     * joining player. Returns a qorchat_result; on QORCHAT_E_NO_DISPLAY strIp is
     * empty. */
    int Execute(QString &gameName, int16_t &host, QString &strIp);
    int Execute(const QString &gameName, bool host, QString &strIp);

    /* A qorchat_outcome: what the last finished Execute came to. */
    static int LastOutcome();

    /* As qorchat_set_server: an empty host forgets the choice, port 0 is 2300. */
    static int SetServer(const QString &host, int port);

    /* As qorchat_cancel: any thread; the running Execute returns soon after, the
     * outcome QORCHAT_OUTCOME_USER_LEFT. QORCHAT_OK or QORCHAT_E_NOT_RUNNING. */
    static int Cancel();

    /* As qorchat_result_string and qorchat_outcome_string. */
    static QString ResultString(int result);
    static QString OutcomeString(int outcome);
};

#endif
