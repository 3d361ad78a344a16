#include "local_file.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "lib_error.h"
#include "qsshlib.h"
#include "win/handle.h"
#include "win/wide_text.h"

namespace qssh {

using quorrel::win::Handle;
using quorrel::win::systemErrorText;
using quorrel::win::utf8Of;
using quorrel::win::wideText;

namespace {

[[noreturn]] void failLocal(const std::string& what, const std::string& path, DWORD error) {
  fail(QSSH_ERR_LOCAL_FILE, what + " " + path + ": " + systemErrorText(error));
}

// Seconds since 1970 as Windows counts time: 100 ns steps since 1601.
FILETIME fileTimeOf(uint32_t seconds) {
  const ULONGLONG ticks = (static_cast<ULONGLONG>(seconds) + 11644473600ULL) * 10000000ULL;
  return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

uint32_t secondsOf(const FILETIME& time) {
  const ULONGLONG ticks = (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  const ULONGLONG seconds = ticks / 10000000ULL;
  return seconds > 11644473600ULL ? static_cast<uint32_t>(seconds - 11644473600ULL) : 0;
}

HANDLE openFile(const std::string& path, DWORD access, DWORD disposition) {
  return CreateFileW(wideText(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

OVERLAPPED at(uint64_t offset) {
  OVERLAPPED position{};
  position.Offset = static_cast<DWORD>(offset);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return position;
}

}  // namespace

const NativeFile LocalFile::kClosed = INVALID_HANDLE_VALUE;

LocalFile::~LocalFile() {
  if (handle_ != kClosed) CloseHandle(handle_);  // a close that fails here has no one to tell
}

LocalFile LocalFile::openForReading(const std::string& path) {
  const HANDLE file = openFile(path, GENERIC_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) failLocal("Cannot open", path, GetLastError());
  return LocalFile(path, file);
}

LocalFile LocalFile::openForWriting(const std::string& path, bool append, bool keepExisting,
                                    int32_t) {
  const DWORD disposition = append ? OPEN_ALWAYS : keepExisting ? CREATE_NEW : CREATE_ALWAYS;
  const HANDLE file = openFile(path, GENERIC_READ | GENERIC_WRITE, disposition);
  if (file == INVALID_HANDLE_VALUE) failLocal("Cannot create", path, GetLastError());
  return LocalFile(path, file);
}

uint64_t LocalFile::size() const {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(handle_, &size)) failLocal("Cannot read", path_, GetLastError());
  return static_cast<uint64_t>(size.QuadPart);
}

// Windows files carry no permission bits of their own; read-only ones show as
// such, the rest as readable and writable.
LocalAttributes LocalFile::attributes() const {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle_, &info)) failLocal("Cannot read", path_, GetLastError());
  const uint32_t permissions = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644;
  return {permissions, secondsOf(info.ftLastAccessTime), secondsOf(info.ftLastWriteTime)};
}

size_t LocalFile::readAt(uint64_t offset, char* buffer, size_t capacity) {
  OVERLAPPED position = at(offset);
  DWORD count = 0;
  const DWORD wanted = static_cast<DWORD>(std::min<size_t>(capacity, 1u << 30));
  if (ReadFile(handle_, buffer, wanted, &count, &position)) return count;
  const DWORD error = GetLastError();
  if (error == ERROR_HANDLE_EOF) return 0;
  failLocal("Cannot read", path_, error);
}

void LocalFile::writeAt(uint64_t offset, const char* data, size_t length) {
  while (length > 0) {
    OVERLAPPED position = at(offset);
    DWORD count = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
    if (!WriteFile(handle_, data, chunk, &count, &position))
      failLocal("Cannot write", path_, GetLastError());
    if (count == 0) failLocal("Cannot write", path_, ERROR_DISK_FULL);
    data += count;
    offset += count;
    length -= count;
  }
}

// Windows grows a file quickly without being told; nothing is reserved.
void LocalFile::reserve(uint64_t, uint64_t) {}

void LocalFile::finish(bool sync) {
  if (sync && !FlushFileBuffers(handle_)) failLocal("Cannot write", path_, GetLastError());
  if (!CloseHandle(std::exchange(handle_, kClosed)))
    failLocal("Cannot write", path_, GetLastError());
}

LocalFileState localFileState(const std::string& path, std::string& reason) {
  const DWORD attributes = GetFileAttributesW(wideText(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    reason = systemErrorText(error);
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? LocalFileState::Missing
               : LocalFileState::Unreadable;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    reason = "not a regular file";
    return LocalFileState::Unreadable;
  }
  const Handle file(openFile(path, GENERIC_READ, OPEN_EXISTING));
  if (!file.valid()) {
    reason = systemErrorText(GetLastError());
    return LocalFileState::Unreadable;
  }
  reason.clear();
  return LocalFileState::Readable;
}

void makeParentFolders(const std::string& file) {
  const size_t last = file.find_last_of("/\\");
  if (last == std::string::npos || last == 0) return;
  for (size_t next = file.find_first_of("/\\", 1); next != std::string::npos && next <= last;
       next = file.find_first_of("/\\", next + 1)) {
    if (next > 0 && file[next - 1] == ':') continue;  // "C:\" is a drive, not a folder to make
    CreateDirectoryW(wideText(file.substr(0, next)).c_str(), nullptr);
  }
}

uint64_t localFileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(wideText(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void setLocalTimes(const std::string& path, uint32_t atime, uint32_t mtime) {
  const Handle file(CreateFileW(wideText(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return;
  const FILETIME accessed = fileTimeOf(atime);
  const FILETIME written = fileTimeOf(mtime);
  SetFileTime(file.get(), nullptr, &accessed, &written);
}

// Only the write bit has a meaning here: a file without it is made read-only.
void setLocalPermissions(const std::string& path, uint32_t permissions) {
  const std::wstring wide = wideText(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  const DWORD wanted = (permissions & 0200) ? attributes & ~FILE_ATTRIBUTE_READONLY
                                            : attributes | FILE_ATTRIBUTE_READONLY;
  if (wanted != attributes) SetFileAttributesW(wide.c_str(), wanted);
}

// The roaming application data folder, where Windows programs keep per-user
// data that follows the user.
std::string userDataFolder() {
  const wchar_t* appData = _wgetenv(L"APPDATA");
  return (appData ? utf8Of(appData) : std::string(".")) + "\\qsshlib";
}

void removeLocalFile(const std::string& path) {
  DeleteFileW(wideText(path).c_str());
}

}  // namespace qssh
