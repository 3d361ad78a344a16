#pragma once

#include <QColor>

namespace quorrel {

// The colours the window sets at run time.
inline const QColor kWhite(255, 255, 255);      // instructions and progress; links at rest
inline const QColor kRed(255, 0, 0);            // failures on the status line
inline const QColor kYellow(255, 255, 0);       // the hint below the status line
inline const QColor kHoverGold(225, 196, 146);  // a link under the mouse

}  // namespace quorrel
