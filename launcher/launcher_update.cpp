#include "launcher_update.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUrl>
#include <chrono>

#include "build_version.h"
#include "package_files.h"
#include "platform/system.h"
#include "self_update_files.h"
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
// The bound of every file of the launcher's package.
constexpr qint64 kMaxBuildBytes = qint64{256} * 1024 * 1024;
constexpr qint64 kMaxSignatureBytes = 1024;
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

bool isNewerThanThisBuild(const QString& version) {
  return versionNumber(version) > versionNumber(QString::fromLatin1(build::kLauncherVersion));
}

// Each folder name of `path` as a URL holds it.
QString urlPath(const QString& path) {
  QStringList parts = path.split(QLatin1Char('/'));
  for (QString& part : parts) part = QString::fromLatin1(QUrl::toPercentEncoding(part));
  return parts.join(QLatin1Char('/'));
}

// The names the hand-over keeps for itself: a release that named one of them
// would have the update overwrite its own files.
bool isHandOverName(const QString& path) {
  const QString name = path.toLower();
  return name == kUpdateFile.toLower() || name == package_files::kJournal ||
         name.endsWith(package_files::kNewSuffix) || name.endsWith(package_files::kOldSuffix);
}

void requireUsableRelease(const LauncherRelease& release) {
  if (release.expires < QDateTime::currentDateTimeUtc())
    throw Exception("the launcher release expired on " +
                    manifest::expiryText(release.expires).toStdString());
  if (!release.find(kMainExecutable))
    throw Exception("the launcher release does not name " + kMainExecutable.toStdString());
  for (const manifest::Entry& file : release.files)
    if (isHandOverName(file.path))
      throw Exception("the launcher release names " + file.path.toStdString() +
                      ", a name the update keeps for itself");
}

}  // namespace

LauncherUpdate::LauncherUpdate(const LauncherConfig& config, Platform& platform, LogLine log)
    : config_(config),
      platform_(platform),
      log_(std::move(log)),
      keys_(platform.log.stateFolder(), config.updatePublicKey) {}

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
  if (ownName == kMainExecutable) package_files::removeReplacedFiles();
}

std::optional<QString> LauncherUpdate::newerVersion() {
  return keys_.enabled() ? signedReleaseVersion() : announcedVersion();
}

std::optional<QString> LauncherUpdate::announcedVersion() {
  const QString url = config_.webUrl + QStringLiteral("/launcher/version.txt");
  const QString version = bodyOf(platform_.http.get(url), url);
  if (!isNewerThanThisBuild(version)) return std::nullopt;
  if (version.size() >= kMaxVersionLength) return std::nullopt;
  return version;
}

// version.txt is never read: a server could announce any version in it.
std::optional<QString> LauncherUpdate::signedReleaseVersion() {
  const QString url = config_.webUrl + QStringLiteral("/launcher/release");
  const QByteArray text = fetch(url, LauncherRelease::kMaxBytes);
  const QByteArray signature = fetch(url + QStringLiteral(".sig"), kMaxSignatureBytes);
  keys_.verify(text, QString::fromLatin1(signature), "the launcher release");
  LauncherRelease release = LauncherRelease::parse(text);
  requireUsableRelease(release);
  if (!release.nextKey.isEmpty()) keys_.expectNext(release.nextKey);
  if (!isNewerThanThisBuild(release.version)) return std::nullopt;
  release_ = std::move(release);
  return release_->version;
}

bool LauncherUpdate::download() {
  QFile::remove(kUpdateFile);
  try {
    if (release_)
      downloadRelease();
    else
      downloadBuild();
    requireRunnableBuild(kUpdateFile);
  } catch (const Exception& error) {
    discardDownloads();
    log_(QStringLiteral("Launcher update download failed: ") + QString::fromUtf8(error.what()));
    return false;
  }
  makeExecutable(kUpdateFile);
  return true;
}

bool LauncherUpdate::handOver() {
  try {
    package_files::placeNewFiles(newFiles_);
  } catch (const Exception& error) {
    discardDownloads();
    log_(QStringLiteral("Launcher update failed: ") + QString::fromUtf8(error.what()));
    return false;
  }
  if (!platform_.shell.openFile(kUpdateFile)) {
    package_files::restoreReplacedFiles();
    discardDownloads();
    log_(QStringLiteral("Launcher update failed: the downloaded build could not be started"));
    return false;
  }
  platform_.application.requestQuit();
  return true;
}

void LauncherUpdate::downloadBuild() {
  const QString url = config_.webUrl + QStringLiteral("/launcher/") + kMainExecutable;
  platform_.http.download(url, kUpdateFile, kMaxBuildBytes);
}

// Every file that differs from the one here; the executable always, as the
// update file. An executable the same as the installed one is refused: it is
// this build, and the update would start over at every start.
void LauncherUpdate::downloadRelease() {
  const manifest::Entry& executable = *release_->find(kMainExecutable);
  if (package_files::matches(kMainExecutable, executable))
    throw Exception("the release's " + kMainExecutable.toStdString() +
                    " is the one installed, under another version");
  for (const manifest::Entry& file : release_->files) {
    if (&file == &executable) continue;
    if (package_files::matches(file.path, file)) continue;
    newFiles_.append(file.path);
    downloadReleaseFile(file, file.path + package_files::kNewSuffix);
  }
  downloadReleaseFile(executable, kUpdateFile);
}

void LauncherUpdate::downloadReleaseFile(const manifest::Entry& file, const QString& target) {
  const QString url = config_.webUrl + QStringLiteral("/launcher/") + urlPath(release_->version) +
                      QLatin1Char('/') + urlPath(file.path);
  if (file.size > kMaxBuildBytes)
    throw Exception(file.path.toStdString() + " is larger than " + std::to_string(kMaxBuildBytes) +
                    " bytes");
  QDir().mkpath(QFileInfo(target).path());
  platform_.http.download(url, target, std::max<qint64>(file.size, 1));
  if (!package_files::matches(target, file))
    throw Exception(url.toStdString() + " does not match its size and digest in the release");
  log_(QStringLiteral("Launcher update: fetched %1").arg(file.path));
}

// The body of `url`'s answer, byte for byte, as it was signed.
QByteArray LauncherUpdate::fetch(const QString& url, qint64 maxBytes) {
  QTemporaryDir folder;
  if (!folder.isValid())
    throw Exception("Cannot make a temporary folder: " + folder.errorString().toStdString());
  const QString file = folder.filePath(QStringLiteral("body"));
  platform_.http.download(url, file, maxBytes);
  return contentOf(file);
}

void LauncherUpdate::discardDownloads() {
  QFile::remove(kUpdateFile);
  package_files::discardNewFiles(newFiles_);
  newFiles_.clear();
}

}  // namespace quorrel
