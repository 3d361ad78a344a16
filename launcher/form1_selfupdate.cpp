// The launcher's self-update: the version check against the distribution
// server, the download of a newer build and the hand-over between the old and
// the new executable.
//
// An update takes three runs in the same current folder. Run 1 (the old
// build as "QuorrelLauncher") downloads the new build as "quorrel_launcher",
// starts it and ends. Run 2 (the new build as "quorrel_launcher") puts itself
// in place of "QuorrelLauncher", starts that and ends. Run 3 (the new build as
// "QuorrelLauncher") removes "quorrel_launcher". Which run this is follows only
// from the program's own name and whether the update file exists.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <chrono>
#include <limits>
#include <optional>

#include "colours.h"
#include "error_box.h"
#include "form1.h"
#include "platform/system.h"
#include "self_update_files.h"
#include "update_signature.h"
#include "version_number.h"

namespace quorrel {

namespace {

// Long enough for the other run of the hand-over to end.
constexpr std::chrono::milliseconds kHandOverWait{2000};
// Windows does not let a program that still runs be replaced: when the old
// launcher takes longer than the first wait to end, the copy is tried again
// for a while before the hand-over gives up and starts the old build.
constexpr std::chrono::milliseconds kReplaceRetryWait{500};
constexpr int kReplaceTries = 20;
// A version text this long is ignored, whatever number it holds.
constexpr qsizetype kMaxVersionLength = 10;
constexpr qint64 kMaxBuildBytes = qint64{256} * 1024 * 1024;
// Smaller than any real build of the launcher: an error page or a cut file.
constexpr qint64 kMinBuildBytes = 16 * 1024;
// A build that this machine could not run would be announced, started and
// fail at every start, so the player would never see the window.
void requireRunnableBuild(const QString& file) {
  QFile build(file);
  if (!build.open(QIODevice::ReadOnly))
    throw Exception((file + QStringLiteral(": ") + build.errorString()).toStdString());
  if (build.size() < kMinBuildBytes)
    throw Exception(QStringLiteral("the build is only %1 bytes").arg(build.size()).toStdString());
  if (!system::isProgramForThisMachine(build.read(system::kProgramHeaderBytes)))
    throw Exception("the build is not a program for this machine");
}

// The body of a 200 answer; any other status is a failed request.
QString bodyOf(const HttpText& answer, const QString& url) {
  if (answer.status != 200)
    throw HttpError(QStringLiteral("%1: HTTP status %2").arg(url).arg(answer.status).toStdString());
  return answer.text;
}

}  // namespace

std::int32_t TForm1::verToNumber(const QString& ver) {
  return versionNumber(ver);
}

void TForm1::checkForLauncherUpdate() {
  finishHandOver();
  connstatus->setCaption(QStringLiteral("Checking for launcher updates..."));
  const std::optional<QString> version = newerAnnouncedVersion();
  if (version && version->size() < kMaxVersionLength) installLauncherUpdate(*version);
}

// Runs 2 and 3 of the hand-over. Neither stops the start-up: run 2 goes on
// with its own version check until its quit request takes effect.
void TForm1::finishHandOver() {
  if (ownProgramName(platform_.application.executablePath()) == kUpdateFile) {
    platform_.sleeper.sleep(kHandOverWait);
    for (int tries = 1; !replaceMainExecutable(kUpdateFile, kMainExecutable); ++tries) {
      if (tries == kReplaceTries) {
        logLine(QStringLiteral("Cannot replace %1; it may still be running").arg(kMainExecutable));
        break;
      }
      platform_.sleeper.sleep(kReplaceRetryWait);
    }
    platform_.shell.openFile(kMainExecutable);
    platform_.application.requestQuit();
  }
  if (ownProgramName(platform_.application.executablePath()) == kMainExecutable &&
      QFileInfo(kUpdateFile).isFile()) {
    platform_.sleeper.sleep(kHandOverWait);
    QFile::remove(kUpdateFile);
  }
}

// The version the server announces when it is above this build's. A check
// that fails never halts the start-up: the reason goes to the log, the status
// line says so, and the launcher goes on as if no newer version existed.
std::optional<QString> TForm1::newerAnnouncedVersion() {
  const QString url = config_.webUrl + QStringLiteral("/launcher/version.txt");
  try {
    const QString version = bodyOf(platform_.http.get(url), url);
    if (verToNumber(version) <= verToNumber(kVersion)) return std::nullopt;
    return version;
  } catch (const Exception& error) {
    logLine(QStringLiteral("Launcher update check failed: ") + QString::fromUtf8(error.what()));
    setStatus(kRed, QStringLiteral("Launcher update check failed. Skipping launcher update."));
    return std::nullopt;
  }
}

// Run 1 of the hand-over.
void TForm1::installLauncherUpdate(const QString& version) {
  if (!downloadLauncherBuild()) {
    setStatus(kRed, QStringLiteral("Remote update file not found. Skipping launcher update."));
    return;
  }
  platform_.messageBox.showNotice(
      this, messageBoxTitle(),
      QStringLiteral("New version available(v%1). Launcher will now update and restart.")
          .arg(version));
  if (!platform_.shell.openFile(kUpdateFile)) {
    QFile::remove(kUpdateFile);
    logLine(QStringLiteral("Launcher update failed: the downloaded build could not be started"));
    setStatus(kRed, QStringLiteral("Remote update file not found. Skipping launcher update."));
    return;
  }
  platform_.application.requestQuit();
}

// True once the update file holds the whole announced build, signed when an
// update key is configured, and may be run. A left-over update file never
// counts: it is deleted first, and so is anything short of a good download.
bool TForm1::downloadLauncherBuild() {
  const QString url = config_.webUrl + QStringLiteral("/launcher/") + kMainExecutable;
  QFile::remove(kUpdateFile);
  try {
    platform_.http.download(url, kUpdateFile, kMaxBuildBytes);
    if (!config_.updatePublicKey.isEmpty()) verifyDownloadedBuild(url);
    requireRunnableBuild(kUpdateFile);
  } catch (const Exception& error) {
    QFile::remove(kUpdateFile);
    logLine(QStringLiteral("Launcher update download failed: ") + QString::fromUtf8(error.what()));
    return false;
  }
  makeExecutable(kUpdateFile);
  return true;
}

// The signature is fetched from beside the build, with ".sig" appended.
void TForm1::verifyDownloadedBuild(const QString& buildUrl) {
  const QString url = buildUrl + QStringLiteral(".sig");
  const QString signature = bodyOf(platform_.http.get(url), url);
  verifyUpdateSignature(config_.updatePublicKey, contentOf(kUpdateFile), signature, "the build");
}

}  // namespace quorrel
