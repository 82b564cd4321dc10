#include "clientLog.h"

Q_LOGGING_CATEGORY(lcClient, "qorchat.client", QtCriticalMsg)
