#pragma once

#include <cstddef>
#include <string>

#include "net.h"
#include "socket_api.h"

// The calls on sockets that differ between systems; everything above them
// (resolving, connecting with a deadline, the proxy handshakes) is shared.
// Implemented once per system (posix/socket_system.cpp, win/socket_system.cpp),
// with the system's own declarations beside it (socket_api.h).
namespace qssh::socket_system {

// Makes the system's socket calls usable; cheap after the first call.
void startUp();
// The error of the last failed socket call of this thread.
int lastError();
std::string errorText(int error);
// The text of an error getaddrinfo() returned.
std::string resolveErrorText(int error);
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
