#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <cstddef>
#include <exception>

#include "qsshlib.h"

namespace quorrel {

// The two flows: the patch update of a game folder that holds the game, and
// the fresh install into one that does not.
enum class FlowKind { Update, Install };

struct FileToSync;
class FlowProgress;

// What a flow tells whoever shows it, and asks of it. The engine works on
// its caller's thread, and calls these only from inside SyncEngine::run.
class SyncObserver {
 public:
  virtual ~SyncObserver() = default;

  // The caller's turn, at least every 100 ms while the flow works or waits,
  // so that a window repaints and takes a close (SyncEngine::stop) meanwhile.
  virtual void yield() = 0;
  // A line for the support log: what the flow did, and why it failed.
  virtual void log(const QString& line) = 0;
  // Whether a fresh install may write into `folder`, which holds files.
  virtual bool mayInstallInto(const QString& folder) = 0;

  // The flow holds the game folder and connects to the patch server.
  virtual void connecting(FlowKind kind) = 0;
  // A batch of the patch server's listing arrived, which the walk goes
  // through next: the caller's turn during the walk.
  virtual void listed(FlowKind kind, fxp_names* batch) = 0;
  // The walk has listed the whole tree: the file list's lines.
  virtual void walked(FlowKind kind, const QStringList& fileList) = 0;
  // The files to fetch are known; `progress` holds their bytes.
  virtual void fetchingBegins(const FlowProgress& progress) = 0;
  // A fetch of `file` begins: its first try, or one after a lost connection.
  virtual void fileStarted(FlowKind kind, const FileToSync& file) = 0;
  // Bytes of the file being fetched arrived, or were found already there.
  virtual void progressed(const FlowProgress& progress) = 0;
  // The connection was lost; try `attempt` of `tries` comes after `wait`.
  virtual void retryWaits(size_t attempt, size_t tries, std::chrono::seconds wait) = 0;
};

// The player sees a short text; the log keeps what was attempted where and
// what the system answered.
void logFailure(SyncObserver& observer, const std::exception& error);

}  // namespace quorrel
