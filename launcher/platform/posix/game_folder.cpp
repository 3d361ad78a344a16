#include "game_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

#include "io_error.h"
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

// The SHA-256 of the open file `fd` from its first byte; `bytesRead` grows by what was read.
QByteArray sha256OfDescriptor(int fd, const QByteArray& path, int64_t& bytesRead) {
  QCryptographicHash hash(QCryptographicHash::Sha256);
  std::vector<char> buffer(1024 * 1024);
  for (int64_t offset = 0;;) {
    const ssize_t got = ::pread(fd, buffer.data(), buffer.size(), offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw InOutError::fromErrno(errno, "Cannot read " + text(path));
    if (got == 0) return hash.result();
    hash.addData(QByteArrayView(buffer.data(), got));
    offset += got;
    bytesRead += got;
  }
}

// Short whatever the target's name, so that any name the disk holds can be
// fetched, and never the same twice in one process.
QByteArray temporaryName() {
  static std::atomic<unsigned> made{0};
  return ".quorrel-" + QByteArray::number(::getpid()) + '-' + QByteArray::number(++made) + ".part";
}

// Writes a fetched file, never past the size the listing gave it, and hashes
// its bytes on the way when a digest is expected of it.
class ListedSizeStream : public TStream {
 public:
  ListedSizeStream(int fd, QByteArray path, QString relative, int64_t size, QByteArray sha256)
      : fd_(fd),
        path_(std::move(path)),
        relative_(std::move(relative)),
        size_(size),
        expected_(std::move(sha256)) {}
  void setPosition(int64_t position) override { position_ = position; }
  int64_t read(void*, int64_t) override { return 0; }  // a fetch only writes
  int64_t write(const void* buffer, int64_t count) override {
    if (position_ < 0 || count > size_ - position_)
      throw Exception("The server sent more than the " + std::to_string(size_) +
                      " bytes listed for " + relative_.toStdString());
    if (posix::writeAll(fd_.get(), buffer, count, position_) != count)
      throw InOutError::fromErrno(errno, "Cannot write " + text(path_));
    if (!expected_.isEmpty()) hashInOrder(buffer, count);
    position_ += count;
    reached_ = std::max(reached_, position_);
    return count;
  }
  // Closes the file once it holds exactly the listed size and, when a digest
  // is expected, that digest.
  void finish() {
    if (reached_ != size_)
      throw Exception("The server sent " + std::to_string(reached_) + " of the " +
                      std::to_string(size_) + " bytes listed for " + relative_.toStdString());
    if (!expected_.isEmpty() && digest() != expected_)
      throw ContentMismatch(relative_.toStdString() +
                            " does not match the patch server's manifest");
    if (::close(fd_.release()) != 0)
      throw InOutError::fromErrno(errno, "Cannot write " + text(path_));
  }

 private:
  void hashInOrder(const void* buffer, int64_t count) {
    if (position_ != hashed_) {
      inOrder_ = false;
      return;
    }
    hash_.addData(QByteArrayView(static_cast<const char*>(buffer), count));
    hashed_ += count;
  }
  // Bytes that did not arrive in order are read back from the file instead.
  QByteArray digest() {
    if (inOrder_ && hashed_ == size_) return hash_.result();
    int64_t bytesRead = 0;
    return sha256OfDescriptor(fd_.get(), path_, bytesRead);
  }

  Descriptor fd_;
  QByteArray path_;
  QString relative_;
  int64_t size_;
  QByteArray expected_;
  QCryptographicHash hash_{QCryptographicHash::Sha256};
  int64_t hashed_ = 0;  // the bytes from the first that the hash has taken
  bool inOrder_ = true;
  int64_t position_ = 0;
  int64_t reached_ = 0;
};

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

GameFolder::GameFolder(QString root) : root_(std::move(root)) {}

bool GameFolder::canHoldName(const QString& name) {
  return QFile::encodeName(name).size() <= NAME_MAX;
}

GameFolder::Parent GameFolder::openParent(const QString& relative) const {
  const QByteArray rootPath = rootPathOf(root_);
  Descriptor folder = openGameFolder(rootPath);
  const QStringList components = componentsOf(relative);
  if (components.isEmpty())
    throw InOutError(kInvalidFilename, "No file name in " + relative.toStdString());
  QByteArray path = rootPath;
  for (qsizetype i = 0; i + 1 < components.size(); ++i) {
    const QByteArray name = QFile::encodeName(components[i]);
    path += '/' + name;
    folder = openFolderIn(folder.get(), name, path, rootPath);
  }
  return Parent(std::move(folder), QFile::encodeName(components.last()), path);
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
  const Descriptor file(
      ::openat(parent.folder.get(), parent.name.constData(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) throw InOutError::fromErrno(errno, "Cannot open " + text(parent.path()));
  return sha256OfDescriptor(file.get(), parent.path(), bytesRead);
}

int64_t GameFolder::freeSpace() const {
  const QByteArray rootPath = rootPathOf(root_);
  struct statvfs disk {};
  if (::statvfs(rootPath.constData(), &disk) != 0)
    throw InOutError::fromErrno(errno, "Cannot read the free space of " + text(rootPath));
  return static_cast<int64_t>(uint64_t{disk.f_bavail} * disk.f_frsize);
}

void GameFolder::replaceFile(const QString& relative, int64_t size,
                             const std::function<void(TStream&)>& fetch,
                             const QByteArray& sha256) const {
  const Parent parent = openParent(relative);
  struct stat entry {};
  if (::fstatat(parent.folder.get(), parent.name.constData(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(entry.st_mode))
    throw InOutError(kAccessDenied, text(parent.path()) + " is a folder");
  struct statvfs disk {};
  if (::fstatvfs(parent.folder.get(), &disk) != 0)
    throw InOutError::fromErrno(errno, "Cannot read the free space of " + text(parent.folderPath));
  const uint64_t freeBytes = uint64_t{disk.f_bavail} * disk.f_frsize;
  if (size < 0 || static_cast<uint64_t>(size) > freeBytes)
    throw InOutError(kDiskFull, relative.toStdString() + " is listed with " + std::to_string(size) +
                                    " bytes; the disk of " + text(parent.folderPath) + " has " +
                                    std::to_string(freeBytes) + " bytes free");

  const QByteArray temporary = temporaryName();
  // Readable too: blocks that arrive out of order are hashed from the file.
  const int fd = ::openat(parent.folder.get(), temporary.constData(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) throw InOutError::fromErrno(errno, "Cannot create " + text(parent.pathOf(temporary)));
  ListedSizeStream stream(fd, parent.pathOf(temporary), relative, size, sha256);
  try {
    fetch(stream);
    // Not synced to the disk: a file a crash leaves short has another size,
    // and the next run fetches it again.
    stream.finish();
  } catch (...) {
    ::unlinkat(parent.folder.get(), temporary.constData(), 0);
    throw;
  }
  if (::renameat(parent.folder.get(), temporary.constData(), parent.folder.get(),
                 parent.name.constData()) != 0) {
    const int error = errno;
    ::unlinkat(parent.folder.get(), temporary.constData(), 0);
    throw InOutError::fromErrno(
        error, "Cannot move " + text(parent.pathOf(temporary)) + " to " + text(parent.path()));
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
