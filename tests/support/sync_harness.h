#pragma once

#include <QDir>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <random>

#include "form_harness.h"
#include "sshd_server.h"
#include "user_data_home.h"

namespace quorrel::testing {

namespace fs = std::filesystem;

inline std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeBytes(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// A path named in UTF-8, as the tests write names, on every system (Windows would read the bytes
// in its ANSI code page).
inline fs::path utf8Path(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

inline std::string randomBytes(size_t count, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(count, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

// The real window against a real sshd that serves a patch tree.
class SyncHarness {
 public:
  explicit SyncHarness(SshdServer::Options options = {}) : server(std::move(options)) {
    patchTree = server.dataDir() / "upload";
    fs::create_directories(patchTree);
    // The keys the launcher remembers go to a folder of this test.
    dataHome = server.dataDir().parent_path() / "data-home";
    setUserDataHome(dataHome);
    LauncherConfig& config = harness.config();
    config.patchHost = QString::fromStdString(server.host());
    config.patchPort = server.port();
    config.patchAccount = QString::fromStdString(SshdServer::user());
  }

  // Starts the window on an existing game folder, with or without WoW.exe.
  TForm1& start(const QString& gameFolderName, bool withGame) {
    game = harness.makeFolder(gameFolderName, withGame);
    harness.storeSetting("WoWPath", game);
    TForm1& form = harness.start();
    form.updateTimer->stop();  // the tests start the flows themselves
    form.remote_root = QString::fromStdString(server.remoteDataDir() + "/upload");
    return form;
  }
  fs::path local(const std::string& relative) const {
    return fs::path(game.toStdU16String()) / utf8Path(relative);
  }
  void serve(const std::string& relative, const std::string& content) {
    writeBytes(patchTree / utf8Path(relative), content);
    server.chownToUser(server.dataDir());
  }
  void clickInstall() {
    QTest::mouseClick(harness.form().install, Qt::LeftButton, {}, QPoint(70, 23));
  }
  QString status() { return harness.form().connstatus->text(); }

  SshdServer server;
  FormHarness harness;
  fs::path patchTree;
  fs::path dataHome;
  QString game;
};

}  // namespace quorrel::testing
