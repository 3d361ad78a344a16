#include "socket_system.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <mutex>

namespace qssh::socket_system {

void startUp() {
  // Winsock counts its users; the library stays one of them for the life of
  // the process, as libssh's sockets need it until the very end.
  static std::once_flag started;
  std::call_once(started, [] {
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

int lastError() {
  return WSAGetLastError();
}

std::string errorText(int error) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = length > 0 ? std::string(text, length) : "error " + std::to_string(error);
  LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == ' ' || result.back() == '.'))
    result.pop_back();
  return result;
}

bool interrupted(int error) {
  return error == WSAEINTR;
}

bool connectPending(int error) {
  return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

Socket open(int family, int type, int protocol) {
  const SOCKET socket = WSASocketW(family, type, protocol, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  return Socket(socket == INVALID_SOCKET ? kNoSocket : static_cast<NativeSocket>(socket));
}

void close(NativeSocket socket) {
  closesocket(static_cast<SOCKET>(socket));  // a close that fails here has no one to tell
}

bool setBlocking(NativeSocket socket, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ioctlsocket(static_cast<SOCKET>(socket), FIONBIO, &nonBlocking) == 0;
}

// select() rather than WSAPoll(): WSAPoll does not report a refused connect on
// older Windows, which would turn every refusal into a time-out.
int waitReady(NativeSocket socket, short events, int timeoutMs) {
  fd_set readable;
  fd_set writable;
  fd_set failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  const auto handle = static_cast<SOCKET>(socket);
  if (events & POLLIN) FD_SET(handle, &readable);
  if (events & POLLOUT) FD_SET(handle, &writable);
  FD_SET(handle, &failed);
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return select(0, &readable, &writable, &failed, &timeout) == SOCKET_ERROR ? -1
         : FD_ISSET(handle, &readable) || FD_ISSET(handle, &writable) || FD_ISSET(handle, &failed)
             ? 1
             : 0;
}

long sendSome(NativeSocket socket, const char* bytes, size_t count) {
  return ::send(static_cast<SOCKET>(socket), bytes,
                static_cast<int>(std::min<size_t>(count, INT_MAX)), 0);
}

long receiveSome(NativeSocket socket, char* bytes, size_t count) {
  return ::recv(static_cast<SOCKET>(socket), bytes,
                static_cast<int>(std::min<size_t>(count, INT_MAX)), 0);
}

}  // namespace qssh::socket_system
