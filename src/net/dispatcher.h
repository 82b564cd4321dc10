#pragma once
// Turns each server line into its effects. The only code that does.
#include <QString>

class frmCom;

namespace dispatcher {
// Handles one decoded line. Returns false when the rest of the lines that arrived
// with it must not be read (the match has started).
bool dispatchLine(frmCom &com, const QString &line);
} // namespace dispatcher
