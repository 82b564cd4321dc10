#pragma once
// The operators' log of the server: one category, one line per event.
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcServer)
