#pragma once

// The system's declarations of sockets and name lookups, and its handle of a
// socket as libssh takes it.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>

namespace qssh {
using NativeSocket = std::uintptr_t;
}  // namespace qssh
