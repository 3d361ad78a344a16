#pragma once

#include <QString>

namespace quorrel {

// The two values the launcher keeps in its settings key.
inline const QString kClearWdbSetting = QStringLiteral("ClearWDB");
inline const QString kWowPathSetting = QStringLiteral("WoWPath");

}  // namespace quorrel
