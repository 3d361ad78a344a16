#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <memory>

#include "clock.h"
#include "disk_space.h"
#include "flow_progress.h"
#include "launcher_config.h"
#include "qsshlib_binding.h"
#include "release_check.h"
#include "sleeper.h"
#include "sync_observer.h"
#include "tree_walk.h"

namespace quorrel {

// How a flow ended, besides by an exception (an error to show the player).
enum class FlowEnd {
  Done,             // every file of the tree is there
  Stopped,          // the player closed the launcher: nothing to report
  FolderBusy,       // another launcher is updating the game folder
  ProtectedFolder,  // the root, the home folder or a system folder: never written into
  InstallDeclined,  // the player did not want the game in a folder that holds files
  NoConnection,     // the patch server could not be reached or listed
  NoRoom,           // the files to fetch do not fit on the disk; nothing was fetched
  Untrusted,        // the patch server's release was refused; nothing was fetched
};

struct FlowResult {
  FlowEnd end = FlowEnd::Done;
  bool changed = false;          // Done: some file was fetched
  DiskShortfall shortfall = {};  // NoRoom: the bytes to fetch and the bytes free
  ReleaseRefusal refusal = {};   // Untrusted: why
};

// What the engine works with besides the patch server.
struct EngineServices {
  QsshlibBinding& library;
  Sleeper& sleeper;
  Clock& clock;
  // The per-user state folder, where the digest cache of each game folder
  // and the record of the releases accepted live.
  QString stateFolder;
};

// The synchronisation of a game folder with the patch server, without a
// window: a flow walks the server's tree, reads its manifest, decides what to
// fetch, checks the disk and fetches, and tells an observer what happens. One
// flow runs at a time, on the caller's thread.
class SyncEngine {
 public:
  struct Request {
    FlowKind kind = FlowKind::Update;
    QString gameFolder;
    QString remoteRoot;         // the patch tree on the server
    int32_t speedLimitKiB = 0;  // 0: no cap
  };

  SyncEngine(const LauncherConfig& config, EngineServices services, SyncObserver& observer);
  ~SyncEngine();

  // Runs a flow to its end. Exception for an error the player must see (a
  // file that cannot be fetched or written, a line of the listing that
  // cannot be read).
  FlowResult run(const Request& request);
  bool running() const { return running_; }
  // Ends the flow under way at its next turn, quietly; one that has no
  // connection yet aborts it as soon as it has one.
  void stop();

  // The flow under way, or the last one: what it was asked to do, and its counts.
  const Request& request() const;
  const FlowProgress& progress() const;
  // The walk of the flow under way, while it is there.
  const TreeWalk* walk() const;
  // The bytes of local files read to compare them with manifests, over the
  // engine's life: what the digest cache saves.
  int64_t hashedBytes() const { return hashedBytes_; }

  WalkLimits walkLimits;
  // How long a mirror may send nothing before it is given up.
  std::chrono::seconds mirrorStallTimeout{15};

 private:
  struct Flow;
  FlowResult runFlow();
  bool connectAndWalk();
  void readRelease();
  void removeStalePartialCopies();
  FlowResult fetchAll();
  QStringList mirrorsOfFlow();

  LauncherConfig config_;
  EngineServices services_;
  SyncObserver& observer_;
  // What request() and progress() show before the first flow.
  Request noRequest_;
  FlowProgress noFlow_;
  std::unique_ptr<Flow> flow_;
  bool running_ = false;
  int64_t hashedBytes_ = 0;
};

}  // namespace quorrel
