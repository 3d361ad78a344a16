// Start-up, the check of the game folder and the two ways to choose another.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "colours.h"
#include "form1.h"
#include "game_folder.h"
#include "settings_names.h"

namespace quorrel {

namespace {

const QString kSeparator = QDir::separator();

// A root keeps its separator: "C:" without it is not the drive's root but its current folder.
QString withoutTrailingSeparator(QString folder) {
  while (folder.size() > 1 && folder.endsWith(kSeparator) &&
         !(QDir(folder).isRoot() && !QDir(folder.chopped(1)).isRoot()))
    folder.chop(1);
  return folder;
}

}  // namespace

void TForm1::create() {
  guarded([this] { FormCreate(this); });
  if (!isVisible()) showCentred();
}

void TForm1::FormCreate(QObject*) {
  setWindowTitle(QStringLiteral("QuorrelLauncher v") + kVersion);
  versioninfo->setCaption(
      QStringLiteral("Quorrel Launcher v%1 | %2").arg(kVersion, config_.projectUrl));
  checkForLauncherUpdate();
  showCentred();
  download_total = kInitialDownloadTotal;
  downloaded_bytes = 0;
  customProgressBar(0);
  wow_path.clear();
  play->setEnabled(false);
  remote_root = QStringLiteral("/upload");
  applyStoredSettings();
  if (wow_path.isEmpty()) chooseFolderWithBrowser();
}

// A failure on the status line goes to the support log too, after its cause.
void TForm1::setStatus(const QColor& color, const QString& text) {
  const bool news = connstatus->fontColor() != color || connstatus->text() != text;
  connstatus->setFontColor(color);
  connstatus->setCaption(text);
  if (color == kRed && news) platform_.log.write(QStringLiteral("Status: ") + text);
}

void TForm1::WoWFolderCheck() {
  // QFileInfo follows a link to its target; a folder named WoW.exe is no game.
  if (QFileInfo(wow_path + QStringLiteral("WoW.exe")).isFile()) {
    if (!updateTimer->isActive()) updateTimer->start();
    showPlay(false);  // enabled once the patch update ends, whatever its end
    connstatus->setCursor(Qt::ArrowCursor);
  } else {
    play->setEnabled(false);  // no game to start
    install->show();
    install->raise();
    install->setEnabled(true);
    connstatus->setCursor(Qt::PointingHandCursor);
    if (QFileInfo(wow_path).isDir() && isProtectedFolder(wow_path)) {
      showProtectedFolderStatus();
      install->setEnabled(false);
    } else if (QFileInfo(wow_path).isDir()) {
      setStatus(kWhite, QStringLiteral("WoW.exe was not found in the selected folder. Click here "
                                       "to change it or Install for a fresh install."));
    } else {
      setStatus(kWhite,
                QStringLiteral("Selected game folder does not exist. Click here to change it."));
      install->setEnabled(false);
    }
  }
  wow_location_label->setCaption(wow_path);
}

void TForm1::showProtectedFolderStatus() {
  connstatus->setCursor(Qt::PointingHandCursor);
  const StatusLine status = *flowEndStatus(FlowKind::Update, {FlowEnd::ProtectedFolder});
  setStatus(status.colour, status.text);
}

void TForm1::showPlay(bool enabled) {
  install->hide();
  play->show();
  play->raise();
  play->setEnabled(enabled);
}

void TForm1::enterNoFolderState() {
  connstatus->setCursor(Qt::PointingHandCursor);
  install->setEnabled(false);
  setStatus(kWhite,
            QStringLiteral("You did not select a WoW folder. Click here to select one now."));
}

bool TForm1::browseForGameFolder(QString& folder) {
  if (!QFileInfo(folder).isDir()) folder.clear();
  const std::optional<QString> chosen =
      platform_.dialogs.browseForFolder(this, QStringLiteral("Select game folder"), folder);
  if (!chosen) return false;
  folder = withoutTrailingSeparator(*chosen);
  return true;
}

// The browser works on wow_path itself: a cancel leaves it emptied when its
// folder was gone, and a confirmed choice stays in it even when it cannot be stored.
void TForm1::chooseFolderWithBrowser() {
  if (!browseForGameFolder(wow_path)) {
    enterNoFolderState();
    return;
  }
  const std::unique_ptr<SettingsKey> key = platform_.settings.openKey();
  if (!key) return;
  key->writeString(kWowPathSetting, wow_path);
  wow_path += kSeparator;
  WoWFolderCheck();
}

void TForm1::connstatusClick(QObject*) {
  chooseFolderWithBrowser();
}

void TForm1::wow_location_labelClick(QObject*) {
  const std::optional<QString> chosen =
      platform_.dialogs.pickFolder(this, client_wow_path.title, client_wow_path.fileName);
  if (!chosen) {
    enterNoFolderState();
    return;
  }
  client_wow_path.fileName = withoutTrailingSeparator(*chosen);
  const std::unique_ptr<SettingsKey> key = platform_.settings.openKey();
  if (!key) return;
  key->writeString(kWowPathSetting, client_wow_path.fileName);
  wow_path = client_wow_path.fileName + kSeparator;
  WoWFolderCheck();
}

void TForm1::updateTimerTimer(QObject*) {
  updateTimer->stop();
  if (flowUnderWay_) {
    updateTimer->start();  // the update waits for the flow under way
    return;
  }
  QCoreApplication::processEvents();
  startUpdate->click();
}

}  // namespace quorrel
