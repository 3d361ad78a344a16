#pragma once

#include <QString>
#include <QStringList>

#include "manifest.h"

// The files of the launcher's package besides its executable (the SFTP
// library, Qt and the other libraries, plugins), as the self-update replaces
// them, all relative to the current folder. A new file waits beside its place
// until every file of the release has arrived and been checked; then each is
// renamed into place, so that no file is ever half written, and the file it
// replaces is kept beside it until the next start. A running program may
// rename the libraries it has loaded on every system, but not overwrite them.
namespace quorrel::package_files {

inline const QString kNewSuffix = QStringLiteral(".quorrel-new");
inline const QString kOldSuffix = QStringLiteral(".quorrel-old");
// The paths replaced by the last hand-over, one per line.
inline const QString kJournal = QStringLiteral("quorrel_update.files");

// Whether `file` holds what `entry` names: its size and SHA-256.
bool matches(const QString& file, const manifest::Entry& entry);

// Renames each path's new file into place, keeping the one it replaces, and
// records the paths in the journal first. Exception when one cannot be
// placed: what was placed is put back then.
void placeNewFiles(const QStringList& paths);
// Puts back the files the journal names, in place of their new ones.
void restoreReplacedFiles();
// Removes the files the journal names as replaced, and the journal.
void removeReplacedFiles();
// Removes the new files of `paths` that wait beside their places.
void discardNewFiles(const QStringList& paths);

}  // namespace quorrel::package_files
