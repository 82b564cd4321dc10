#include "serverlog.h"

Q_LOGGING_CATEGORY(lcServer, "qorchat.server", QtInfoMsg)
