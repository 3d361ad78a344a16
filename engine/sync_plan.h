#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "game_folder.h"
#include "hash_cache.h"
#include "manifest.h"
#include "sync_observer.h"

namespace quorrel {

// One line of a flow's file list, decided before any transfer so that the
// progress shows the true share of the bytes to fetch.
struct FileToSync {
  QString line;
  QString remotePath;
  QString relativePath;
  int64_t listedSize = 0;
  QByteArray sha256;  // the manifest's digest of the file; empty without a manifest
  bool fetch = false;
  std::optional<std::string> error;  // the line cannot be read; the flow stops there
};

// Decides for every line of the file list whether the file must be fetched:
// by size alone, or with a manifest by size and digest, the digests of the
// local files read once and then kept in `hashes` with their stamps. Files
// the manifest does not name are left out with a log line. A line that cannot
// be read ends the plan, as the last file, with its error.
class SyncPlan {
 public:
  // `stopped` is asked before each file: true ends the plan early (the
  // player closed the launcher while a large file was read).
  SyncPlan(const GameFolder& folder, const QString& remoteRoot,
           const std::optional<manifest::Manifest>& manifest, std::optional<HashCache>& hashes,
           SyncObserver& observer, std::function<bool()> stopped);

  std::vector<FileToSync> make(const QStringList& fileList);
  // The bytes of local files read to compare them with the manifest.
  int64_t hashedBytes() const { return hashedBytes_; }

 private:
  bool holdsManifestCopy(const manifest::Entry& entry);

  const GameFolder& folder_;
  QString remoteRoot_;
  const std::optional<manifest::Manifest>& manifest_;
  std::optional<HashCache>& hashes_;
  SyncObserver& observer_;
  std::function<bool()> stopped_;
  int64_t hashedBytes_ = 0;
};

}  // namespace quorrel
