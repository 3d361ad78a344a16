#include "local_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "lib_error.h"
#include "posix/descriptor.h"
#include "qsshlib.h"

namespace qssh {

namespace {

[[noreturn]] void failLocal(const std::string& what, const std::string& path, int error) {
  fail(QSSH_ERR_LOCAL_FILE, what + " " + path + ": " + std::strerror(error));
}

}  // namespace

const NativeFile LocalFile::kClosed = -1;

LocalFile::~LocalFile() {
  if (handle_ != kClosed) ::close(handle_);  // a close that fails here has no one to tell
}

LocalFile LocalFile::openForReading(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) failLocal("Cannot open", path, errno);
  return LocalFile(path, fd);
}

LocalFile LocalFile::openForWriting(const std::string& path, bool append, bool keepExisting,
                                    int32_t mode) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
  if (!append) flags |= keepExisting ? O_EXCL : O_TRUNC;
  const int fd = ::open(path.c_str(), flags, mode);
  if (fd < 0) failLocal("Cannot create", path, errno);
  return LocalFile(path, fd);
}

uint64_t LocalFile::size() const {
  struct stat info {};
  if (::fstat(handle_, &info) != 0) failLocal("Cannot read", path_, errno);
  return static_cast<uint64_t>(info.st_size);
}

LocalAttributes LocalFile::attributes() const {
  struct stat info {};
  if (::fstat(handle_, &info) != 0) failLocal("Cannot read", path_, errno);
  return {static_cast<uint32_t>(info.st_mode & 07777), static_cast<uint32_t>(info.st_atime),
          static_cast<uint32_t>(info.st_mtime)};
}

size_t LocalFile::readAt(uint64_t offset, char* buffer, size_t capacity) {
  for (;;) {
    const ssize_t count = ::pread(handle_, buffer, capacity, static_cast<off_t>(offset));
    if (count >= 0) return static_cast<size_t>(count);
    if (errno != EINTR) failLocal("Cannot read", path_, errno);
  }
}

void LocalFile::writeAt(uint64_t offset, const char* data, size_t length) {
  const auto count = static_cast<int64_t>(length);
  if (quorrel::posix::writeAll(handle_, data, count, static_cast<int64_t>(offset)) != count)
    failLocal("Cannot write", path_, errno);
}

void LocalFile::reserve(uint64_t start, uint64_t end) {
  if (end > start)
    ::posix_fallocate(handle_, static_cast<off_t>(start), static_cast<off_t>(end - start));
}

void LocalFile::finish(bool sync) {
  if (sync && ::fsync(handle_) != 0) failLocal("Cannot write", path_, errno);
  if (::close(std::exchange(handle_, kClosed)) != 0) failLocal("Cannot write", path_, errno);
}

LocalFileState localFileState(const std::string& path, std::string& reason) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  reason = fd < 0 ? std::strerror(errno) : "";
  if (fd < 0 && errno == ENOENT) return LocalFileState::Missing;
  struct stat info {};
  const bool readable = fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (fd >= 0 && !readable) reason = "not a regular file";
  if (fd >= 0) ::close(fd);
  return readable ? LocalFileState::Readable : LocalFileState::Unreadable;
}

void makeParentFolders(const std::string& file) {
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  for (size_t next = file.find('/', 1); next != std::string::npos && next <= slash;
       next = file.find('/', next + 1))
    ::mkdir(file.substr(0, next).c_str(), 0700);
}

uint64_t localFileSize(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

void setLocalTimes(const std::string& path, uint32_t atime, uint32_t mtime) {
  const timeval times[2] = {{static_cast<time_t>(atime), 0}, {static_cast<time_t>(mtime), 0}};
  ::utimes(path.c_str(), times);
}

void setLocalPermissions(const std::string& path, uint32_t permissions) {
  ::chmod(path.c_str(), permissions & 07777);
}

std::string userDataFolder() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome && *dataHome) return std::string(dataHome) + "/qsshlib";
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.local/share/qsshlib";
}

void removeLocalFile(const std::string& path) {
  ::unlink(path.c_str());
}

}  // namespace qssh
