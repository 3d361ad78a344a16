// Play: points the client at the logon host, clears its cache and starts it.
#include "form1.h"
#include "platform/play_files.h"

namespace quorrel {

void TForm1::playClick(QObject*) {
  writeRealmList(wow_path + QStringLiteral("realmlist.wtf"),
                 QStringLiteral("set realmlist ") + config_.logonHost);
  if (clear_wdb_checkbox->isChecked()) clearCacheFolder(wow_path, wow_path + QStringLiteral("WDB"));
  platform_.shell.openFile(wow_path + QStringLiteral("WoW.exe"));
  platform_.application.requestQuit();
}

}  // namespace quorrel
