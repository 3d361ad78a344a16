// One player's fresh install by the engine, without a window, in a process
// of its own: what mirror_bench starts, alone on a slow link or fifty at once
// on patch day. Its peak memory is the engine's alone.
//
//   mirror_bench_player HOST PORT REMOTE_ROOT GAME_FOLDER DATA_HOME STATE_FOLDER CA_FILE
//                       UPDATE_KEY
//
// Logs in with the test account, trusts the mirrors' certificates through
// CA_FILE and takes only a release that UPDATE_KEY signed. DATA_HOME is where
// the host key is remembered, STATE_FOLDER the per-user state folder. Prints
// the flow's log, which tells where each file came from, and exits with 0
// only when the install ended Done; otherwise with 1 and how it ended.
#include <sys/prctl.h>

#include <csignal>
#include <iostream>
#include <string>

#include "sshd_server.h"
#include "sync_engine.h"
#include "user_data_home.h"

namespace quorrel::bench {
namespace {

// Prints the flow's log as it goes.
struct LoggingObserver : SyncObserver {
  void yield() override {}
  void log(const QString& line) override { std::cout << line.toStdString() << '\n'; }
  bool mayInstallInto(const QString&) override { return true; }
  void connecting(FlowKind) override {}
  void listed(FlowKind, fxp_names*) override {}
  void walked(FlowKind, const QStringList&) override {}
  void fetchingBegins(const FlowProgress&) override {}
  void fileStarted(FlowKind, const FileToSync&) override {}
  void progressed(const FlowProgress&) override {}
  void retryWaits(size_t, size_t, std::chrono::seconds) override {}
};

LauncherConfig configOf(char** argv) {
  LauncherConfig config;
  config.patchHost = QString::fromLocal8Bit(argv[0]);
  config.patchPort = std::stoi(argv[1]);
  config.patchAccount = QString::fromStdString(testing::SshdServer::user());
  config.caFile = QString::fromLocal8Bit(argv[6]);
  config.updatePublicKey = QString::fromLocal8Bit(argv[7]);
  return config;
}

int install(char** argv) {
  testing::setUserDataHome(argv[4]);
  ThreadSleeper sleeper;
  SteadyClock clock;
  LoggingObserver observer;
  SyncEngine engine(
      configOf(argv),
      EngineServices{QsshlibBinding::instance(), sleeper, clock, QString::fromLocal8Bit(argv[5])},
      observer);
  std::string end;
  try {
    const FlowResult result = engine.run(
        {FlowKind::Install, QString::fromLocal8Bit(argv[3]), QString::fromLocal8Bit(argv[2])});
    if (result.end == FlowEnd::Done) return 0;
    end = "the flow's end " + std::to_string(static_cast<int>(result.end));
  } catch (const std::exception& error) {
    end = error.what();
  }
  std::cout << "mirror_bench_player: the install failed: " << end << std::endl;
  return 1;
}

}  // namespace
}  // namespace quorrel::bench

int main(int argc, char** argv) {
  if (argc != 9) {
    std::cerr << "usage: mirror_bench_player HOST PORT REMOTE_ROOT GAME_FOLDER DATA_HOME "
                 "STATE_FOLDER CA_FILE UPDATE_KEY\n";
    return 2;
  }
  // A benchmark that dies leaves no player behind that goes on downloading.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  return quorrel::bench::install(argv + 1);
}
