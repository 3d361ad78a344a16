#pragma once

#include <string>

#include "exception.h"

namespace quorrel {

// The input/output error of the file operations, with the message that its
// code stands for. Its cause, when known, says what was attempted on which
// path and what the system answered: too much for the player, what support needs.
class InOutError : public Exception {
 public:
  explicit InOutError(int code, std::string cause = {});
  // A system error number mapped onto the codes below; one without a match
  // keeps its own number and is reported as "I/O error" with it. The system's
  // text is appended to `attempt` ("Cannot create <path>") to make the cause.
  // Each system maps its own numbers (platform/<system>/io_error_codes.cpp).
  static InOutError fromErrno(int errnoValue, const std::string& attempt = {});
  int code() const { return code_; }
  const std::string& cause() const { return cause_; }

 private:
  static std::string messageFor(int code);
  InOutError(int code, const std::string& message, std::string cause)
      : Exception(message), code_(code), cause_(std::move(cause)) {}
  int code_;
  std::string cause_;
};

// The error codes that the messages are keyed by. They are Windows' error
// numbers (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_TOO_MANY_OPEN_FILES,
// ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL), which the
// game's platform reports with these texts; other systems map onto them.
enum : int {
  kFileNotFound = 2,
  kInvalidFilename = 3,
  kTooManyOpenFiles = 4,
  kAccessDenied = 5,
  kSharingViolation = 32,
  kDiskFull = 112,
};

}  // namespace quorrel
