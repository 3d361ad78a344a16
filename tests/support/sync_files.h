#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDateTime>
#include <QStringList>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "manifest.h"
#include "partial_copy.h"
#include "sha256.h"
#include "sshd_server.h"
#include "user_data_home.h"

// The files of the synchronisation tests, on the server and in the game
// folder, for the tests of the window and of the engine alike.
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

// The host keys the launcher remembers go to `dataHome`, a folder of the test.
inline void rememberHostKeysIn(const fs::path& dataHome) {
  setUserDataHome(dataHome);
}

// Relative path and content of every file a tree holds.
using Tree = std::map<std::string, std::string>;

inline QByteArray sha256(const std::string& bytes) {
  return Sha256::of(QByteArray::fromStdString(bytes));
}

// Release `version`, trusted from now on for `days` (gone by, when negative).
inline manifest::Release releaseOf(int64_t version, int days = 1) {
  return {version, QDateTime::currentDateTimeUtc().addDays(days)};
}

inline std::string manifestOf(const Tree& tree,
                              const std::optional<manifest::Release>& release = {},
                              const QStringList& mirrors = {}) {
  std::vector<manifest::Entry> entries;
  for (const auto& [path, content] : tree)
    entries.push_back({QString::fromStdString(path), int64_t(content.size()), sha256(content)});
  return manifest::format(entries, release, mirrors).toStdString();
}

inline std::string withOneByteFlipped(std::string bytes) {
  bytes[bytes.size() / 2] ^= 0x10;
  return bytes;
}

// Serves `tree` and its manifest from a harness's patch server; the manifest's text.
template <typename Harness>
std::string serveWithManifest(Harness& sync, const Tree& tree,
                              const std::optional<manifest::Release>& release = {},
                              const QStringList& mirrors = {}) {
  for (const auto& [path, content] : tree) sync.serve(path, content);
  const std::string text = manifestOf(tree, release, mirrors);
  sync.serve(manifest::kFileName.toStdString(), text);
  return text;
}

// The partial copy of the game folder's file `relative`, and the record of the server file it
// is a copy of, where a harness's game folder holds them.
template <typename Harness>
fs::path copyOf(const Harness& sync, const std::string& relative) {
  const fs::path target = sync.local(relative);
  return target.parent_path() /
         partial_copy::copyName(QByteArray::fromStdString(target.filename().string()))
             .toStdString();
}

template <typename Harness>
fs::path recordOf(const Harness& sync, const std::string& relative) {
  const fs::path target = sync.local(relative);
  return target.parent_path() /
         partial_copy::recordName(QByteArray::fromStdString(target.filename().string()))
             .toStdString();
}

// The entries below `folder` that are partial copies or their records.
inline std::vector<std::string> partialCopiesIn(const fs::path& folder) {
  std::vector<std::string> found;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder))
    if (partial_copy::isPartialCopyName(
            QByteArray::fromStdString(entry.path().filename().string())))
      found.push_back(entry.path().string());
  return found;
}

// The size and time that the server's own system gives the file.
template <typename Harness>
partial_copy::Source serverVersion(const Harness& sync, const std::string& relative) {
  const CommandResult stat =
      runCommand({"stat", "-c", "%s %Y", (sync.patchTree / relative).string()});
  EXPECT_EQ(stat.exitCode, 0) << stat.err;
  int64_t size = -1;
  int64_t modified = -1;
  std::istringstream(stat.out) >> size >> modified;
  return {size, modified};
}

// Where a flow went on with `relative` by the lines it logged, or -1 when it fetched the file
// from its first byte.
inline int64_t resumedAt(const QStringList& log, const QString& relative) {
  const QString prefix = "Going on with " + relative + " at byte ";
  for (const QString& line : log)
    if (line.startsWith(prefix)) return line.mid(prefix.size()).section(' ', 0, 0).toLongLong();
  return -1;
}

inline int64_t entriesIn(const fs::path& folder) {
  return std::distance(fs::directory_iterator(folder), fs::directory_iterator());
}

// A small disk of the test's own over a folder, gone with the object.
class SmallDisk {
 public:
  SmallDisk(const fs::path& at, bool readOnly) : at_(at) {
    mount({"-t", "tmpfs", "-o", "size=4m,mode=0755", "tmpfs", at_.string()});
    if (readOnly) mount({"-o", "remount,ro", at_.string()});
  }
  ~SmallDisk() { runCommand({"umount", "-l", at_.string()}); }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

 private:
  static void mount(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "mount");
    const CommandResult result = runCommand(arguments);
    if (result.exitCode != 0) throw std::runtime_error("mount failed: " + result.err);
  }
  fs::path at_;
};

#ifdef HOSTILE_SFTP_SERVER
// The hostile SFTP server (tests/fixtures/hostile_sftp_server.cpp) in one of its modes, as the
// SFTP server of the harness's sshd.
inline SshdServer::Options hostileServer(const std::string& mode) {
  SshdServer::Options options;
  options.sftpServer = HOSTILE_SFTP_SERVER;
  options.sftpServerArguments = mode;
  return options;
}
#endif

// For a game folder that lies alone in a folder of its own, against the hostile server: nothing
// beside the game folder, and no temporary file left in it.
template <typename Harness>
void expectNothingStrayed(const Harness& sync) {
  EXPECT_EQ(entriesIn(sync.local("..")), 1);
  for (const auto& entry : fs::recursive_directory_iterator(sync.local("")))
    EXPECT_EQ(entry.path().filename().string().rfind(".quorrel-", 0), std::string::npos)
        << entry.path();
}

}  // namespace quorrel::testing
