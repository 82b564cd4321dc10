#pragma once
// The per-user settings store of application "vantelis": sections of string keys
// kept in $XDG_CONFIG_HOME/vantelis/settings.ini. Other tools read and write that
// file, so its format is fixed (see docs/settings.md).
#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>

namespace settings {

using Values = QList<std::pair<QString, QString>>;

// The value, or "" when the key, the section or the file is missing or unreadable.
// The file is parsed once and read again only when it changed on disk.
QString GetSetting(const QString &section, const QString &key);
// Returns false when the file could not be written; the store is then unchanged.
// A writer waits its turn behind other processes for up to a minute.
bool SaveSetting(const QString &section, const QString &key, const QString &value);
// Several keys of one section in one write: all of them are stored, or none.
bool SaveSettings(const QString &section, const Values &values);
// Removes the section and all its keys; other sections (also "chat\x" beside "chat")
// stay as they are.
bool DeleteSetting(const QString &section);
// The section holds exactly these keys afterwards: a delete and a save in one write.
bool ReplaceSection(const QString &section, const Values &values);

// A value the server caused (it sends it again when it is lost): kept in memory and
// written with the next write, at the latest a quarter second later from the event
// loop, so that a flood of such lines costs a few writes, never one per line.
// Later values of a key win; reads see the kept values at once.
void saveSoon(const QString &section, const Values &values);
// Writes now what saveSoon keeps (the match starts, the game takes over). False
// when the write failed; the values are then dropped.
bool flushSoon();
// Writes of the file this process made (for tools and tests).
qsizetype writeCount();

// The largest settings file that is read. A bigger one reads as empty and is never
// written over, as a file that cannot be read.
constexpr qint64 kMaxFileBytes = 1024 * 1024;

// Tells the user that what (for example "アカウント情報") could not be stored.
void tellNotSaved(const QString &what);

// Where the file lives now (follows XDG_CONFIG_HOME at each call).
QString filePath();

// The parser on its own, for tools and tests: the value of section/key in the text
// of a settings file, or "" when it has none.
QString valueIn(const QByteArray &fileText, const QString &section, const QString &key);
// The text after a write of values into section (replace: the section's other keys
// go), as the store would write it. Comments and lines it does not know stay.
QByteArray writtenText(const QByteArray &fileText, const QString &section, const Values &values, bool replace);

} // namespace settings
