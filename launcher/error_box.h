#pragma once

#include <QString>

namespace quorrel {

// The title of the application's boxes: the executable's file name up to its
// first dot, the first character kept and the rest in lower case.
QString applicationTitle(const QString& executableFileName);

// The error's message as the error box shows it: a full stop is added when
// the last character's code lies above that of the full stop.
QString errorBoxText(const QString& message);

}  // namespace quorrel
