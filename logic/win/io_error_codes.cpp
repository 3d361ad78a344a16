// Windows' own error numbers are the codes of the launcher's input/output
// errors; a few relatives are folded onto them.
#include <windows.h>

#include <QString>

#include "win/wide_text.h"

#include "io_error.h"

namespace quorrel {

namespace {

int mappedCode(int error) {
  switch (error) {
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY:
      return kInvalidFilename;
    case ERROR_WRITE_PROTECT:
      return kAccessDenied;
    case ERROR_LOCK_VIOLATION:
      return kSharingViolation;
    case ERROR_HANDLE_DISK_FULL:
      return kDiskFull;
    default:
      return error;
  }
}

std::string systemText(int error) {
  return win::systemErrorText(static_cast<DWORD>(error));
}

}  // namespace

InOutError InOutError::fromErrno(int errorValue, const std::string& attempt) {
  const std::string cause =
      attempt.empty() ? std::string() : attempt + ": " + systemText(errorValue);
  const int code = mappedCode(errorValue);
  switch (code) {
    case kFileNotFound:
    case kInvalidFilename:
    case kTooManyOpenFiles:
    case kAccessDenied:
    case kSharingViolation:
    case kDiskFull:
      return InOutError(code, cause);
    default:
      return InOutError(code, "I/O error " + std::to_string(code), cause);
  }
}

}  // namespace quorrel
