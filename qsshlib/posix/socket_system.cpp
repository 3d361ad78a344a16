#include "socket_system.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qssh::socket_system {

void startUp() {}

int lastError() {
  return errno;
}

std::string errorText(int error) {
  return std::strerror(error);
}

bool interrupted(int error) {
  return error == EINTR;
}

bool connectPending(int error) {
  return error == EINPROGRESS;
}

Socket open(int family, int type, int protocol) {
  return Socket(::socket(family, type | SOCK_CLOEXEC, protocol));
}

void close(NativeSocket socket) {
  ::close(socket);  // a close that fails here has no one to tell
}

bool setBlocking(NativeSocket socket, bool blocking) {
  const int flags = fcntl(socket, F_GETFL, 0);
  return flags >= 0 &&
         fcntl(socket, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

int waitReady(NativeSocket socket, short events, int timeoutMs) {
  pollfd entry{socket, events, 0};
  return poll(&entry, 1, timeoutMs);
}

long sendSome(NativeSocket socket, const char* bytes, size_t count) {
  return ::send(socket, bytes, count, MSG_NOSIGNAL);
}

long receiveSome(NativeSocket socket, char* bytes, size_t count) {
  return ::recv(socket, bytes, count, 0);
}

}  // namespace qssh::socket_system
