#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "clock.h"
#include "game_folder.h"
#include "server_manifest.h"
#include "sftp_session.h"
#include "sync_observer.h"

namespace quorrel {

// How far a walk of the patch server's tree may go before the flow gives up
// on the server: far beyond any game client, short of what would exhaust the
// player's memory or patience.
struct WalkLimits {
  int64_t entriesPerFolder = 250000;
  int64_t entriesInAll = 500000;
  size_t depth = 64;
  std::chrono::seconds time{std::chrono::minutes(30)};
};

// The walk of the patch server's tree into a flat file list: one line per
// file (file_list.h), every remote folder made locally under the game folder
// as it is entered, the manifest and its signature noted instead of listed,
// and names that must never become local paths skipped with a log line.
class TreeWalk {
 public:
  // Every batch of the listing is shown to the observer, which gets its turn
  // then; `stopped` is asked after it: true ends the walk (the player closed
  // the launcher).
  TreeWalk(TSftpSession& session, const QString& gameFolder, QString remoteRoot,
           const WalkLimits& limits, Clock& clock, SyncObserver& observer, FlowKind kind,
           std::function<bool()> stopped);

  // Lists the tree from its root. An error of the session, of the disk or
  // of a bound ends it (the bounds' with an Exception naming the bound).
  void walk();

  // The file list so far: all of it once walk() returned.
  const QStringList& fileList() const { return fileList_; }
  // The folders walked, below the game folder; "" is the game folder itself.
  const QStringList& folders() const { return folders_; }
  // The remote folder being listed, below the root ("" for the root).
  const QString& currentFolder() const { return subdir_; }
  // The manifest and its signature, as the root's listing gave them.
  const ManifestListing& manifest() const { return manifest_; }

 private:
  bool take(fxp_names* names);
  void count(int32_t entries);
  void enter(const QString& name);
  bool noteManifestFile(const QString& name, uint64_t size);
  std::optional<uint64_t> listedSize(const fxp_name& entry, const QString& remotePath);

  TSftpSession& session_;
  QString remoteRoot_;
  const WalkLimits& limits_;
  Clock& clock_;
  SyncObserver& observer_;
  FlowKind kind_;
  std::function<bool()> stopped_;
  FolderTrail trail_;
  QString subdir_;  // "/a/b" while the folder a/b is listed
  QStringList fileList_;
  QStringList folders_{QString()};
  // The entries listed in each of the remote folders the walk is in, and in all.
  std::vector<int64_t> entriesInFolder_{0};
  int64_t entriesInAll_ = 0;
  Clock::TimePoint deadline_;
  ManifestListing manifest_;
};

}  // namespace quorrel
