// The remembered settings: the cache-clearing choice, the game folder and
// the speed cap.
#include <QDir>
#include <limits>

#include "form1.h"
#include "settings_names.h"

namespace quorrel {

void TForm1::applyStoredSettings() {
  const std::unique_ptr<SettingsKey> key = platform_.settings.openKey();
  if (!key) return;
  const QString clearWdb = key->readString(kClearWdbSetting);
  if (clearWdb.isEmpty())
    key->writeString(kClearWdbSetting, QStringLiteral("1"));
  else
    clear_wdb_checkbox->setChecked(clearWdb == QStringLiteral("1"));  // a change writes "0"
  const QString storedFolder = key->readString(kWowPathSetting);
  if (!storedFolder.isEmpty()) {
    wow_path = storedFolder + QDir::separator();
    WoWFolderCheck();
  }
}

void TForm1::clear_wdb_checkboxClick(QObject*) {
  const bool checked = clear_wdb_checkbox->isChecked();
  const std::unique_ptr<SettingsKey> key = platform_.settings.openKey();
  if (!key) return;
  key->writeString(kClearWdbSetting, checked ? QStringLiteral("1") : QStringLiteral("0"));
}

// Written by the player into the settings file, so anything may stand there:
// what is no whole number of KiB/s leaves the speed uncapped, and the log
// says why.
int32_t TForm1::storedSpeedLimit() {
  const std::unique_ptr<SettingsKey> key = platform_.settings.openKey();
  if (!key) return 0;
  const QString stored = key->readString(kSpeedLimitSetting).trimmed();
  if (stored.isEmpty()) return 0;
  bool isNumber = false;
  const qlonglong limit = stored.toLongLong(&isNumber);
  if (!isNumber || limit < 0) {
    logLine(QStringLiteral("The %1 setting \"%2\" is no number of KiB/s; the speed is not capped")
                .arg(kSpeedLimitSetting, stored));
    return 0;
  }
  return static_cast<int32_t>(std::min<qlonglong>(limit, std::numeric_limits<int32_t>::max()));
}

}  // namespace quorrel
