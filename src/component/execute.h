#pragma once
#include <QString>

namespace component {
// The outer loop of Execute, on a running application. host is the caller's
// 16-bit Boolean. Returns a qorchat_result.
int execute(const QString &gameName, qint16 host, QString &strIp);
// The trimmed address of the last call.
QString lastAddress();
} // namespace component
