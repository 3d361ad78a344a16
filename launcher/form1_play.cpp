// Play: points the client at the logon host, clears its cache and starts it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFileInfo>
#include <cerrno>

#include "form1.h"
#include "io_error.h"

namespace quorrel {

namespace {

// The longest path the realm list may have, in UTF-16 characters.
constexpr qsizetype kMaxPathLength = 259;

bool isReadOnly(const struct stat& entry) {
  return (entry.st_mode & S_IWUSR) == 0;
}

// A realm list without write permission for its owner is read-only, also for
// a player who could override the permission.
void refuseReadOnlyFile(const QByteArray& path) {
  struct stat entry {};
  if (::stat(path.constData(), &entry) == 0 && S_ISREG(entry.st_mode) && isReadOnly(entry))
    throw InOutError(kAccessDenied);
}

void writeAll(int file, const QByteArray& bytes) {
  qsizetype written = 0;
  while (written < bytes.size()) {
    const ssize_t result = ::write(file, bytes.constData() + written, bytes.size() - written);
    if (result < 0 && errno == EINTR) continue;
    if (result < 0) {
      const int error = errno;
      ::close(file);
      throw InOutError::fromErrno(error);
    }
    written += result;
  }
}

// Replaces the whole file with `text` in the locale's 8-bit encoding, with no
// byte-order mark and no line break.
void writeTextFile(const QString& path, const QString& text) {
  if (path.size() > kMaxPathLength) throw InOutError(kInvalidFilename);
  const QByteArray localPath = QFile::encodeName(path);
  refuseReadOnlyFile(localPath);
  const int file = ::open(localPath.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (file < 0) throw InOutError::fromErrno(errno);
  writeAll(file, text.toLocal8Bit());
  if (::close(file) != 0) throw InOutError::fromErrno(errno);
}

bool isCacheFileName(const QString& name) {
  return name.endsWith(QStringLiteral(".wdb"), Qt::CaseInsensitive);
}

// Deletes the cache files directly inside `folder`: links go as links, while
// read-only files, real folders and everything in sub-folders stay. Failures
// are not reported; the player loses nothing but a cache.
void clearCacheFolder(const QString& folder) {
  if (!QFileInfo(folder).isDir()) return;
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

}  // namespace

void TForm1::playClick(QObject*) {
  writeTextFile(wow_path + QStringLiteral("realmlist.wtf"),
                QStringLiteral("set realmlist ") + config_.logonHost);
  if (clear_wdb_checkbox->isChecked()) clearCacheFolder(wow_path + QStringLiteral("WDB"));
  platform_.shell.openFile(wow_path + QStringLiteral("WoW.exe"));
  platform_.application.requestQuit();
}

}  // namespace quorrel
