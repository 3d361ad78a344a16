#include "session_wait.h"

#include <cstdio>

#include "socket_system.h"

namespace qssh {

void awaitSocket(ssh_session session, const Deadline& deadline) {
  const int slice = deadline.nextSliceMs();
  const socket_t fd = ssh_get_fd(session);
  if (fd == SSH_INVALID_SOCKET || slice == 0) return;
  const short events = POLLIN | ((ssh_get_poll_flags(session) & SSH_WRITE_PENDING) ? POLLOUT : 0);
  socket_system::waitReady(static_cast<NativeSocket>(fd), events, slice);
}

std::string secondsText(int milliseconds) {
  char text[32];
  if (milliseconds % 1000 == 0)
    std::snprintf(text, sizeof text, "%d s", milliseconds / 1000);
  else
    std::snprintf(text, sizeof text, "%.1f s", milliseconds / 1000.0);
  return text;
}

}  // namespace qssh
