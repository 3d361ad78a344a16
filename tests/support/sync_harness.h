#pragma once

#include <QDir>
#include <QTest>

#include "form_harness.h"
#include "sync_files.h"

namespace quorrel::testing {

// The window logs in to the patch server at `host`:`port` with the test account.
inline void usePatchServer(FormHarness& harness, const std::string& host, int port) {
  LauncherConfig& config = harness.config();
  config.patchHost = QString::fromStdString(host);
  config.patchPort = port;
  config.patchAccount = QString::fromStdString(SshdServer::user());
}

// Starts the window on `game` with the patch tree at `remoteRoot`; the flows
// are left for the caller to start.
inline TForm1& startOnGameFolder(FormHarness& harness, const QString& game,
                                 const QString& remoteRoot) {
  harness.storeSetting("WoWPath", game);
  TForm1& form = harness.start();
  form.updateTimer->stop();
  form.remote_root = remoteRoot;
  return form;
}

inline void clickInstall(TForm1& form) {
  QTest::mouseClick(form.install, Qt::LeftButton, {}, QPoint(70, 23));
}

// The real window against a real sshd that serves a patch tree.
class SyncHarness {
 public:
  explicit SyncHarness(SshdServer::Options options = {}) : server(std::move(options)) {
    patchTree = server.dataDir() / "upload";
    fs::create_directories(patchTree);
    // The keys the launcher remembers go to a folder of this test.
    dataHome = server.dataDir().parent_path() / "data-home";
    rememberHostKeysIn(dataHome);
    usePatchServer(harness, server.host(), server.port());
  }

  // Starts the window on an existing game folder, with or without WoW.exe.
  TForm1& start(const QString& gameFolderName, bool withGame) {
    game = harness.makeFolder(gameFolderName, withGame);
    return startOnGameFolder(harness, game, remoteRoot());
  }
  // The patch tree as the launcher finds it on the server.
  QString remoteRoot() const { return QString::fromStdString(server.remoteDataDir() + "/upload"); }
  fs::path local(const std::string& relative) const {
    return fs::path(game.toStdU16String()) / utf8Path(relative);
  }
  void serve(const std::string& relative, const std::string& content) {
    writeBytes(patchTree / utf8Path(relative), content);
    server.chownToUser(server.dataDir());
  }
  void clickInstall() { quorrel::testing::clickInstall(harness.form()); }
  QString status() { return harness.form().connstatus->text(); }

  SshdServer server;
  FormHarness harness;
  fs::path patchTree;
  fs::path dataHome;
  QString game;
};

// Every way of closing the window: its close button, the window manager's
// close (Alt+F4, the taskbar), and the end of the desktop session (or a
// termination signal, which reaches the window the same way).
enum class CloseWay { Button, WindowManager, SessionEnd };

inline void closeBy(CloseWay way, FormHarness& harness) {
  TForm1& form = harness.form();
  switch (way) {
    case CloseWay::Button:
      form.exit->click();
      break;
    case CloseWay::WindowManager:
      form.close();
      break;
    case CloseWay::SessionEnd:
      harness.application.endOfSession();
      break;
  }
}

inline const char* nameOf(CloseWay way) {
  switch (way) {
    case CloseWay::Button:
      return "Button";
    case CloseWay::WindowManager:
      return "WindowManager";
    case CloseWay::SessionEnd:
      return "SessionEnd";
  }
  return "Unknown";
}

}  // namespace quorrel::testing
