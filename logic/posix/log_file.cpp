#include "log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <cerrno>
#include <cstring>

#include "posix/descriptor.h"

namespace quorrel::log_file {

namespace {

QString reasonOf(int error) {
  return QString::fromLocal8Bit(std::strerror(error));
}

}  // namespace

// $XDG_STATE_HOME, or its default below the home folder.
QString defaultPath() {
  QString state = qEnvironmentVariable("XDG_STATE_HOME");
  if (state.isEmpty() || QDir::isRelativePath(state))
    state = QDir::homePath() + QStringLiteral("/.local/state");
  return state + QStringLiteral("/Quorrel/launcher.log");
}

bool openForAppend(QFile& file, const QString& path, bool truncate, bool& replacedLink,
                   QString& error) {
  const QByteArray name = QFile::encodeName(path);
  // Not blocking on whatever else may stand under the name, a pipe say.
  const int flags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC |
                    (truncate ? O_TRUNC : 0);
  replacedLink = false;
  posix::Descriptor fd(::open(name.constData(), flags, 0666));
  if (fd.get() < 0 && (errno == ELOOP || errno == EMLINK)) {
    struct stat entry {};
    if (::lstat(name.constData(), &entry) == 0 && S_ISLNK(entry.st_mode)) {
      // The link goes, not what it leads to; a new file takes its place.
      if (::unlink(name.constData()) != 0 && errno != ENOENT) {
        error = reasonOf(errno);
        return false;
      }
      replacedLink = true;
      fd = posix::Descriptor(::open(name.constData(), flags | O_EXCL, 0666));
    } else {
      errno = ELOOP;
    }
  }
  if (fd.get() < 0) {
    error = reasonOf(errno);
    return false;
  }
  struct stat opened {};
  if (::fstat(fd.get(), &opened) != 0) {
    error = reasonOf(errno);
    return false;
  }
  if (!S_ISREG(opened.st_mode)) {
    error = QStringLiteral("not a plain file");
    return false;
  }
  if (!file.open(fd.get(), QIODevice::WriteOnly | QIODevice::Append,
                 QFileDevice::AutoCloseHandle)) {
    error = file.errorString();
    return false;
  }
  fd.release();
  return true;
}

bool replace(const QString& from, const QString& to, QString& error) {
  if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
    return true;
  error = reasonOf(errno);
  return false;
}

}  // namespace quorrel::log_file
