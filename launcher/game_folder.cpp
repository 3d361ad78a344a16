#include "game_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>

#include <QFile>
#include <QStringList>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "io_error.h"

namespace quorrel {

namespace {

std::string realPath(const QByteArray& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.constData(), resolved) ? std::string(resolved) : std::string();
}

// A descriptor closed at the end of its scope.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

QStringList componentsOf(const QString& relative) {
  return relative.split(QChar('/'), Qt::SkipEmptyParts);
}

}  // namespace

class GameFolder::Parent {
 public:
  Parent(Descriptor folder, QByteArray name, QByteArray path)
      : folder(std::move(folder)), name(std::move(name)), path(std::move(path)) {}
  Descriptor folder;
  QByteArray name;  // the last component
  QByteArray path;  // the whole local path, for messages and link checks
};

GameFolder::GameFolder(QString root) : root_(std::move(root)) {}

// Opens each folder on the way with links followed only where they stay
// inside the game folder.
GameFolder::Parent GameFolder::openParent(const QString& relative) const {
  const QByteArray rootPath = QFile::encodeName(root_);
  const std::string rootReal = realPath(rootPath);
  Descriptor folder(::open(rootPath.constData(), O_DIRECTORY | O_RDONLY | O_CLOEXEC));
  if (folder.get() < 0) throw InOutError::fromErrno(errno);
  const QStringList components = componentsOf(relative);
  if (components.isEmpty()) throw InOutError(kInvalidFilename);
  QByteArray path = rootPath;
  for (qsizetype i = 0; i + 1 < components.size(); ++i) {
    const QByteArray name = QFile::encodeName(components[i]);
    path += '/' + name;
    int flags = O_DIRECTORY | O_RDONLY | O_CLOEXEC | O_NOFOLLOW;
    struct stat entry {};
    if (::fstatat(folder.get(), name.constData(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(entry.st_mode)) {
      const std::string target = realPath(path);
      if (rootReal.empty() || target.rfind(rootReal + "/", 0) != 0) throw InOutError(kAccessDenied);
      flags &= ~O_NOFOLLOW;
    }
    Descriptor next(::openat(folder.get(), name.constData(), flags));
    if (next.get() < 0) throw InOutError::fromErrno(errno);
    folder = std::move(next);
  }
  const QByteArray last = QFile::encodeName(components.last());
  return Parent(std::move(folder), last, path + '/' + last);
}

void GameFolder::makeFolder(const QString& relative) const {
  const Parent parent = openParent(relative);
  if (::mkdirat(parent.folder.get(), parent.name.constData(), 0755) == 0) return;
  const int error = errno;
  // A folder already there is used as it is; a link to one inside the game folder too.
  struct stat entry {};
  if (error == EEXIST && ::fstatat(parent.folder.get(), parent.name.constData(), &entry, 0) == 0 &&
      S_ISDIR(entry.st_mode)) {
    struct stat link {};
    ::fstatat(parent.folder.get(), parent.name.constData(), &link, AT_SYMLINK_NOFOLLOW);
    if (!S_ISLNK(link.st_mode)) return;
    const std::string rootReal = realPath(QFile::encodeName(root_));
    if (!rootReal.empty() && realPath(parent.path).rfind(rootReal + "/", 0) == 0) return;
    throw InOutError(kAccessDenied);
  }
  throw InOutError::fromErrno(error);
}

int64_t GameFolder::fileSize(const QString& relative) const {
  try {
    const Parent parent = openParent(relative);
    struct stat entry {};
    if (::fstatat(parent.folder.get(), parent.name.constData(), &entry, AT_SYMLINK_NOFOLLOW) != 0)
      return -1;
    if (S_ISLNK(entry.st_mode)) {
      const std::string rootReal = realPath(QFile::encodeName(root_));
      if (realPath(parent.path).rfind(rootReal + "/", 0) != 0 ||
          ::fstatat(parent.folder.get(), parent.name.constData(), &entry, 0) != 0)
        return -1;
    }
    return S_ISREG(entry.st_mode) ? static_cast<int64_t>(entry.st_size) : -1;
  } catch (const InOutError&) {
    return -1;
  }
}

void GameFolder::replaceFile(const QString& relative,
                             const std::function<void(TStream&)>& fetch) const {
  const Parent parent = openParent(relative);
  struct stat entry {};
  if (::fstatat(parent.folder.get(), parent.name.constData(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(entry.st_mode))
    throw InOutError(kAccessDenied);
  const QByteArray temporary = '.' + parent.name + ".quorrel-part";
  ::unlinkat(parent.folder.get(), temporary.constData(), 0);
  const int fd = ::openat(parent.folder.get(), temporary.constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) throw InOutError::fromErrno(errno);
  TFileStream stream(fd, parent.path.toStdString());
  try {
    fetch(stream);
    // Not synced to the disk: a file a crash leaves short has another size,
    // and the next run fetches it again.
    stream.close();
  } catch (...) {
    ::unlinkat(parent.folder.get(), temporary.constData(), 0);
    throw;
  }
  if (::renameat(parent.folder.get(), temporary.constData(), parent.folder.get(),
                 parent.name.constData()) != 0) {
    const int error = errno;
    ::unlinkat(parent.folder.get(), temporary.constData(), 0);
    throw InOutError::fromErrno(error);
  }
}

bool leadsInside(const QString& root, const QString& path) {
  const std::string rootReal = realPath(QFile::encodeName(root));
  return !rootReal.empty() && realPath(QFile::encodeName(path)).rfind(rootReal + "/", 0) == 0;
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

std::optional<GameFolderLock> GameFolderLock::take(const QString& root) {
  const int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return GameFolderLock(-1);
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return GameFolderLock(fd);
  const int error = errno;
  ::close(fd);
  // A file system without locks cannot tell; only a lock held elsewhere stops the flow.
  if (error != EWOULDBLOCK) return GameFolderLock(-1);
  return std::nullopt;
}

GameFolderLock::GameFolderLock(GameFolderLock&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

GameFolderLock::~GameFolderLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the lock
}

}  // namespace quorrel
