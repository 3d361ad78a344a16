#pragma once

#include <QByteArray>

namespace quorrel {

// How many bytes of a file's start isProgramForThisMachine() looks at.
constexpr qsizetype kProgramHeaderBytes = 64;

// Whether a file that starts with `head` is a program this machine can run:
// of this system's executable format, for this processor. An HTML page or a
// truncated file served as a launcher build is not.
bool isProgramForThisMachine(const QByteArray& head);

}  // namespace quorrel
