#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "exception.h"
#include "hash_cache.h"
#include "io_error.h"
#include "partial_copy.h"
#include "stream.h"

namespace quorrel {

// A fetched file whose SHA-256 is not the one expected of it; it was not put
// in place.
class ContentMismatch : public Exception {
 public:
  using Exception::Exception;
};

// The game folder as the synchronisation writes it: every path is relative
// to it, and nothing is created or written outside it, however the folders
// inside are linked.
class GameFolder {
 public:
  explicit GameFolder(QString root);

  // Whether a name from the server can name a file or folder on this disk
  // just as the server spells it.
  static bool canHoldName(const QString& name);

  // The size of the file there, or -1 when no file is there.
  int64_t fileSize(const QString& relative) const;
  // The bytes free for the player on the game folder's disk.
  int64_t freeSpace() const;
  // Fetches into the file's partial copy beside the target and, only when
  // `fetch` succeeds and the copy then holds exactly `size` bytes, puts it
  // in the target's place; otherwise the old file stays. A copy that an
  // earlier fetch of `source` left is gone on with: `fetch` is told the
  // offset it starts at and delivers the bytes from there on; any other copy
  // is discarded (and without a source, every copy). With `sha256` (not
  // empty), the whole copy, the bytes it kept included, must have that
  // digest, or it is refused with ContentMismatch before it is put in place.
  // A fetch that fails leaves its copy for the next one, unless it holds
  // nothing, the server sent other than `size` bytes, the disk did not take
  // them or the digest did not match. More bytes than the disk has free are
  // refused before anything is fetched, and the stream refuses any byte past
  // `size`.
  void replaceFile(const QString& relative, int64_t size,
                   const std::optional<partial_copy::Source>& source,
                   const std::function<void(TStream&, int64_t from)>& fetch,
                   const QByteArray& sha256 = {}) const;

  // Removes from the folder `relative` ("" for the game folder itself) the
  // partial copies and records of every file but those named in `listed`,
  // and every partial copy of an earlier version's naming (unless `listed`
  // names it: then it is the server's). Only plain files and links go, never
  // what a link leads to, and nothing that merely looks alike. The folder is
  // reached as the fetches reach it, never through a link out of the game
  // folder. A name that cannot be removed goes to `failed` with the system's
  // reason; InOutError when the folder cannot be opened or listed.
  void removeStalePartialCopies(const QString& relative, const QSet<QString>& listed,
                                const std::function<void(const InOutError&)>& failed) const;

  // The size and times of the file there, or nothing when no file is there
  // (links followed as fileSize follows them).
  std::optional<FileStamp> stampOf(const QString& relative) const;
  // The SHA-256 of the file there, reading it whole; `bytesRead` grows by
  // what was read. InOutError when it cannot be read.
  QByteArray sha256Of(const QString& relative, int64_t& bytesRead) const;

 private:
  // The open folder that holds `relative`'s last component.
  class Parent;
  class PartialCopy;
  Parent openParent(const QString& relative) const;

  QString root_;
};

// Whether `path` leads, once every link is resolved, to a place inside `root`
// (not `root` itself).
bool leadsInside(const QString& root, const QString& path);

// Whether `folder` is one that a game must never be written into: the file
// system's root, the player's home folder itself, or a folder of the system.
bool isProtectedFolder(const QString& folder);

// A hold on the game folder while a flow writes into it, so that two
// launchers never work in one folder at once. Released when destroyed, and by
// the system when the process ends.
class GameFolderLock {
 public:
  // The lock, or nothing when another launcher holds it. A folder that
  // cannot be opened gives a lock that holds nothing: the flow fails on it
  // in its own way.
  static std::optional<GameFolderLock> take(const QString& root);
  GameFolderLock(GameFolderLock&& other) noexcept;
  GameFolderLock& operator=(GameFolderLock&&) = delete;
  ~GameFolderLock();

 private:
  struct Hold;  // what the system holds the lock by
  explicit GameFolderLock(std::unique_ptr<Hold> hold);
  std::unique_ptr<Hold> hold_;
};

// The folders from the game folder down to the one a walk is in, each held
// open, so that a step deeper costs the same at any depth.
class FolderTrail {
 public:
  explicit FolderTrail(QString root);
  ~FolderTrail();
  FolderTrail(const FolderTrail&) = delete;
  FolderTrail& operator=(const FolderTrail&) = delete;

  // Steps into the folder `name` of the current one, creating it (one level)
  // when no folder is there.
  void enter(const QString& name);
  void leave();
  // The folders entered and not yet left.
  size_t depth() const;

 private:
  struct Folders;  // the open folders with their paths, the game folder first
  QString root_;
  std::unique_ptr<Folders> folders_;
};

}  // namespace quorrel
