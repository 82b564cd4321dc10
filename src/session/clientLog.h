#pragma once
// The client's log: the connection, lines that broke the protocol, dropped lines,
// waits that timed out. Off by default, since a game owns its process's output;
// QT_LOGGING_RULES="qorchat.client.debug=true" (or .info / .warning) turns it on.
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcClient)
