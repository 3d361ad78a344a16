#pragma once

#include <QByteArray>
#include <QString>

// The files of the launcher's self-update, all relative to the current folder.
namespace quorrel {

#ifdef Q_OS_WIN
inline const QString kExecutableSuffix = QStringLiteral(".exe");
#else
inline const QString kExecutableSuffix;
#endif

// Both relative to the current folder, wherever the running program lies.
inline const QString kMainExecutable = QStringLiteral("QuorrelLauncher") + kExecutableSuffix;
inline const QString kUpdateFile = QStringLiteral("quorrel_launcher") + kExecutableSuffix;

// The program's path with every "<current folder>/" deleted, the search
// ignoring letter case: its bare file name when it lies in the current folder.
QString ownProgramName(const QString& executablePath);

void makeExecutable(const QString& file);

// Copies `updateFile` beside `mainExecutable` under a temporary name and
// renames it over, so the main executable is at every moment one whole
// build. Whether it did: a failure leaves the old build in place.
bool replaceMainExecutable(const QString& updateFile, const QString& mainExecutable);

// The whole content of `file`; Exception when it cannot be read.
QByteArray contentOf(const QString& file);

}  // namespace quorrel
