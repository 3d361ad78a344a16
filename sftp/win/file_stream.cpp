#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "exception.h"
#include "stream.h"

namespace quorrel {

namespace {

std::wstring wide(const std::string& text) {
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                      length);
  return result;
}

}  // namespace

// The C runtime's descriptor: binary always, since its default text mode
// would turn every "\n" written into "\r\n".
struct TFileStream::Descriptor {
  explicit Descriptor(int fd) : fd(fd) {}
  ~Descriptor() {
    if (fd >= 0) ::_close(fd);  // a close that fails here has no one to tell
  }
  int fd;
};

TFileStream::TFileStream(const std::string& path, int flags, int mode)
    : path_(path),
      fd_(std::make_unique<Descriptor>(
          ::_wopen(wide(path).c_str(), flags | _O_BINARY | _O_NOINHERIT, mode & 0600))) {
  if (fd_->fd < 0) throw SftpSessionException("Cannot open " + path + ": " + std::strerror(errno));
}

TFileStream::TFileStream(int fd, std::string path)
    : path_(std::move(path)), fd_(std::make_unique<Descriptor>(fd)) {
  if (fd >= 0) ::_setmode(fd, _O_BINARY);
}

TFileStream::~TFileStream() = default;

// A position that cannot be set shows in the read or write that follows.
void TFileStream::setPosition(int64_t position) {
  ::_lseeki64(fd_->fd, position, SEEK_SET);
}

// A failed read is an error, not the end of the file: an upload would end
// early and pass for a whole one.
int64_t TFileStream::read(void* buffer, int64_t count) {
  const int chunk = static_cast<int>(count < (1 << 30) ? count : (1 << 30));
  const int result = ::_read(fd_->fd, buffer, static_cast<unsigned>(chunk));
  if (result < 0) throw SftpSessionException("Cannot read " + path_ + ": " + std::strerror(errno));
  return result;
}

int64_t TFileStream::write(const void* buffer, int64_t count) {
  const char* bytes = static_cast<const char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const int64_t left = count - done;
    const int put =
        ::_write(fd_->fd, bytes + done, static_cast<unsigned>(left < (1 << 30) ? left : (1 << 30)));
    if (put <= 0) {
      if (put == 0) errno = ENOSPC;
      break;
    }
    done += put;
  }
  return done;
}

void TFileStream::close() {
  const int fd = fd_->fd;
  fd_->fd = -1;
  if (fd >= 0 && ::_close(fd) != 0)
    throw SftpSessionException("Cannot write " + path_ + ": " + std::strerror(errno));
}

}  // namespace quorrel
