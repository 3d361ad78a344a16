#include "launcher_update.h"

#include <QFile>
#include <QFileInfo>
#include <chrono>

#include "build_version.h"
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

LauncherUpdate::LauncherUpdate(const LauncherConfig& config, Platform& platform, LogLine log)
    : config_(config), platform_(platform), log_(std::move(log)) {}

void LauncherUpdate::finishHandOver() {
  const QString ownName = ownProgramName(platform_.application.executablePath());
  if (ownName == kUpdateFile) {
    platform_.sleeper.sleep(kHandOverWait);
    for (int tries = 1; !replaceMainExecutable(kUpdateFile, kMainExecutable); ++tries) {
      if (tries == kReplaceTries) {
        log_(QStringLiteral("Cannot replace %1; it may still be running").arg(kMainExecutable));
        break;
      }
      platform_.sleeper.sleep(kReplaceRetryWait);
    }
    platform_.shell.openFile(kMainExecutable);
    platform_.application.requestQuit();
  }
  if (ownName == kMainExecutable && QFileInfo(kUpdateFile).isFile()) {
    platform_.sleeper.sleep(kHandOverWait);
    QFile::remove(kUpdateFile);
  }
}

std::optional<QString> LauncherUpdate::newerVersion() {
  const QString url = config_.webUrl + QStringLiteral("/launcher/version.txt");
  const QString version = bodyOf(platform_.http.get(url), url);
  if (versionNumber(version) <= versionNumber(QString::fromLatin1(build::kLauncherVersion)))
    return std::nullopt;
  if (version.size() >= kMaxVersionLength) return std::nullopt;
  return version;
}

bool LauncherUpdate::download() {
  const QString url = config_.webUrl + QStringLiteral("/launcher/") + kMainExecutable;
  QFile::remove(kUpdateFile);
  try {
    platform_.http.download(url, kUpdateFile, kMaxBuildBytes);
    if (!config_.updatePublicKey.isEmpty()) verifyDownloadedBuild(url);
    requireRunnableBuild(kUpdateFile);
  } catch (const Exception& error) {
    QFile::remove(kUpdateFile);
    log_(QStringLiteral("Launcher update download failed: ") + QString::fromUtf8(error.what()));
    return false;
  }
  makeExecutable(kUpdateFile);
  return true;
}

bool LauncherUpdate::handOver() {
  if (!platform_.shell.openFile(kUpdateFile)) {
    QFile::remove(kUpdateFile);
    log_(QStringLiteral("Launcher update failed: the downloaded build could not be started"));
    return false;
  }
  platform_.application.requestQuit();
  return true;
}

// The signature is fetched from beside the build, with ".sig" appended.
void LauncherUpdate::verifyDownloadedBuild(const QString& buildUrl) {
  const QString url = buildUrl + QStringLiteral(".sig");
  const QString signature = bodyOf(platform_.http.get(url), url);
  verifyUpdateSignature(config_.updatePublicKey, contentOf(kUpdateFile), signature, "the build");
}

}  // namespace quorrel
