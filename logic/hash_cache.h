#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <cstdint>
#include <optional>

#include "manifest.h"

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
  // Bounds on what is read of a cache file, so that a damaged or planted one
  // cannot take the player's memory. The cache holds a line for each file
  // of the manifest that a walk listed: the manifest's own line (digest,
  // size, path) with the file's two times added. So no line the launcher
  // writes is longer than a manifest's longest path and the fixed fields
  // allow, and no cache it writes is larger than the largest manifest plus
  // the times (and a size of any length) of every file a walk may list: the
  // walk stops at 500,000 entries in all (TForm1::WalkLimits).
  static constexpr qint64 kMostFiles = 500000;
  // " <size> <modified> <changed>": three numbers of up to 20 characters each.
  static constexpr qint64 kNumbersBytes = 3 * (1 + 20);
  static constexpr qint64 kMaxLineBytes = 64 + kNumbersBytes + 1 + manifest::kMaxPathBytes;
  // 128 MiB, above the 96 MiB of the largest manifest and 63 bytes more for
  // each of 500,000 files.
  static constexpr qint64 kMaxFileBytes = 128 * 1024 * 1024;
  static_assert(kMaxFileBytes >= manifest::kMaxBytes + kMostFiles * kNumbersBytes + 64);

  // The cache of `gameFolder` in `stateFolder`: one file per game folder. A
  // file larger than kMaxFileBytes is not read, and written anew at save();
  // a line longer than kMaxLineBytes is left out.
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
  bool discarded_ = false;  // the file was too large to be read
};

}  // namespace quorrel
