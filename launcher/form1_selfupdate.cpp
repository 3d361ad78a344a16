// The launcher's self-update as the window shows it: the status line while
// it checks, the notice before the hand-over, and the red line when it fails.
#include <optional>

#include "colours.h"
#include "form1.h"
#include "launcher_update.h"
#include "version_number.h"

namespace quorrel {

std::int32_t TForm1::verToNumber(const QString& ver) {
  return versionNumber(ver);
}

// A check that fails never halts the start-up: the reason goes to the log,
// the status line says so, and the launcher goes on as if no newer version
// existed.
void TForm1::checkForLauncherUpdate() {
  LauncherUpdate update(config_, platform_, [this](const QString& line) { logLine(line); });
  update.finishHandOver();
  connstatus->setCaption(QStringLiteral("Checking for launcher updates..."));
  std::optional<QString> version;
  try {
    version = update.newerVersion();
  } catch (const Exception& error) {
    logLine(QStringLiteral("Launcher update check failed: ") + QString::fromUtf8(error.what()));
    setStatus(kRed, QStringLiteral("Launcher update check failed. Skipping launcher update."));
    return;
  }
  if (version) installLauncherUpdate(update, *version);
}

void TForm1::installLauncherUpdate(LauncherUpdate& update, const QString& version) {
  const QString notFound =
      QStringLiteral("Remote update file not found. Skipping launcher update.");
  if (!update.download()) {
    setStatus(kRed, notFound);
    return;
  }
  platform_.messageBox.showNotice(
      this, messageBoxTitle(),
      QStringLiteral("New version available(v%1). Launcher will now update and restart.")
          .arg(version));
  if (!update.handOver()) setStatus(kRed, notFound);
}

}  // namespace quorrel
