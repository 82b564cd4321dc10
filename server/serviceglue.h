#pragma once
// What running as a service needs: options from a configuration file, the
// journal's log format, and readiness notices to systemd.
#include <QString>
#include <QStringList>

#include <optional>

namespace serviceglue {

// The options of a configuration file as command-line arguments: each line
// "name = value" (a long option without its dashes) or "name" alone; "#" starts a
// comment line. nullopt with the reason (file and line) in error.
std::optional<QStringList> configArguments(const QString &path, QString *error);
// The value of --config in args ("--config FILE" or "--config=FILE"), or empty.
QString configPath(const QStringList &args);
// Whether standard error is the journal's stream (systemd sets JOURNAL_STREAM).
bool stderrIsJournal();
// sd_notify(3) when built with libsystemd and run under systemd; else nothing.
void notify(const char *state);

} // namespace serviceglue
