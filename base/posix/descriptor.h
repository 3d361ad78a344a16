#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

// The one owner of a file descriptor, and the one loop that writes all of a
// buffer, for every part of the program that works on descriptors.
namespace quorrel::posix {

// A descriptor closed at the end of its scope.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);  // a close that fails here has no one to tell
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Writes all `count` bytes, at `offset` when it is given (not below 0), else
// at the descriptor's position, going on after interruptions. Returns the
// bytes written: fewer than `count` only on an error, with errno telling it (a
// write that moves nothing is a full disk).
inline int64_t writeAll(int fd, const void* data, int64_t count, int64_t offset = -1) {
  const char* bytes = static_cast<const char*>(data);
  int64_t done = 0;
  while (done < count) {
    const auto left = static_cast<size_t>(count - done);
    const ssize_t put = offset >= 0 ? ::pwrite(fd, bytes + done, left, offset + done)
                                    : ::write(fd, bytes + done, left);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = ENOSPC;
      break;
    }
    done += put;
  }
  return done;
}

}  // namespace quorrel::posix
