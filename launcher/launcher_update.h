#pragma once

#include <QString>
#include <functional>
#include <optional>

#include "launcher_config.h"
#include "launcher_release.h"
#include "platform/platform.h"
#include "update_keys.h"

namespace quorrel {

// The launcher's self-update: the version check against the distribution
// server, the download of a newer build and the hand-over between the old and
// the new executable. The window says what happens; this does it.
//
// An update takes three runs in the same current folder. Run 1 (the old
// build as "QuorrelLauncher") downloads the new build as "quorrel_launcher",
// starts it and ends. Run 2 (the new build as "quorrel_launcher") puts itself
// in place of "QuorrelLauncher", starts that and ends. Run 3 (the new build as
// "QuorrelLauncher") removes "quorrel_launcher". Which run this is follows only
// from the program's own name and whether the update file exists.
//
// A launcher with an update key trusts only the signed release of the whole
// package: it fetches the files that differ, checks each against the
// release, and run 1 puts the others than the executable in place just before
// it starts the new build, so that the new build starts with its own
// libraries. Without a key, version.txt announces the version and only the
// executable is replaced.
class LauncherUpdate {
 public:
  using LogLine = std::function<void(const QString&)>;

  LauncherUpdate(const LauncherConfig& config, Platform& platform, LogLine log);

  // Runs 2 and 3 of the hand-over. Neither stops the start-up: run 2 goes on
  // with its own version check until its quit request takes effect.
  void finishHandOver();

  // The version the server announces when it is above this build's, and
  // nothing otherwise; an Exception when the check fails, or when the signed
  // release is refused (its signature, its form or its expiry).
  std::optional<QString> newerVersion();

  // Run 1: true once the update file holds the whole announced build (and
  // every other file of a signed release that differs waits beside its
  // place, checked), and may be run. A left-over update file
  // never counts: it is deleted first, and so is anything short of a good
  // download. A failure's reason goes to the log.
  bool download();
  // Puts the release's other files in place, starts the downloaded build and
  // asks this run to end; false (the build removed, the files put back, the
  // reason logged) when it could not be started.
  bool handOver();

 private:
  std::optional<QString> announcedVersion();
  std::optional<QString> signedReleaseVersion();
  void downloadBuild();
  void downloadRelease();
  void downloadReleaseFile(const manifest::Entry& file, const QString& target);
  QByteArray fetch(const QString& url, qint64 maxBytes);
  void discardDownloads();

  const LauncherConfig& config_;
  Platform& platform_;
  LogLine log_;
  UpdateKeys keys_;
  std::optional<LauncherRelease> release_;
  // The paths of the package whose new files wait beside them.
  QStringList newFiles_;
};

}  // namespace quorrel
