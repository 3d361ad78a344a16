#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "context_state.h"
#include "lib_error.h"

// What the library's operations share: the protocol extensions they use, the
// request helpers and the guard of an open remote handle.
namespace qssh {

inline constexpr const char* kPosixRename = "posix-rename@openssh.com";
inline constexpr const char* kFsync = "fsync@openssh.com";

inline SftpClient& client(ContextState& state) {
  return state.connection().client;
}

inline Packet request(ContextState& state, uint8_t type, const Writer& body) {
  SftpClient& sftp = client(state);
  return sftp.wait(sftp.send(type, body));
}

inline void checkAborted(const ContextState& state) {
  if (state.ctx->aborted) fail(QSSH_ERR_ABORTED, "Aborted");
}

// What every wait does between its slices: the caller gets its turn, and an
// abort it asked for ends the wait.
inline std::function<void()> callerTurn(ContextState& state) {
  return [&state] {
    state.letCallerRun();
    checkAborted(state);
  };
}

// How long a request may wait for its answer, in milliseconds.
inline int32_t operationTimeout(const ContextState& state) {
  const int32_t ticks = state.ctx->timeoutticks;
  return ticks > 0 ? ticks : QSSH_DEFAULT_TIMEOUT_TICKS;
}

// An open remote handle. Its CLOSE may go out ahead, behind the requests
// that still use the handle, so that its status comes with their answers;
// close() takes that status. An error that leaves early closes the handle
// without waiting.
class HandleGuard {
 public:
  HandleGuard(ContextState& state, std::string handle)
      : state_(state), handle_(std::move(handle)) {}
  ~HandleGuard() {
    if (!state_.open) return;
    try {
      SftpClient& sftp = client(state_);
      if (open_) sftp.abandon(sftp.send(FXP_CLOSE, Writer().str(handle_)));
      for (const uint32_t id : closing_) sftp.abandon(id);
    } catch (const LibError&) {
      // The connection is gone; the server drops the handle with it.
    }
  }
  HandleGuard(const HandleGuard&) = delete;
  HandleGuard& operator=(const HandleGuard&) = delete;

  const std::string& handle() const { return handle_; }
  bool isOpen() const { return open_; }
  // The same file under a new handle, after its CLOSE went out ahead.
  void reopen(std::string handle) {
    handle_ = std::move(handle);
    open_ = true;
  }
  void closeAhead() {
    open_ = false;
    closing_.push_back(client(state_).send(FXP_CLOSE, Writer().str(handle_)));
  }
  // The CLOSE went out already, as request `id`.
  void closedAhead(uint32_t id) {
    open_ = false;
    closing_.push_back(id);
  }
  void close() {
    if (open_) closeAhead();
    SftpClient& sftp = client(state_);
    while (!closing_.empty()) {
      const Packet answer = sftp.wait(closing_.front());
      closing_.pop_front();
      sftp.ok(answer);
    }
    state_.print("Closed the remote file");
  }

 private:
  ContextState& state_;
  std::string handle_;
  bool open_ = true;
  std::deque<uint32_t> closing_;
};

inline std::string openHandle(ContextState& state, const std::string& path, uint32_t flags,
                              const fxp_attrs& attrs) {
  std::string handle =
      client(state).handle(request(state, FXP_OPEN, Writer().str(path).u32(flags).attrs(attrs)));
  state.print("Opened " + path);
  return handle;
}

// A WRITE sent, and the offset its data ends at.
struct WriteRequest {
  uint32_t id;
  uint64_t end;
};

}  // namespace qssh
