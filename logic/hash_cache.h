#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <cstdint>
#include <optional>

namespace quorrel {

// What tells that a file is still the one that was hashed: its size, the
// time it was last written and the time its entry last changed, to the
// nanosecond. A tool that writes a file and sets its old modification time
// back cannot set the change time too.
struct FileStamp {
  std::int64_t size = 0;
  std::int64_t modifiedNs = 0;
  std::int64_t changedNs = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// The SHA-256 digests of one game folder's files, keyed by relative path and
// stamp, so that comparing an unchanged folder with the manifest reads no file.
// It lives in the player's state folder, not in the game folder: there it is
// never taken for a game file, never listed or replaced by a flow, and no link
// in the game folder can lead its writes elsewhere. A cache file that cannot
// be read only costs the hashing again; one that is a link is neither read nor
// written through.
class HashCache {
 public:
  // The cache of `gameFolder` in `stateFolder`: one file per game folder.
  HashCache(const QString& stateFolder, const QString& gameFolder);

  // The digest recorded for `path` while it had `stamp`, if any.
  std::optional<QByteArray> find(const QString& path, const FileStamp& stamp);
  void record(const QString& path, const FileStamp& stamp, const QByteArray& sha256);
  // Writes the entries found or recorded since the cache was read, so files
  // gone from the folder drop out; a cache that would not change is left as
  // it is. Exception when the file cannot be written.
  void save() const;

  const QString& file() const { return file_; }

 private:
  struct Cached {
    FileStamp stamp;
    QByteArray sha256;
    bool used = false;
  };
  void load();
  bool changed() const;
  QString file_;
  QHash<QString, Cached> entries_;
  bool recorded_ = false;
};

}  // namespace quorrel
