#pragma once

#include <QHash>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "file_source.h"
#include "flow_progress.h"
#include "game_folder.h"
#include "hash_cache.h"
#include "mirror_client.h"
#include "sleeper.h"
#include "sync_observer.h"
#include "sync_plan.h"

namespace quorrel {

// The mirrors a flow tries, in order, for each file the manifest names,
// before the patch server; and the client that reaches them.
struct Mirrors {
  QStringList urls;
  MirrorClient& client;
};

// Fetches the files of a flow, one at a time, from a FileSource into the game
// folder: after a short pause, into the file's partial copy (going on from
// what an earlier fetch of the same server file left), checked against the
// manifest's digest when there is one and fetched once more when it does not
// match, and tried again on a new connection when the network lost the old.
// With mirrors, a file with a digest is first fetched as their object: the
// patch server serves it only when no mirror delivers it whole and checked.
class Fetcher {
 public:
  // The waits before the tries that follow a lost connection: a short drop
  // costs little, and a longer outage is not hammered.
  static constexpr std::chrono::seconds kRetryWaits[] = {
      std::chrono::seconds(2), std::chrono::seconds(5), std::chrono::seconds(15)};
  static constexpr size_t kTries = std::size(kRetryWaits) + 1;

  // `stopped` tells whether the player closed the launcher; `flowId` names
  // the flow, whose own partial copies of files without a digest are the
  // only ones it goes on from.
  Fetcher(FileSource& source, const GameFolder& folder, FlowProgress& progress, Sleeper& sleeper,
          SyncObserver& observer, FlowKind kind, std::optional<HashCache>& hashes,
          std::uint64_t flowId, std::function<bool()> stopped,
          std::optional<Mirrors> mirrors = std::nullopt);

  // Fetches `file`; false when the launcher was closed meanwhile (there is
  // nothing to report then). Otherwise the fetch's last failure, when the
  // file could not be fetched.
  bool fetch(const FileToSync& file);

 private:
  enum class MirrorResult { Delivered, Failed, Stopped };
  MirrorResult fetchFromMirrors(const FileToSync& file);
  bool fetchFromSource(const FileToSync& file);
  bool waitBeforeTry(size_t attempt, std::chrono::seconds wait);
  void fetchVerified(const FileToSync& file, bool& refetched);
  void fetchInto(const FileToSync& file);
  void fetchInto(const FileToSync& file, const std::optional<partial_copy::Source>& version,
                 const std::function<void(TStream&, int64_t from)>& fetchFrom);
  void rememberDigest(const FileToSync& file);

  FileSource& source_;
  const GameFolder& folder_;
  FlowProgress& progress_;
  Sleeper& sleeper_;
  SyncObserver& observer_;
  FlowKind kind_;
  std::optional<HashCache>& hashes_;
  std::uint64_t flowId_;
  std::function<bool()> stopped_;
  std::optional<Mirrors> mirrors_;
  QStringList givenUpMirrors_;  // for the rest of the flow
  QHash<QString, int> failuresInARow_;
};

}  // namespace quorrel
