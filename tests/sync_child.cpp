// A launcher in a process of its own, for tests that kill it: the real window
// installs the game from a patch server into a folder and goes on until the
// test kills it, so none of its clean-up runs.
//
//   sync_child HOST PORT REMOTE_ROOT GAME_FOLDER DATA_HOME SPEED_LIMIT
//
// DATA_HOME is where the host key is remembered, SPEED_LIMIT the player's cap
// in KiB/s (0: none). It ends by itself only when the install ends, with 1 and
// what the window showed: the test meant to kill it before that.
#include <sys/prctl.h>

#include <QApplication>
#include <csignal>
#include <iostream>
#include <string>

#include "resources.h"
#include "sync_harness.h"

namespace quorrel::testing {
namespace {

int installUntilKilled(char** argv) {
  rememberHostKeysIn(argv[5]);
  FormHarness harness;
  usePatchServer(harness, argv[1], std::stoi(argv[2]));
  harness.storeSetting("SpeedLimit", QString::fromLocal8Bit(argv[6]));
  TForm1& form =
      startOnGameFolder(harness, QString::fromLocal8Bit(argv[4]), QString::fromLocal8Bit(argv[3]));
  clickInstall(form);
  std::cerr << "sync_child: the install ended before the process was killed: "
            << form.connstatus->text().toStdString() << '\n'
            << harness.messageBox.errorTexts().join('\n').toStdString() << '\n'
            << form.Memo1.join('\n').toStdString() << '\n';
  return 1;
}

}  // namespace
}  // namespace quorrel::testing

int main(int argc, char** argv) {
  if (argc != 7) {
    std::cerr << "usage: sync_child HOST PORT REMOTE_ROOT GAME_FOLDER DATA_HOME SPEED_LIMIT\n";
    return 2;
  }
  // A test that dies leaves no launcher behind that goes on writing its folder.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  quorrel::registerBundledFonts();
  return quorrel::testing::installUntilKilled(argv);
}
