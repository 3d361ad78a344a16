#pragma once

#include <QFile>
#include <QString>

// The support log's file operations, which each system does in its own way
// (posix/ and win/): the log is never written through a link at its name,
// whoever put the link there.
namespace quorrel::log_file {

// The support log's place on this system: a per-user folder of data that
// stays on this machine.
QString defaultPath();

// Opens `path` in `file` to append to, creating it when missing and emptying
// it when `truncate`. A link at the name is replaced by a new, empty file,
// never written through (`replacedLink` tells that it was); anything else
// that is no plain file there (a folder, a pipe) is left alone and not
// opened. False, with the system's reason in `error`, when no file is open.
bool openForAppend(QFile& file, const QString& path, bool truncate, bool& replacedLink,
                   QString& error);

// Renames the file `from` to `to`, replacing a file or link there (never
// what a link leads to). False, with the system's reason in `error`, when it
// cannot.
bool replace(const QString& from, const QString& to, QString& error);

}  // namespace quorrel::log_file
