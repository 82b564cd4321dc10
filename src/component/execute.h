#pragma once
#include "session/sessionState.h"

#include <QString>

namespace component {
// The outer loop of Execute, on a running application. host is the caller's
// 16-bit Boolean. Returns a qorchat_result; *end (when given) tells how the
// lobby's last pass ended.
int execute(const QString &gameName, qint16 host, QString &strIp, LobbyEnd *end = nullptr);
// Any thread: asks the running call to close its lobby as the user's Exit would.
// Returns QORCHAT_OK, or QORCHAT_E_NOT_RUNNING when no call runs.
int cancel();
// The trimmed address of the last call.
QString lastAddress();
} // namespace component
