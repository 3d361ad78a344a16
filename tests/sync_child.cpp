// A launcher in a process of its own, for tests that end it from outside.
//
//   sync_child until-signal STATE HOST PORT REMOTE_ROOT GAME_FOLDER DATA_HOME
//     The launcher with the system's own application, message boxes and
//     dialogs runs its message loop until a signal ends it. STATE is where it
//     waits for the signal: "update" (an update from the patch server, under
//     way), "browser" (the folder browser, open at start-up) or "error-box"
//     (an error box of the start-up, open over the window). It prints "ready"
//     once there.
//
// DATA_HOME is where the host key is remembered.
#include <sys/prctl.h>

#include <QApplication>
#include <QTimer>
#include <csignal>
#include <iostream>
#include <string>

#include "resources.h"
#include "sync_harness.h"

namespace quorrel::testing {
namespace {

void sayReady() {
  std::cout << "ready" << std::endl;
}

// Says "ready" once a modal dialog shows, and keeps looking until it does.
void sayReadyOnceADialogShows() {
  auto* watcher = new QTimer(qApp);
  QObject::connect(watcher, &QTimer::timeout, [watcher] {
    if (!QApplication::activeModalWidget()) return;
    watcher->stop();
    sayReady();
  });
  watcher->start(20);
}

int untilSignal(QApplication& app, char** argv) {
  const std::string state = argv[2];
  rememberHostKeysIn(argv[7]);
  QtApplication application;
  QtDialogs dialogs(application);
  QtMessageBox messageBox(application);
  FormHarness harness;
  harness.applicationService = &application;
  harness.dialogService = &dialogs;
  harness.messageBoxService = &messageBox;
  usePatchServer(harness, argv[3], std::stoi(argv[4]));
  if (state == "browser") {
    sayReadyOnceADialogShows();
    harness.start();
  } else {
    TForm1& form = startOnGameFolder(harness, QString::fromLocal8Bit(argv[6]),
                                     QString::fromLocal8Bit(argv[5]));
    if (state == "error-box") {
      // As an error of the start-up shows it: before the message loop runs.
      sayReadyOnceADialogShows();
      form.showErrorBox(std::runtime_error("An error the player has not closed yet"));
    } else {
      QTimer::singleShot(0, &form, [&form] {
        sayReady();
        form.startUpdate->click();
      });
    }
  }
  return application.runMessageLoop(app);
}

}  // namespace
}  // namespace quorrel::testing

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (!(mode == "until-signal" && argc == 8)) {
    std::cerr << "usage: sync_child until-signal STATE HOST PORT REMOTE_ROOT GAME_FOLDER "
                 "DATA_HOME\n";
    return 2;
  }
  // A test that dies leaves no launcher behind that goes on writing its folder.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  quorrel::registerBundledFonts();
  return quorrel::testing::untilSignal(app, argv);
}
