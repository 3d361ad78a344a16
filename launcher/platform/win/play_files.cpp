// Play's files in the game folder: the realm list and the cache.
#include <windows.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "game_folder.h"
#include "platform/play_files.h"
#include "io_error.h"

namespace quorrel {

namespace {

// The longest path the realm list may have, in UTF-16 characters.
constexpr qsizetype kMaxPathLength = 259;

const wchar_t* wide(const QString& text) {
  return reinterpret_cast<const wchar_t*>(text.utf16());
}

bool isLink(DWORD attributes) {
  return attributes & FILE_ATTRIBUTE_REPARSE_POINT;
}

// The realm list must be a plain file: a read-only one stays as it is, and a
// folder or a device is refused. A link is fine: it is replaced, never written
// through.
void refuseUnwritableRealmList(const QString& path) {
  const DWORD attributes = GetFileAttributesW(wide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES || isLink(attributes)) return;
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DEVICE)))
    throw InOutError(kAccessDenied);
}

bool isCacheFileName(const QString& name) {
  return name.endsWith(QStringLiteral(".wdb"), Qt::CaseInsensitive);
}

[[noreturn]] void failAndRemove(DWORD error, const QString& temporary) {
  DeleteFileW(wide(temporary));
  throw InOutError::fromErrno(static_cast<int>(error));
}

}  // namespace

// Replaces the whole file with `text` in the locale's 8-bit encoding, with no
// byte-order mark and no line break. The text goes to a new file beside it
// that is renamed into place, so a link there is replaced and the file it
// leads to, perhaps outside the game folder, is never touched.
void writeRealmList(const QString& path, const QString& text) {
  if (path.size() > kMaxPathLength) throw InOutError(kInvalidFilename);
  const QString native = QDir::toNativeSeparators(path);
  refuseUnwritableRealmList(native);
  const QString temporary = native + QStringLiteral(".quorrel-%1").arg(GetCurrentProcessId());
  const HANDLE file = CreateFileW(wide(temporary), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw InOutError::fromErrno(static_cast<int>(GetLastError()));
  const QByteArray bytes = text.toLocal8Bit();
  DWORD written = 0;
  const bool wrote =
      WriteFile(file, bytes.constData(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == static_cast<DWORD>(bytes.size());
  const DWORD writeError = wrote ? ERROR_SUCCESS : GetLastError();
  if (!CloseHandle(file) || !wrote)
    failAndRemove(wrote ? GetLastError() : (writeError ? writeError : ERROR_DISK_FULL), temporary);
  if (!MoveFileExW(wide(temporary), wide(native), MOVEFILE_REPLACE_EXISTING))
    failAndRemove(GetLastError(), temporary);
}

// Deletes the cache files directly inside `folder`: links go as links, while
// read-only files, real folders and everything in sub-folders stay. A cache
// folder that is a link out of the game folder is left alone: Play changes
// nothing outside it. Failures are not reported; the player loses nothing but
// a cache.
void clearCacheFolder(const QString& gameFolder, const QString& folder) {
  if (!QFileInfo(folder).isDir()) return;
  const DWORD folderAttributes = GetFileAttributesW(wide(QDir::toNativeSeparators(folder)));
  if (folderAttributes != INVALID_FILE_ATTRIBUTES && isLink(folderAttributes) &&
      !leadsInside(gameFolder, folder))
    return;
  const QStringList names =
      QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
  for (const QString& name : names) {
    if (!isCacheFileName(name)) continue;
    const QString path = QDir::toNativeSeparators(folder + '/' + name);
    const DWORD attributes = GetFileAttributesW(wide(path));
    if (attributes == INVALID_FILE_ATTRIBUTES) continue;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (isLink(attributes)) RemoveDirectoryW(wide(path));  // a link to a folder, not the folder
      continue;
    }
    if (!isLink(attributes) && (attributes & FILE_ATTRIBUTE_READONLY)) continue;
    DeleteFileW(wide(path));
  }
}

}  // namespace quorrel
