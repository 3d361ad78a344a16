#pragma once

#include <QString>

namespace quorrel {

// The values the launcher keeps in its settings key.
inline const QString kClearWdbSetting = QStringLiteral("ClearWDB");
inline const QString kWowPathSetting = QStringLiteral("WoWPath");
// Only read: the player's cap on the download speed, in KiB/s.
inline const QString kSpeedLimitSetting = QStringLiteral("SpeedLimit");

}  // namespace quorrel
