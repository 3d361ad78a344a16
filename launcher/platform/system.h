#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

// What the launcher asks of the operating system itself. Each system has its
// own implementation folder beside this header (posix/, and win/ for Windows),
// and the build picks the one of the system it builds for.
namespace quorrel::system {

// The full path of the running program's file, as the system reports it now.
QString runningProgramPath();

// Calls `handler` from the message loop whenever the system asks the program
// to stop (a termination signal, on systems that have them).
void onTerminationRequest(std::function<void()> handler);

// How many bytes of a file's start isProgramForThisMachine() is given: enough for
// the headers of each system's format (a PE header lies some way in).
constexpr qsizetype kProgramHeaderBytes = 1024;

// Whether a file that starts with `head` is a program this machine can run:
// of this system's executable format, for this processor. An HTML page or a
// truncated file served as a launcher build is not.
bool isProgramForThisMachine(const QByteArray& head);

}  // namespace quorrel::system
