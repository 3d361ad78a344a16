#include "io_error.h"

namespace quorrel {

std::string InOutError::messageFor(int code) {
  switch (code) {
    case kFileNotFound:
      return "File not found";
    case kInvalidFilename:
      return "Invalid filename";
    case kTooManyOpenFiles:
      return "Too many open files";
    case kAccessDenied:
      return "File access denied";
    case kDiskFull:
      return "Disk full";
    default:
      return "I/O error " + std::to_string(code);
  }
}

InOutError::InOutError(int code, std::string cause)
    : InOutError(code, messageFor(code), std::move(cause)) {}

}  // namespace quorrel
