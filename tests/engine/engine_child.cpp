// The engine in a process of its own, for tests that end it from outside.
//
//   engine_child install-until-killed HOST PORT REMOTE_ROOT GAME_FOLDER DATA_HOME STATE_FOLDER
//                SPEED_LIMIT
//     Installs the game from a patch server into a folder and goes on until
//     the test kills it, so none of its clean-up runs. It ends by itself only
//     when the install ends, with 1 and what the flow logged: the test meant
//     to kill it before that.
//
// DATA_HOME is where the host key is remembered, STATE_FOLDER the per-user
// state folder, SPEED_LIMIT the player's cap in KiB/s (0: none).
#include <sys/prctl.h>

#include <csignal>
#include <iostream>
#include <string>

#include "sshd_server.h"
#include "sync_engine.h"
#include "user_data_home.h"

namespace quorrel::testing {
namespace {

// Keeps the log for the message of an install that was not killed.
struct LoggingObserver : SyncObserver {
  QStringList lines;
  void yield() override {}
  void log(const QString& line) override { lines << line; }
  bool mayInstallInto(const QString&) override { return true; }
  void connecting(FlowKind) override {}
  void listed(FlowKind, fxp_names*) override {}
  void walked(FlowKind, const QStringList&) override {}
  void fetchingBegins(const FlowProgress&) override {}
  void fileStarted(FlowKind, const FileToSync&) override {}
  void progressed(const FlowProgress&) override {}
  void retryWaits(size_t, size_t, std::chrono::seconds) override {}
};

int installUntilKilled(char** argv) {
  setUserDataHome(argv[5]);
  LauncherConfig config;
  config.patchHost = QString::fromLocal8Bit(argv[1]);
  config.patchPort = std::stoi(argv[2]);
  config.patchAccount = QString::fromStdString(SshdServer::user());
  ThreadSleeper sleeper;
  SteadyClock clock;
  LoggingObserver observer;
  SyncEngine engine(
      config,
      EngineServices{QsshlibBinding::instance(), sleeper, clock, QString::fromLocal8Bit(argv[6])},
      observer);
  std::string end;
  try {
    const FlowResult result = engine.run({FlowKind::Install, QString::fromLocal8Bit(argv[4]),
                                          QString::fromLocal8Bit(argv[3]), std::stoi(argv[7])});
    end = "the flow's end " + std::to_string(static_cast<int>(result.end));
  } catch (const std::exception& error) {
    end = error.what();
  }
  std::cerr << "engine_child: the install ended before the process was killed: " << end << '\n'
            << observer.lines.join('\n').toStdString() << '\n';
  return 1;
}

}  // namespace
}  // namespace quorrel::testing

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (!(mode == "install-until-killed" && argc == 9)) {
    std::cerr << "usage: engine_child install-until-killed HOST PORT REMOTE_ROOT GAME_FOLDER "
                 "DATA_HOME STATE_FOLDER SPEED_LIMIT\n";
    return 2;
  }
  // A test that dies leaves no launcher behind that goes on writing its folder.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  return quorrel::testing::installUntilKilled(argv + 1);
}
