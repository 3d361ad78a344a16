// Windows' own error numbers are the codes of the launcher's input/output
// errors; a few relatives are folded onto them.
#include <windows.h>

#include <QString>

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
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  const QString message = QString::fromWCharArray(text, static_cast<qsizetype>(length)).trimmed();
  LocalFree(text);
  return message.isEmpty() ? "error " + std::to_string(error) : message.toStdString();
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
