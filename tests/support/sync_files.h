#pragma once

#include <QByteArray>
#include <QDateTime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>

#include "manifest.h"
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
                              const std::optional<manifest::Release>& release = {}) {
  std::vector<manifest::Entry> entries;
  for (const auto& [path, content] : tree)
    entries.push_back({QString::fromStdString(path), int64_t(content.size()), sha256(content)});
  return manifest::format(entries, release).toStdString();
}

inline std::string withOneByteFlipped(std::string bytes) {
  bytes[bytes.size() / 2] ^= 0x10;
  return bytes;
}

// Serves `tree` and its manifest from a harness's patch server; the manifest's text.
template <typename Harness>
std::string serveWithManifest(Harness& sync, const Tree& tree,
                              const std::optional<manifest::Release>& release = {}) {
  for (const auto& [path, content] : tree) sync.serve(path, content);
  const std::string text = manifestOf(tree, release);
  sync.serve(manifest::kFileName.toStdString(), text);
  return text;
}

}  // namespace quorrel::testing
