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
  // A system errno mapped onto the codes below; one without a match keeps its
  // own number and is reported as "I/O error" with it. The system's text is
  // appended to `attempt` ("Cannot create <path>") to make the cause.
  static InOutError fromErrno(int errnoValue, const std::string& attempt = {});
  int code() const { return code_; }
  const std::string& cause() const { return cause_; }

 private:
  InOutError(int code, const std::string& message, std::string cause)
      : Exception(message), code_(code), cause_(std::move(cause)) {}
  int code_;
  std::string cause_;
};

// The error codes that the messages are keyed by.
enum : int {
  kFileNotFound = 2,
  kInvalidFilename = 3,
  kTooManyOpenFiles = 4,
  kAccessDenied = 5,
  kSharingViolation = 32,
  kDiskFull = 112,
};

}  // namespace quorrel
