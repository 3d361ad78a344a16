#include "game_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "io_error.h"
#include "listed_size_stream.h"
#include "partial_copy.h"
#include "posix/descriptor.h"

namespace quorrel {

namespace {

using posix::Descriptor;

std::string realPath(const QByteArray& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.constData(), resolved) ? std::string(resolved) : std::string();
}

std::string text(const QByteArray& bytes) {
  return bytes.toStdString();
}

QStringList componentsOf(const QString& relative) {
  return relative.split(QChar('/'), Qt::SkipEmptyParts);
}

// The game folder's path without a trailing separator, so that paths built
// from it read well in messages.
QByteArray rootPathOf(const QString& root) {
  QByteArray path = QFile::encodeName(root);
  while (path.size() > 1 && path.endsWith('/')) path.chop(1);
  return path;
}

bool leadsInside(const QByteArray& path, const QByteArray& rootPath) {
  const std::string rootReal = realPath(rootPath);
  return !rootReal.empty() && realPath(path).rfind(rootReal + "/", 0) == 0;
}

Descriptor openGameFolder(const QByteArray& rootPath) {
  Descriptor folder(::open(rootPath.constData(), O_DIRECTORY | O_RDONLY | O_CLOEXEC));
  if (folder.get() < 0)
    throw InOutError::fromErrno(errno, "Cannot open the game folder " + text(rootPath));
  return folder;
}

// Opens the folder `name` of `parent`; a link is followed only where it
// leads to a folder inside the game folder.
Descriptor openFolderIn(int parent, const QByteArray& name, const QByteArray& path,
                        const QByteArray& rootPath) {
  int flags = O_DIRECTORY | O_RDONLY | O_CLOEXEC | O_NOFOLLOW;
  struct stat entry {};
  if (::fstatat(parent, name.constData(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(entry.st_mode)) {
    if (!leadsInside(path, rootPath))
      throw InOutError(kAccessDenied, text(path) + " links outside the game folder");
    flags &= ~O_NOFOLLOW;
  }
  Descriptor folder(::openat(parent, name.constData(), flags));
  if (folder.get() < 0) throw InOutError::fromErrno(errno, "Cannot open the folder " + text(path));
  return folder;
}

// The folder `count` components below the game folder, each reached as
// openFolderIn() allows; `path` becomes its path.
Descriptor openFolders(const QByteArray& rootPath, const QStringList& components, qsizetype count,
                       QByteArray& path) {
  Descriptor folder = openGameFolder(rootPath);
  path = rootPath;
  for (qsizetype i = 0; i < count; ++i) {
    const QByteArray name = QFile::encodeName(components[i]);
    path += '/' + name;
    folder = openFolderIn(folder.get(), name, path, rootPath);
  }
  return folder;
}

// The status of `name` in `folder`, a link followed only where it leads to a
// file inside the game folder; nothing when no file is there.
std::optional<struct stat> fileStatus(int folder, const QByteArray& name, const QByteArray& path,
                                      const QByteArray& rootPath) {
  struct stat entry {};
  if (::fstatat(folder, name.constData(), &entry, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  if (S_ISLNK(entry.st_mode) &&
      (!leadsInside(path, rootPath) || ::fstatat(folder, name.constData(), &entry, 0) != 0))
    return std::nullopt;
  if (!S_ISREG(entry.st_mode)) return std::nullopt;
  return entry;
}

int64_t nanoseconds(const struct timespec& time) {
  return int64_t{time.tv_sec} * 1000000000 + time.tv_nsec;
}

// A file of the game folder by its descriptor.
class DescriptorFile : public OpenFile {
 public:
  DescriptorFile(int fd, QByteArray path) : fd_(fd), path_(std::move(path)) {}
  void writeAt(int64_t offset, const char* bytes, int64_t count) override {
    if (posix::writeAll(fd_.get(), bytes, count, offset) != count)
      throw InOutError::fromErrno(errno, "Cannot write " + text(path_));
  }
  int64_t readAt(int64_t offset, char* buffer, int64_t capacity) override {
    for (;;) {
      const ssize_t got = ::pread(fd_.get(), buffer, static_cast<size_t>(capacity), offset);
      if (got >= 0) return got;
      if (errno != EINTR) throw InOutError::fromErrno(errno, "Cannot read " + text(path_));
    }
  }
  void close() override {
    if (::close(fd_.release()) != 0)
      throw InOutError::fromErrno(errno, "Cannot write " + text(path_));
  }

 private:
  Descriptor fd_;
  QByteArray path_;
};

// The record beside a partial copy, or nothing when there is none or it
// cannot be read: a record is a few bytes, so a long one is no record.
std::optional<partial_copy::Source> readRecord(int folder, const QByteArray& name) {
  constexpr qsizetype kMostRecordBytes = 256;
  // Not blocking on whatever else may stand under the name, a pipe say.
  Descriptor record(
      ::openat(folder, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat entry {};
  if (record.get() < 0 || ::fstat(record.get(), &entry) != 0 || !S_ISREG(entry.st_mode))
    return std::nullopt;
  QByteArray text(kMostRecordBytes + 1, '\0');
  const ssize_t got = ::pread(record.get(), text.data(), static_cast<size_t>(text.size()), 0);
  if (got < 0 || got > kMostRecordBytes) return std::nullopt;
  text.truncate(got);
  return partial_copy::parseRecord(text);
}

}  // namespace

class GameFolder::Parent {
 public:
  Parent(Descriptor folder, QByteArray name, QByteArray folderPath)
      : folder(std::move(folder)), name(std::move(name)), folderPath(std::move(folderPath)) {}
  QByteArray path() const { return folderPath + '/' + name; }
  QByteArray pathOf(const QByteArray& other) const { return folderPath + '/' + other; }
  Descriptor folder;
  QByteArray name;        // the last component
  QByteArray folderPath;  // the path of `folder`, for messages and link checks
};

// A file's partial copy beside it, and the record of the server's file it
// comes from (see partial_copy.h).
class GameFolder::PartialCopy {
 public:
  PartialCopy(const Parent& parent, const QByteArray& name)
      : folder_(parent.folder.get()),
        copy_(partial_copy::copyName(name)),
        record_(partial_copy::recordName(name)),
        copyPath_(parent.pathOf(copy_)),
        recordPath_(parent.pathOf(record_)) {}

  const QByteArray& path() const { return copyPath_; }

  // A folder at the copy's or the record's name would fail every fetch of
  // the file; it is the player's to remove, so the error names it.
  void refuseFolders() const {
    for (const auto& [name, path] :
         {std::pair{&copy_, &copyPath_}, std::pair{&record_, &recordPath_}}) {
      struct stat entry {};
      if (::fstatat(folder_, name->constData(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISDIR(entry.st_mode))
        throw Exception(text(*path) + " is a folder in the place of the launcher's partial copy");
    }
  }

  // The copy an earlier fetch left, open to go on with; none when no plain
  // file is there. A copy with another link (a hard link to some other
  // file) is none either: going on would write into that file, and
  // discarding the copy removes only this name of it.
  Descriptor openKept() const {
    // Not blocking on whatever else may stand under the name, a pipe say.
    Descriptor fd(
        ::openat(folder_, copy_.constData(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat entry {};
    if (fd.get() < 0 || ::fstat(fd.get(), &entry) != 0 || !S_ISREG(entry.st_mode) ||
        entry.st_nlink != 1)
      return Descriptor();
    return fd;
  }

  // Where a fetch of `source`, listed with `size` bytes, goes on in `kept`.
  int64_t resumeOffset(const Descriptor& kept, const std::optional<partial_copy::Source>& source,
                       int64_t size) const {
    struct stat entry {};
    if (!source || kept.get() < 0 || ::fstat(kept.get(), &entry) != 0) return 0;
    return partial_copy::resumeOffset(static_cast<int64_t>(entry.st_size),
                                      readRecord(folder_, record_), *source, size);
  }

  // The copy to write from `from` on: `kept` to go on with, or from 0 a
  // new, empty one, recorded as of `source`. The record goes last, so a
  // copy whose record is missing or damaged is never taken for one of
  // another file. Readable too: the digest of a fetch reads the kept bytes,
  // and blocks that arrived out of order, back from the copy.
  Descriptor open(int64_t from, Descriptor kept,
                  const std::optional<partial_copy::Source>& source) const {
    if (from > 0) return kept;
    kept = Descriptor();
    discard();
    Descriptor fd(::openat(folder_, copy_.constData(),
                           O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd.get() < 0) throw InOutError::fromErrno(errno, "Cannot create " + text(copyPath_));
    try {
      if (source) writeRecord(*source);
    } catch (...) {
      discard();
      throw;
    }
    return fd;
  }

  // Puts the whole copy in the place of `target`, and drops its record.
  void moveTo(const QByteArray& target, const QByteArray& targetPath) const {
    if (::renameat(folder_, copy_.constData(), folder_, target.constData()) != 0)
      throw InOutError::fromErrno(errno,
                                  "Cannot move " + text(copyPath_) + " to " + text(targetPath));
    ::unlinkat(folder_, record_.constData(), 0);
  }

  // Removes the copy and its record, if there; what cannot be removed is
  // found out by the next open.
  void discard() const {
    ::unlinkat(folder_, record_.constData(), 0);
    ::unlinkat(folder_, copy_.constData(), 0);
  }

 private:
  void writeRecord(const partial_copy::Source& source) const {
    const QByteArray content = partial_copy::recordText(source);
    Descriptor record(::openat(folder_, record_.constData(),
                               O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (record.get() < 0 ||
        posix::writeAll(record.get(), content.constData(), content.size(), 0) != content.size())
      throw InOutError::fromErrno(errno, "Cannot write " + text(recordPath_));
  }

  int folder_;
  QByteArray copy_;
  QByteArray record_;
  QByteArray copyPath_;  // for messages
  QByteArray recordPath_;
};

GameFolder::GameFolder(QString root) : root_(std::move(root)) {}

bool GameFolder::canHoldName(const QString& name) {
  return QFile::encodeName(name).size() <= NAME_MAX;
}

GameFolder::Parent GameFolder::openParent(const QString& relative) const {
  const QStringList components = componentsOf(relative);
  if (components.isEmpty())
    throw InOutError(kInvalidFilename, "No file name in " + relative.toStdString());
  QByteArray path;
  Descriptor folder = openFolders(rootPathOf(root_), components, components.size() - 1, path);
  return Parent(std::move(folder), QFile::encodeName(components.last()), path);
}

void GameFolder::removeStalePartialCopies(
    const QString& relative, const QSet<QString>& listed,
    const std::function<void(const InOutError&)>& failed) const {
  const QStringList components = componentsOf(relative);
  QByteArray path;
  const Descriptor folder = openFolders(rootPathOf(root_), components, components.size(), path);
  QSet<QByteArray> kept;
  for (const QString& name : listed) {
    const QByteArray encoded = QFile::encodeName(name);
    kept << encoded << partial_copy::copyName(encoded) << partial_copy::recordName(encoded);
  }
  // The listing reads through a descriptor of its own; the folder's stays
  // for the removals.
  Descriptor listing(::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0));
  DIR* const entries = listing.get() >= 0 ? ::fdopendir(listing.get()) : nullptr;
  if (!entries) throw InOutError::fromErrno(errno, "Cannot list the folder " + text(path));
  listing.release();  // the listing's now
  std::vector<QByteArray> stale;
  while (const dirent* entry = ::readdir(entries)) {
    const QByteArray name(entry->d_name);
    if (!kept.contains(name) &&
        (partial_copy::isPartialCopyName(name) || partial_copy::isOldStyleCopyName(name)))
      stale.push_back(name);
  }
  ::closedir(entries);
  for (const QByteArray& name : stale) {
    struct stat entry {};
    if (::fstatat(folder.get(), name.constData(), &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
        !(S_ISREG(entry.st_mode) || S_ISLNK(entry.st_mode)))
      continue;  // gone meanwhile, or a folder or the like: no copy
    if (::unlinkat(folder.get(), name.constData(), 0) != 0 && errno != ENOENT)
      failed(InOutError::fromErrno(errno, "Cannot remove " + text(path + '/' + name)));
  }
}

int64_t GameFolder::fileSize(const QString& relative) const {
  const std::optional<FileStamp> stamp = stampOf(relative);
  return stamp ? stamp->size : -1;
}

std::optional<FileStamp> GameFolder::stampOf(const QString& relative) const {
  try {
    const Parent parent = openParent(relative);
    const std::optional<struct stat> entry =
        fileStatus(parent.folder.get(), parent.name, parent.path(), rootPathOf(root_));
    if (!entry) return std::nullopt;
    return FileStamp{static_cast<int64_t>(entry->st_size), nanoseconds(entry->st_mtim),
                     nanoseconds(entry->st_ctim)};
  } catch (const InOutError&) {
    return std::nullopt;
  }
}

QByteArray GameFolder::sha256Of(const QString& relative, int64_t& bytesRead) const {
  const Parent parent = openParent(relative);
  if (!fileStatus(parent.folder.get(), parent.name, parent.path(), rootPathOf(root_)))
    throw InOutError(kFileNotFound, text(parent.path()) + " is no file inside the game folder");
  // A link there was checked to lead inside the game folder just above.
  const int fd = ::openat(parent.folder.get(), parent.name.constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw InOutError::fromErrno(errno, "Cannot open " + text(parent.path()));
  DescriptorFile file(fd, parent.path());
  Sha256 hash;
  bytesRead += hashFromStart(hash, file);
  return hash.result();
}

int64_t GameFolder::freeSpace() const {
  const QByteArray rootPath = rootPathOf(root_);
  struct statvfs disk {};
  if (::statvfs(rootPath.constData(), &disk) != 0)
    throw InOutError::fromErrno(errno, "Cannot read the free space of " + text(rootPath));
  return static_cast<int64_t>(uint64_t{disk.f_bavail} * disk.f_frsize);
}

void GameFolder::replaceFile(const QString& relative, int64_t size,
                             const std::optional<partial_copy::Source>& source,
                             const std::function<void(TStream&, int64_t from)>& fetch,
                             const QByteArray& sha256) const {
  const Parent parent = openParent(relative);
  struct stat entry {};
  if (::fstatat(parent.folder.get(), parent.name.constData(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(entry.st_mode))
    throw InOutError(kAccessDenied, text(parent.path()) + " is a folder");
  struct statvfs disk {};
  if (::fstatvfs(parent.folder.get(), &disk) != 0)
    throw InOutError::fromErrno(errno, "Cannot read the free space of " + text(parent.folderPath));
  const PartialCopy copy(parent, parent.name);
  copy.refuseFolders();
  Descriptor kept = copy.openKept();
  const int64_t from = copy.resumeOffset(kept, source, size);
  const uint64_t freeBytes = uint64_t{disk.f_bavail} * disk.f_frsize;
  if (size < 0 || static_cast<uint64_t>(size - from) > freeBytes)
    throw InOutError(kDiskFull, relative.toStdString() + " is listed with " + std::to_string(size) +
                                    " bytes; the disk of " + text(parent.folderPath) + " has " +
                                    std::to_string(freeBytes) + " bytes free");

  ListedSizeStream stream(std::make_unique<DescriptorFile>(
                              copy.open(from, std::move(kept), source).release(), copy.path()),
                          relative, size, from, sha256);
  try {
    stream.hashKeptBytes(from);
    fetch(stream, from);
    // Not synced to the disk: a file a crash leaves short has another size,
    // and the next run fetches it again.
    stream.finish();
  } catch (...) {
    // A copy is kept for the next fetch to go on from, unless it holds
    // nothing or is worth nothing: a full disk gets its space back.
    if (stream.worthless() || stream.reached() == 0) copy.discard();
    throw;
  }
  try {
    copy.moveTo(parent.name, parent.path());
  } catch (...) {
    copy.discard();
    throw;
  }
}

bool leadsInside(const QString& root, const QString& path) {
  return leadsInside(QFile::encodeName(path), rootPathOf(root));
}

namespace {

// Folders of the system itself; a game below them would be written with the
// player's rights into places the system owns.
const char* const kSystemFolders[] = {"/bin",   "/boot",  "/dev",    "/etc",  "/lib",
                                      "/lib32", "/lib64", "/libx32", "/proc", "/run",
                                      "/sbin",  "/sys",   "/usr",    "/var"};

}  // namespace

bool isProtectedFolder(const QString& folder) {
  const QString real = QFileInfo(folder).canonicalFilePath();
  if (real.isEmpty()) return false;
  if (real == QDir::rootPath() || real == QFileInfo(QDir::homePath()).canonicalFilePath())
    return true;
  for (const char* system : kSystemFolders) {
    const QString systemFolder = QString::fromLatin1(system);
    if (real == systemFolder || real.startsWith(systemFolder + '/')) return true;
  }
  return false;
}

struct GameFolderLock::Hold {
  Descriptor folder;
};

GameFolderLock::GameFolderLock(std::unique_ptr<Hold> hold) : hold_(std::move(hold)) {}

std::optional<GameFolderLock> GameFolderLock::take(const QString& root) {
  Descriptor folder(
      ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0 && ::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) {
    // A file system without locks cannot tell; only a lock held elsewhere stops the flow.
    if (errno == EWOULDBLOCK) return std::nullopt;
    folder = Descriptor();
  }
  return GameFolderLock(std::make_unique<Hold>(Hold{std::move(folder)}));
}

GameFolderLock::GameFolderLock(GameFolderLock&& other) noexcept = default;

// Closing the folder's last descriptor releases the lock.
GameFolderLock::~GameFolderLock() = default;

struct FolderTrail::Folders {
  std::vector<Descriptor> open;
};

FolderTrail::FolderTrail(QString root)
    : root_(std::move(root)), folders_(std::make_unique<Folders>()) {}

FolderTrail::~FolderTrail() = default;

size_t FolderTrail::depth() const {
  return folders_->open.empty() ? 0 : folders_->open.size() - 1;
}

void FolderTrail::enter(const QString& name) {
  std::vector<Descriptor>& open = folders_->open;
  const QByteArray rootPath = rootPathOf(root_);
  if (open.empty()) {
    open.push_back(openGameFolder(rootPath));
    path_ = rootPath;
  }
  const QByteArray encoded = QFile::encodeName(name);
  const QByteArray path = path_ + '/' + encoded;
  if (::mkdirat(open.back().get(), encoded.constData(), 0755) != 0 && errno != EEXIST)
    throw InOutError::fromErrno(errno, "Cannot create the folder " + text(path));
  // A folder already there is used as it is; a link to one inside the game folder too.
  open.push_back(openFolderIn(open.back().get(), encoded, path, rootPath));
  path_ = path;
}

void FolderTrail::leave() {
  std::vector<Descriptor>& open = folders_->open;
  if (open.size() < 2) return;
  open.pop_back();
  path_.truncate(path_.lastIndexOf('/'));
}

}  // namespace quorrel
