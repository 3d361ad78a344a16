#pragma once

#include <libssh/libssh.h>

#include <functional>
#include <string>

#include "lib_error.h"
#include "net.h"

// libssh runs every session of the library non-blocking: its calls never wait
// for the network themselves. The waits between their tries are the library's
// own, in slices after which the caller gets its turn and an abort or a
// deadline ends them, whatever phase the connection is in.
namespace qssh {

// Waits at most one slice of `deadline` for the session's socket to have
// something for libssh: bytes to read, or room for what it still has to send.
void awaitSocket(ssh_session session, const Deadline& deadline);

// Calls `step` until it answers anything but `again`, waiting for the socket
// between tries. A deadline that passes first fails with QSSH_ERR_TIMEOUT and
// the text `late()` gives then.
template <typename Step>
int untilDone(ssh_session session, const Deadline& deadline, int again, Step&& step,
              const std::function<std::string()>& late) {
  for (;;) {
    const int result = step();
    if (result != again) return result;
    if (deadline.passed()) fail(QSSH_ERR_TIMEOUT, late());
    awaitSocket(session, deadline);
  }
}

// "10 s", "1.5 s": a deadline as a player reads it.
std::string secondsText(int milliseconds);

}  // namespace qssh
