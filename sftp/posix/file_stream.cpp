#include "stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "exception.h"
#include "posix/descriptor.h"

namespace quorrel {

struct TFileStream::Descriptor : posix::Descriptor {
  using posix::Descriptor::Descriptor;
};

TFileStream::TFileStream(const std::string& path, int flags, int mode)
    : path_(path),
      fd_(std::make_unique<Descriptor>(::open(path.c_str(), flags | O_CLOEXEC, mode))) {
  if (fd_->get() < 0)
    throw SftpSessionException("Cannot open " + path + ": " + std::strerror(errno));
}

TFileStream::TFileStream(int fd, std::string path)
    : path_(std::move(path)), fd_(std::make_unique<Descriptor>(fd)) {}

TFileStream::~TFileStream() = default;

// A position that cannot be set shows in the read or write that follows.
void TFileStream::setPosition(int64_t position) {
  ::lseek(fd_->get(), position, SEEK_SET);
}

// A failed read is an error, not the end of the file: an upload would end
// early and pass for a whole one.
int64_t TFileStream::read(void* buffer, int64_t count) {
  for (;;) {
    const ssize_t result = ::read(fd_->get(), buffer, static_cast<size_t>(count));
    if (result >= 0) return result;
    if (errno != EINTR)
      throw SftpSessionException("Cannot read " + path_ + ": " + std::strerror(errno));
  }
}

int64_t TFileStream::write(const void* buffer, int64_t count) {
  return posix::writeAll(fd_->get(), buffer, count);
}

void TFileStream::close() {
  const int fd = fd_->release();
  if (fd >= 0 && ::close(fd) != 0)
    throw SftpSessionException("Cannot write " + path_ + ": " + std::strerror(errno));
}

}  // namespace quorrel
