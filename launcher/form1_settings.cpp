// The two remembered settings: the cache-clearing choice and the game folder.
#include <QDir>

#include "form1.h"
#include "settings_names.h"

namespace quorrel {

namespace {}  // namespace

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

}  // namespace quorrel
