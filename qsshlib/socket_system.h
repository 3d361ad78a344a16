#pragma once

#include <cstddef>
#include <string>

#include "net.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

// The calls on sockets that differ between systems; everything above them
// (resolving, connecting with a deadline, the proxy handshakes) is shared.
// Implemented once per system (posix/socket_system.cpp, win/socket_system.cpp).
namespace qssh::socket_system {

// Makes the system's socket calls usable; cheap after the first call.
void startUp();
// The error of the last failed socket call of this thread.
int lastError();
std::string errorText(int error);
bool interrupted(int error);
// A non-blocking connect that is still under way.
bool connectPending(int error);

// A socket that child processes do not inherit.
Socket open(int family, int type, int protocol);
void close(NativeSocket socket);
bool setBlocking(NativeSocket socket, bool blocking);
// Waits up to `timeoutMs` for POLLIN or POLLOUT in `events`: above 0 when the
// socket is ready (or failed, which the next call reports), 0 on time-out, below
// 0 on an error.
int waitReady(NativeSocket socket, short events, int timeoutMs);
// Sends some of the bytes without ever raising a signal; the count, or below 0.
long sendSome(NativeSocket socket, const char* bytes, size_t count);
long receiveSome(NativeSocket socket, char* bytes, size_t count);

}  // namespace qssh::socket_system
