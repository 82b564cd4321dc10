#pragma once
// The per-user settings store of application "vantelis": sections of string keys
// kept in $XDG_CONFIG_HOME/vantelis/settings.ini. Other tools read and write that
// file, so its format is fixed (see docs/settings.md).
#include <QString>

namespace settings {

// The value, or "" when the key, the section or the file is missing or unreadable.
QString GetSetting(const QString &section, const QString &key);
// Returns false when the file could not be written; the store is then unchanged.
bool SaveSetting(const QString &section, const QString &key, const QString &value);
// Removes the section and all its keys; other sections (also "chat\x" beside "chat")
// stay as they are.
bool DeleteSetting(const QString &section);

// Where the file lives now (follows XDG_CONFIG_HOME at each call).
QString filePath();

} // namespace settings
