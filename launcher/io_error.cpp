#include "io_error.h"

#include <cerrno>
#include <cstring>

namespace quorrel {

namespace {

// 0 when the errno has no code of its own.
int mappedCode(int errnoValue) {
  switch (errnoValue) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
      return kInvalidFilename;
    case EACCES:
    case EPERM:
    case EROFS:
      return kAccessDenied;
    case EMFILE:
    case ENFILE:
      return kTooManyOpenFiles;
    case ENOSPC:
    case EDQUOT:
      return kDiskFull;
    case EBUSY:
    case ETXTBSY:
      return kSharingViolation;
    default:
      return 0;
  }
}

std::string ioErrorMessage(int code) {
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

}  // namespace

InOutError::InOutError(int code, std::string cause)
    : InOutError(code, ioErrorMessage(code), std::move(cause)) {}

InOutError InOutError::fromErrno(int errnoValue, const std::string& attempt) {
  const std::string cause =
      attempt.empty() ? std::string() : attempt + ": " + std::strerror(errnoValue);
  const int code = mappedCode(errnoValue);
  if (code != 0) return InOutError(code, cause);
  return InOutError(errnoValue, "I/O error " + std::to_string(errnoValue), cause);
}

}  // namespace quorrel
