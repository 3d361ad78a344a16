#pragma once

#include <QString>
#include <functional>
#include <optional>

#include "launcher_config.h"
#include "platform/platform.h"

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
class LauncherUpdate {
 public:
  using LogLine = std::function<void(const QString&)>;

  LauncherUpdate(const LauncherConfig& config, Platform& platform, LogLine log);

  // Runs 2 and 3 of the hand-over. Neither stops the start-up: run 2 goes on
  // with its own version check until its quit request takes effect.
  void finishHandOver();

  // The version the server announces when it is above this build's, and
  // nothing otherwise; an Exception when the check fails.
  std::optional<QString> newerVersion();

  // Run 1: true once the update file holds the whole announced build, signed
  // when an update key is configured, and may be run. A left-over update file
  // never counts: it is deleted first, and so is anything short of a good
  // download. A failure's reason goes to the log.
  bool download();
  // Starts the downloaded build and asks this run to end; false (and the
  // build removed, the reason logged) when it could not be started.
  bool handOver();

 private:
  void verifyDownloadedBuild(const QString& buildUrl);

  const LauncherConfig& config_;
  Platform& platform_;
  LogLine log_;
};

}  // namespace quorrel
