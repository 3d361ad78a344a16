#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine_fakes.h"
#include "flow_progress.h"
#include "qt_printers.h"
#include "sync_engine.h"
#include "sync_files.h"
#include "sync_plan.h"

namespace quorrel {

inline void PrintTo(FlowEnd end, std::ostream* out) {
  static const char* const kNames[] = {
      "Done",         "Stopped", "FolderBusy", "ProtectedFolder", "InstallDeclined",
      "NoConnection", "NoRoom"};
  *out << kNames[static_cast<int>(end)];
}

// A flow's result as the tests compare and print it.
inline bool operator==(const FlowResult& a, const FlowResult& b) {
  return a.end == b.end && a.changed == b.changed && a.shortfall.needed == b.shortfall.needed &&
         a.shortfall.free == b.shortfall.free;
}

inline void PrintTo(const FlowResult& result, std::ostream* out) {
  PrintTo(result.end, out);
  if (result.end == FlowEnd::Done) *out << (result.changed ? ", changed" : ", unchanged");
  if (result.end == FlowEnd::NoRoom)
    *out << ", " << result.shortfall.needed << " bytes needed, " << result.shortfall.free
         << " free";
}

namespace testing {

// A wait before a try after a lost connection: try `attempt` of `tries`, after `wait`.
struct Retry {
  size_t attempt = 0;
  size_t tries = 0;
  std::chrono::seconds wait{0};
  bool operator==(const Retry&) const = default;
};

inline void PrintTo(const Retry& retry, std::ostream* out) {
  *out << "try " << retry.attempt << " of " << retry.tries << " after " << retry.wait.count()
       << " s";
}

// Records what the engine reports, and answers what it asks as the test set.
struct RecordingObserver : SyncObserver {
  QStringList lines;         // the support log
  QStringList fileList;      // the walk's, once it has listed the whole tree
  QStringList filesStarted;  // the relative path of each try's file
  std::vector<Retry> retries;
  int turns = 0;
  bool installIntoFilesAllowed = true;
  QStringList askedAbout;
  // What happens elsewhere during each turn and after each block: a test's
  // close, a server that dies.
  std::function<void()> onTurn;
  std::function<void(const FlowProgress&)> onProgress;

  // Runs `act` once, at the first turn or block at which `condition` holds:
  // in the middle of a flow. Any number may wait at once.
  void once(std::function<bool()> condition, std::function<void()> act) {
    pending_.push_back({std::move(condition), std::move(act)});
  }

  void yield() override {
    ++turns;
    if (onTurn) onTurn();
    runDue();
  }
  void log(const QString& line) override { lines << line; }
  bool mayInstallInto(const QString& folder) override {
    askedAbout << folder;
    return installIntoFilesAllowed;
  }
  void connecting(FlowKind) override {}
  void listed(FlowKind, fxp_names*) override { yield(); }
  void walked(FlowKind, const QStringList& list) override { fileList = list; }
  void fetchingBegins(const FlowProgress&) override {}
  void fileStarted(FlowKind, const FileToSync& file) override { filesStarted << file.relativePath; }
  void progressed(const FlowProgress& progress) override {
    if (onProgress) onProgress(progress);
    runDue();
  }
  void retryWaits(size_t attempt, size_t tries, std::chrono::seconds wait) override {
    retries.push_back({attempt, tries, wait});
  }

  bool logHas(const QString& text) const {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const QString& line) { return line.contains(text); });
  }
  // The log for a failure's message.
  std::string logText() const { return lines.join('\n').toStdString(); }

 private:
  struct Pending {
    std::function<bool()> condition;
    std::function<void()> act;
  };
  void runDue() {
    for (size_t i = 0; i < pending_.size();) {
      if (!pending_[i].condition()) {
        ++i;
        continue;
      }
      const std::function<void()> act = std::move(pending_[i].act);
      pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
      act();
    }
  }
  std::vector<Pending> pending_;
};

// The engine without a window against a real sshd that serves a patch tree,
// with a game folder and a per-user state folder of the test's own.
class EngineHarness {
 public:
  explicit EngineHarness(SshdServer::Options options = {}) : server(std::move(options)) {
    patchTree = server.dataDir() / "upload";
    fs::create_directories(patchTree);
    // The keys the engine's sessions remember go to a folder of this test.
    dataHome = server.dataDir().parent_path() / "data-home";
    rememberHostKeysIn(dataHome);
    config.patchHost = QString::fromStdString(server.host());
    config.patchPort = server.port();
    config.patchAccount = QString::fromStdString(SshdServer::user());
  }

  // The engine is made at the first flow, with the settings as the test left them.
  SyncEngine& engine() {
    if (!engine_)
      engine_.emplace(config,
                      EngineServices{QsshlibBinding::instance(), sleeper, clock, stateFolder()},
                      observer);
    return *engine_;
  }

  // A game folder below the test's folder, with a WoW.exe file when `withGame`:
  // the folder of the flows from now on. As a launcher started anew on it,
  // with an engine of its own and nothing reported yet; the sleeper, the
  // clock and the settings stay the test's.
  void start(const QString& name, bool withGame) {
    game = QDir::toNativeSeparators(root_.filePath(name));
    QDir().mkpath(game);
    if (withGame) writeBytes(local("WoW.exe"), "");
    engine_.reset();
    observer = RecordingObserver();
  }
  std::optional<FlowResult> update() { return run(FlowKind::Update); }
  std::optional<FlowResult> install() { return run(FlowKind::Install); }
  // Runs a flow to its end: its result, or nothing when it ended with an
  // exception, whose text is kept in `error` (empty otherwise).
  std::optional<FlowResult> run(FlowKind kind) {
    error.clear();
    try {
      return engine().run({kind, game, remoteRoot(), speedLimitKiB});
    } catch (const std::exception& failure) {
      error = QString::fromUtf8(failure.what());
      return std::nullopt;
    }
  }

  // The patch tree as the engine finds it on the server.
  QString remoteRoot() const { return QString::fromStdString(server.remoteDataDir() + "/upload"); }
  fs::path local(const std::string& relative) const {
    return fs::path(game.toStdU16String()) / utf8Path(relative);
  }
  void serve(const std::string& relative, const std::string& content) {
    writeBytes(patchTree / utf8Path(relative), content);
    server.chownToUser(server.dataDir());
  }
  QString stateFolder() const { return root_.filePath("state/Quorrel"); }
  // A path below the test's folder, beside the game folder.
  QString path(const QString& name) const { return root_.filePath(name); }

  SshdServer server;
  fs::path patchTree;
  fs::path dataHome;
  QString game;
  LauncherConfig config;
  int32_t speedLimitKiB = 0;
  FakeSleeper sleeper;
  FakeClock clock;
  RecordingObserver observer;
  // The text of the exception the last flow ended with; empty when none.
  QString error;

 private:
  QTemporaryDir root_;
  std::optional<SyncEngine> engine_;
};

}  // namespace testing
}  // namespace quorrel
