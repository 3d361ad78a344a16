// Play's files in the game folder: the realm list and the cache.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>

#include "game_folder.h"
#include "platform/play_files.h"
#include "io_error.h"
#include "posix/descriptor.h"

namespace quorrel {

namespace {

// The longest path the realm list may have, in UTF-16 characters.
constexpr qsizetype kMaxPathLength = 259;

bool isReadOnly(const struct stat& entry) {
  return (entry.st_mode & S_IWUSR) == 0;
}

// The realm list must be a plain file: a read-only one stays as it is, also
// for a player who could override the permission, and anything else (a
// folder, a pipe that would block the open for ever, a device) is refused.
// A link is fine: it is replaced, never written through.
void refuseUnwritableRealmList(const QByteArray& path) {
  struct stat entry {};
  if (::lstat(path.constData(), &entry) != 0) return;
  if (S_ISLNK(entry.st_mode)) return;
  if (!S_ISREG(entry.st_mode) || isReadOnly(entry)) throw InOutError(kAccessDenied);
}

bool isCacheFileName(const QString& name) {
  return name.endsWith(QStringLiteral(".wdb"), Qt::CaseInsensitive);
}
}  // namespace

// Replaces the whole file with `text` in the locale's 8-bit encoding, with no
// byte-order mark and no line break. The text goes to a new file beside it
// that is renamed into place, so a link there is replaced and the file it
// leads to, perhaps outside the game folder, is never touched.
void writeRealmList(const QString& path, const QString& text) {
  if (path.size() > kMaxPathLength) throw InOutError(kInvalidFilename);
  const QByteArray localPath = QFile::encodeName(path);
  refuseUnwritableRealmList(localPath);
  const QByteArray temporary = localPath + ".quorrel-" + QByteArray::number(::getpid());
  const int file =
      ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (file < 0) throw InOutError::fromErrno(errno);
  const QByteArray bytes = text.toLocal8Bit();
  if (posix::writeAll(file, bytes.constData(), bytes.size()) != bytes.size()) {
    const int error = errno;
    ::close(file);
    ::unlink(temporary.constData());
    throw InOutError::fromErrno(error);
  }
  if (::close(file) != 0 || ::rename(temporary.constData(), localPath.constData()) != 0) {
    const int error = errno;
    ::unlink(temporary.constData());
    throw InOutError::fromErrno(error);
  }
}

// Deletes the cache files directly inside `folder`: links go as links, while
// read-only files, real folders and everything in sub-folders stay. A cache
// folder that is a link out of the game folder is left alone: Play changes
// nothing outside it. Failures are not reported; the player loses nothing but
// a cache.
void clearCacheFolder(const QString& gameFolder, const QString& folder) {
  if (!QFileInfo(folder).isDir()) return;
  if (QFileInfo(folder).isSymLink() && !leadsInside(gameFolder, folder)) return;
  const QStringList names =
      QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
  for (const QString& name : names) {
    if (!isCacheFileName(name)) continue;
    const QByteArray path = QFile::encodeName(folder + QDir::separator() + name);
    struct stat entry {};
    if (::lstat(path.constData(), &entry) != 0) continue;
    if (S_ISDIR(entry.st_mode) || (S_ISREG(entry.st_mode) && isReadOnly(entry))) continue;
    ::unlink(path.constData());
  }
}

}  // namespace quorrel
