#pragma once

#include <string>

#include "exception.h"

namespace quorrel {

// The input/output error of the file operations, with the message that its
// code stands for.
class InOutError : public Exception {
 public:
  explicit InOutError(int code);
  // A system errno mapped onto the codes below; one without a match keeps its
  // own number and is reported as "I/O error" with it.
  static InOutError fromErrno(int errnoValue);
  int code() const { return code_; }

 private:
  InOutError(int code, const std::string& message) : Exception(message), code_(code) {}
  int code_;
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
