#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "game_folder.h"
#include "game_folder_system.h"
#include "io_error.h"
#include "posix/descriptor.h"

// The game folder's system calls on POSIX: everything inside the game folder
// is reached through the descriptor of its folder (the *at() calls), never
// by a path the system would resolve again.
namespace quorrel {

using posix::Descriptor;

namespace game_folder_system {

NativeString nativeOf(const QString& path) {
  return QFile::encodeName(path);
}

QByteArray bytesOf(const NativeString& name) {
  return name;
}

NativeString fromBytes(const QByteArray& bytes) {
  return bytes;
}

std::string messageText(const NativeString& path) {
  return path.toStdString();
}

NativeString resolvedPath(const NativeString& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.constData(), resolved) ? QByteArray(resolved) : QByteArray();
}

struct FolderHold {
  Descriptor fd;
};

void FolderHoldCloser::operator()(FolderHold* hold) const {
  delete hold;
}

namespace {

int fdOf(const Folder& folder) {
  return folder.hold->fd.get();
}

HeldFolder heldFolder(int fd, int& error) {
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  return HeldFolder(new FolderHold{Descriptor(fd)});
}

int64_t nanoseconds(const struct timespec& time) {
  return int64_t{time.tv_sec} * 1000000000 + time.tv_nsec;
}

// A file of the game folder by its descriptor.
class DescriptorFile : public SystemFile {
 public:
  DescriptorFile(int fd, QByteArray path) : fd_(fd), path_(std::move(path)) {}
  void writeAt(int64_t offset, const char* bytes, int64_t count) override {
    if (posix::writeAll(fd_.get(), bytes, count, offset) != count)
      throw InOutError::fromErrno(errno, "Cannot write " + path_.toStdString());
  }
  int64_t readAt(int64_t offset, char* buffer, int64_t capacity) override {
    for (;;) {
      const ssize_t got = ::pread(fd_.get(), buffer, static_cast<size_t>(capacity), offset);
      if (got >= 0) return got;
      if (errno != EINTR) throw InOutError::fromErrno(errno, "Cannot read " + path_.toStdString());
    }
  }
  void close() override {
    if (::close(fd_.release()) != 0)
      throw InOutError::fromErrno(errno, "Cannot write " + path_.toStdString());
  }
  std::optional<FileFacts> facts() const override {
    struct stat status {};
    if (::fstat(fd_.get(), &status) != 0) return std::nullopt;
    return FileFacts{S_ISREG(status.st_mode) != 0, static_cast<uint64_t>(status.st_nlink),
                     static_cast<int64_t>(status.st_size)};
  }

