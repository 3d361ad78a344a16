#pragma once

// The system's declarations of sockets and name lookups, and its handle of a
// socket as libssh takes it.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace qssh {
using NativeSocket = int;
}  // namespace qssh
