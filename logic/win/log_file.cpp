#include <windows.h>
// After windows.h, whose types they use.
#include <fcntl.h>
#include <io.h>

#include <QDir>
#include <QStandardPaths>

#include "log_file.h"
#include "win/handle.h"
#include "win/wide_text.h"

namespace quorrel::log_file {

namespace {

const wchar_t* wide(const QString& text) {
  return reinterpret_cast<const wchar_t*>(text.utf16());
}

QString reasonOf(DWORD error) {
  return QString::fromStdString(win::systemErrorText(error));
}

// Opens the entry at `native` itself, a link as the link.
win::Handle openEntry(const QString& native, DWORD disposition) {
  return win::Handle(CreateFileW(
      wide(native), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

}  // namespace

// %LOCALAPPDATA%.
QString defaultPath() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
         QStringLiteral("/Quorrel/launcher.log");
}

bool openForAppend(QFile& file, const QString& path, bool truncate, bool& replacedLink,
                   QString& error) {
  const QString native = QDir::toNativeSeparators(path);
  replacedLink = false;
  win::Handle entry = openEntry(native, OPEN_ALWAYS);
  BY_HANDLE_FILE_INFORMATION info{};
  bool known = entry.valid() && GetFileInformationByHandle(entry.get(), &info);
  if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    // A symbolic link or junction: the link goes, not what it leads to, and
    // a new file takes its place.
    entry = win::Handle();
    const bool removed = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                             ? RemoveDirectoryW(wide(native))
                             : DeleteFileW(wide(native));
    if (!removed) {
      error = reasonOf(GetLastError());
      return false;
    }
    replacedLink = true;
    entry = openEntry(native, CREATE_NEW);
    known = entry.valid() && GetFileInformationByHandle(entry.get(), &info);
  }
  if (!known) {
    error = reasonOf(GetLastError());
    return false;
  }
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
    error = QStringLiteral("not a plain file");
    return false;
  }
  // At its start still: emptied where it stands, the same file that was checked.
  if (truncate && !SetEndOfFile(entry.get())) {
    error = reasonOf(GetLastError());
    return false;
  }
  // Every write of the descriptor goes to the file's end, bytes as they are.
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(entry.get()), _O_APPEND);
  if (fd < 0) {
    error = QStringLiteral("cannot hand the file on");
    return false;
  }
  entry.release();
  _setmode(fd, _O_BINARY);
  if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
    error = file.errorString();
    _close(fd);
    return false;
  }
  return true;
}

bool replace(const QString& from, const QString& to, QString& error) {
  // Replacing a link replaces the link, never the file it leads to.
  if (MoveFileExW(wide(QDir::toNativeSeparators(from)), wide(QDir::toNativeSeparators(to)),
                  MOVEFILE_REPLACE_EXISTING))
    return true;
  error = reasonOf(GetLastError());
  return false;
}

}  // namespace quorrel::log_file
