// The system's error numbers as the codes of the launcher's input/output errors.
#include <cerrno>
#include <cstring>

#include "io_error.h"

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

}  // namespace

InOutError InOutError::fromErrno(int errnoValue, const std::string& attempt) {
  const std::string cause =
      attempt.empty() ? std::string() : attempt + ": " + std::strerror(errnoValue);
  const int code = mappedCode(errnoValue);
  if (code != 0) return InOutError(code, cause);
  return InOutError(errnoValue, "I/O error " + std::to_string(errnoValue), cause);
}

}  // namespace quorrel