 private:
  Descriptor fd_;
  QByteArray path_;
};

}  // namespace

EntryKind kindOf(const Entry& entry) {
  struct stat status {};
  if (::fstatat(fdOf(entry.folder), entry.name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
    return EntryKind::kNone;
  if (S_ISLNK(status.st_mode)) return EntryKind::kLink;
  if (S_ISDIR(status.st_mode)) return EntryKind::kFolder;
  if (S_ISREG(status.st_mode)) return EntryKind::kFile;
  return EntryKind::kOther;
}

HeldFolder openGameFolderAt(const NativeString& rootPath, int& error) {
  return heldFolder(::open(rootPath.constData(), O_DIRECTORY | O_RDONLY | O_CLOEXEC), error);
}

HeldFolder openFolderEntry(const Entry& entry, bool followLinks, int& error) {
  const int flags = O_DIRECTORY | O_RDONLY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW);
  return heldFolder(::openat(fdOf(entry.folder), entry.name.constData(), flags), error);
}

bool isFolder(const FolderHold&) {
  return true;  // O_DIRECTORY opens nothing else
}

int notFolderError() {
  return ENOTDIR;
}

int makeFolder(const Entry& entry) {
  return ::mkdirat(fdOf(entry.folder), entry.name.constData(), 0755) == 0 || errno == EEXIST
             ? 0
             : errno;
}

int listFolder(const Folder& folder, std::vector<NativeString>& names) {
  // The listing reads through a descriptor of its own; the folder's stays
  // for the removals.
  Descriptor listing(::fcntl(fdOf(folder), F_DUPFD_CLOEXEC, 0));
  DIR* const entries = listing.get() >= 0 ? ::fdopendir(listing.get()) : nullptr;
  if (!entries) return errno;
  listing.release();  // the listing's now
  while (const dirent* entry = ::readdir(entries)) names.emplace_back(entry->d_name);
  ::closedir(entries);
  return 0;
}

int removeEntry(const Entry& entry) {
  return ::unlinkat(fdOf(entry.folder), entry.name.constData(), 0) == 0 || errno == ENOENT ? 0
                                                                                           : errno;
}

int renameReplacing(const Entry& from, const Entry& to) {
  return ::renameat(fdOf(from.folder), from.name.constData(), fdOf(to.folder),
                    to.name.constData()) == 0
             ? 0
             : errno;
}

namespace {

int freeBytesOf(int result, const struct statvfs& disk, uint64_t& bytes) {
  if (result != 0) return errno;
  bytes = uint64_t{disk.f_bavail} * disk.f_frsize;
  return 0;
}

// The file opened as `fd`, or null with the system's error.
std::unique_ptr<SystemFile> openedFile(int fd, const Entry& entry, int& error) {
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  return std::make_unique<DescriptorFile>(fd, entry.path);
}

// Whether `entry`, a link followed, is a plain file; `status` becomes its status.
bool followsToPlainFile(const Entry& entry, struct stat& status) {
  return ::fstatat(fdOf(entry.folder), entry.name.constData(), &status, 0) == 0 &&
         S_ISREG(status.st_mode);
}

}  // namespace

int freeBytesAt(const NativeString& path, uint64_t& bytes) {
  struct statvfs disk {};
  return freeBytesOf(::statvfs(path.constData(), &disk), disk, bytes);
}

int freeBytesIn(const Folder& folder, uint64_t& bytes) {
  struct statvfs disk {};
  return freeBytesOf(::fstatvfs(fdOf(folder), &disk), disk, bytes);
}

std::unique_ptr<SystemFile> openNoFollow(const Entry& entry, Opening opening, int& error) {
  // Not blocking on whatever else may stand under the name, a pipe say.
  int flags = O_NOFOLLOW | O_CLOEXEC;
  switch (opening) {
    case Opening::kRead:
      flags |= O_RDONLY | O_NONBLOCK;
      break;
    case Opening::kReadWrite:
      flags |= O_RDWR | O_NONBLOCK;
      break;
    case Opening::kCreate:
      flags |= O_RDWR | O_CREAT | O_EXCL;
      break;
    case Opening::kReplace:
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
      break;
  }
  return openedFile(::openat(fdOf(entry.folder), entry.name.constData(), flags, 0644), entry,
                    error);
}

std::optional<FileStamp> stampFollowing(const Entry& entry) {
  struct stat status {};
  if (!followsToPlainFile(entry, status)) return std::nullopt;
  return FileStamp{static_cast<int64_t>(status.st_size), nanoseconds(status.st_mtim),
                   nanoseconds(status.st_ctim)};
}

std::unique_ptr<SystemFile> openPlainFollowing(const Entry& entry, int& error) {
  struct stat status {};
  if (!followsToPlainFile(entry, status)) return nullptr;
  return openedFile(::openat(fdOf(entry.folder), entry.name.constData(), O_RDONLY | O_CLOEXEC),
                    entry, error);
}

// Folders of the system itself; a game below them would be written with the
// player's rights into places the system owns.
QStringList systemFolders() {
  return {QStringLiteral("/bin"),   QStringLiteral("/boot"),   QStringLiteral("/dev"),
          QStringLiteral("/etc"),   QStringLiteral("/lib"),    QStringLiteral("/lib32"),
          QStringLiteral("/lib64"), QStringLiteral("/libx32"), QStringLiteral("/proc"),
          QStringLiteral("/run"),   QStringLiteral("/sbin"),   QStringLiteral("/sys"),
          QStringLiteral("/usr"),   QStringLiteral("/var")};
}

}  // namespace game_folder_system

bool GameFolder::canHoldName(const QString& name) {
  return QFile::encodeName(name).size() <= NAME_MAX;
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

}  // namespace quorrel
