#include <windows.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <limits>

#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "game_folder.h"
#include "io_error.h"
#include "listed_size_stream.h"
#include "partial_copy.h"
#include "win/handle.h"

// Windows has no openat(): a folder is reached by its path. Each folder on the
// way is held open without delete sharing, so it cannot be renamed, removed or
// swapped for a link while a file inside it is written; a link (symbolic link
// or junction) is entered only where it leads to a place inside the game folder.
namespace quorrel {

using win::Handle;

namespace {

const wchar_t* wide(const QString& text) {
  return reinterpret_cast<const wchar_t*>(text.utf16());
}

std::string text(const QString& path) {
  return QDir::toNativeSeparators(path).toStdString();
}

[[noreturn]] void failWith(DWORD error, const std::string& attempt) {
  throw InOutError::fromErrno(static_cast<int>(error), attempt);
}

QStringList componentsOf(const QString& relative) {
  return QDir::fromNativeSeparators(relative).split(QChar('/'), Qt::SkipEmptyParts);
}

// The game folder's path with '/' separators and without a trailing one
// (but for a drive's root), so that paths built from it read well.
QString rootPathOf(const QString& root) {
  QString path = QDir::fromNativeSeparators(root);
  while (path.size() > 3 && path.endsWith('/')) path.chop(1);
  return path;
}

constexpr DWORD kShareAllButDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Opens what `path` names, following links when `followLinks`.
Handle openEntry(const QString& path, bool followLinks) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return Handle(CreateFileW(wide(QDir::toNativeSeparators(path)), FILE_READ_ATTRIBUTES,
                            kShareAllButDelete, nullptr, OPEN_EXISTING, flags, nullptr));
}

// Where an open entry really is, every link resolved, in upper case for
// comparisons; empty when the system cannot tell.
QString finalPathOf(HANDLE entry) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        GetFinalPathNameByHandleW(entry, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    if (length == 0) return QString();
    if (length < buffer.size()) {
      QString path = QString::fromWCharArray(buffer.data(), static_cast<qsizetype>(length));
      if (path.startsWith(QStringLiteral("\\\\?\\"))) path.remove(0, 4);
      return QDir::fromNativeSeparators(path).toUpper();
    }
    buffer.resize(length + 1);
  }
}

QString finalPathOf(const QString& path) {
  const Handle entry = openEntry(path, true);
  return entry.valid() ? finalPathOf(entry.get()) : QString();
}

bool resolvesInside(const QString& path, const QString& rootPath) {
  const QString rootReal = finalPathOf(rootPath);
  const QString real = finalPathOf(path);
  return !rootReal.isEmpty() && real.startsWith(rootReal + '/');
}

bool isLink(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

DWORD attributesOf(const QString& path) {
  return GetFileAttributesW(wide(QDir::toNativeSeparators(path)));
}

// Opens and holds the folder at `path`; a link is followed only where it
// leads to a folder inside the game folder.
Handle openFolder(const QString& path, const QString& rootPath, bool isRoot) {
  const bool link = !isRoot && isLink(attributesOf(path));
  if (link && !resolvesInside(path, rootPath))
    throw InOutError(kAccessDenied, text(path) + " links outside the game folder");
  Handle folder = openEntry(path, isRoot || link);
  if (!folder.valid())
    failWith(GetLastError(),
             (isRoot ? "Cannot open the game folder " : "Cannot open the folder ") + text(path));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(folder.get(), &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    failWith(ERROR_DIRECTORY, "Cannot open the folder " + text(path));
  return folder;
}

// A file of the game folder by its handle.
class HandleFile : public OpenFile {
 public:
  HandleFile(Handle file, QString path) : file_(std::move(file)), path_(std::move(path)) {}
  void writeAt(int64_t offset, const char* bytes, int64_t count) override {
    int64_t done = 0;
    while (done < count) {
      OVERLAPPED at = overlappedAt(offset + done);
      DWORD put = 0;
      const auto chunk = static_cast<DWORD>(std::min<int64_t>(count - done, 1 << 30));
      const bool wrote = WriteFile(file_.get(), bytes + done, chunk, &put, &at);
      if (!wrote || put == 0)
        failWith(wrote ? ERROR_DISK_FULL : GetLastError(), "Cannot write " + text(path_));
      done += put;
    }
  }
  int64_t readAt(int64_t offset, char* buffer, int64_t capacity) override {
    OVERLAPPED at = overlappedAt(offset);
    DWORD got = 0;
    const auto wanted = static_cast<DWORD>(std::min<int64_t>(capacity, 1 << 30));
    if (ReadFile(file_.get(), buffer, wanted, &got, &at)) return got;
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    failWith(GetLastError(), "Cannot read " + text(path_));
  }
  void close() override {
    if (!CloseHandle(file_.release())) failWith(GetLastError(), "Cannot write " + text(path_));
  }

 private:
  static OVERLAPPED overlappedAt(int64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    return at;
  }

  Handle file_;
  QString path_;
};

// Opens the plain file at `path`: a link only where it leads inside the game
// folder; nothing when no plain file is there.
Handle openFileInside(const QString& path, const QString& rootPath,
                      DWORD access = FILE_READ_ATTRIBUTES) {
  const DWORD attributes = attributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (isLink(attributes) && !resolvesInside(path, rootPath)))
    return Handle();
  Handle file(CreateFileW(wide(QDir::toNativeSeparators(path)), access,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (file.valid() && (!GetFileInformationByHandle(file.get(), &info) ||
                       (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)))
    return Handle();
  return file;
}

// Windows' file times count 100 ns steps.
int64_t nanoseconds(const LARGE_INTEGER& time) {
  return time.QuadPart * 100;
}

// Opens a plain file of the folder, never through a link.
Handle openPlainFile(const QString& path, DWORD access, DWORD disposition) {
  Handle file(CreateFileW(wide(QDir::toNativeSeparators(path)), access, FILE_SHARE_READ, nullptr,
                          disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                          nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (file.valid() &&
      (!GetFileInformationByHandle(file.get(), &info) ||
       (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return Handle();
  }
  return file;
}

// The record beside a partial copy, or nothing when there is none or it
// cannot be read: a record is a few bytes, so a long one is no record.
std::optional<partial_copy::Source> readRecord(const QString& path) {
  constexpr DWORD kMostRecordBytes = 256;
  const Handle record = openPlainFile(path, GENERIC_READ, OPEN_EXISTING);
  if (!record.valid()) return std::nullopt;
  QByteArray text(kMostRecordBytes + 1, '\0');
  DWORD got = 0;
  if (!ReadFile(record.get(), text.data(), kMostRecordBytes + 1, &got, nullptr) ||
      got > kMostRecordBytes)
    return std::nullopt;
  text.truncate(got);
  return partial_copy::parseRecord(text);
}

// Removes the file or link at `path`; a link to a folder goes as a link,
// never with what it leads to.
void removeFile(const QString& path) {
  const DWORD attributes = attributesOf(path);
  if (isLink(attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    RemoveDirectoryW(wide(QDir::toNativeSeparators(path)));
  else
    DeleteFileW(wide(QDir::toNativeSeparators(path)));
}

uint64_t freeBytesAt(const QString& folder) {
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(wide(QDir::toNativeSeparators(folder + '/')), &available, nullptr,
                           nullptr))
    failWith(GetLastError(), "Cannot read the free space of " + text(folder));
  return available.QuadPart;
}

}  // namespace

class GameFolder::Parent {
 public:
  QString path() const { return folderPath + '/' + name; }
  QString pathOf(const QString& other) const { return folderPath + '/' + other; }
  std::vector<Handle> held;  // the folders from the game folder down to this one
  QString name;              // the last component
  QString folderPath;
};

// A file's partial copy beside it, and the record of the server's file it
// comes from (see partial_copy.h).
class GameFolder::PartialCopy {
 public:
  PartialCopy(const Parent& parent, const QString& name)
      : copyPath_(parent.pathOf(QString::fromUtf8(partial_copy::copyName(name.toUtf8())))),
        recordPath_(parent.pathOf(QString::fromUtf8(partial_copy::recordName(name.toUtf8())))) {}

  const QString& path() const { return copyPath_; }

  // A folder at the copy's or the record's name would fail every fetch of
  // the file; it is the player's to remove, so the error names it. A link
  // to a folder there is the launcher's to replace.
  void refuseFolders() const {
    for (const QString* path : {&copyPath_, &recordPath_}) {
      const DWORD attributes = attributesOf(*path);
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !isLink(attributes))
        throw Exception(text(*path) + " is a folder in the place of the launcher's partial copy");
    }
  }

  // The copy an earlier fetch left, open to go on with; none when no plain
  // file is there. A copy with another link (a hard link to some other
  // file) is none either: going on would write into that file, and
  // discarding the copy removes only this name of it.
  Handle openKept() const {
    Handle file = openPlainFile(copyPath_, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file.valid() || !GetFileInformationByHandle(file.get(), &info) || info.nNumberOfLinks != 1)
      return Handle();
    return file;
  }

  // Where a fetch of `source`, listed with `size` bytes, goes on in `kept`.
  int64_t resumeOffset(const Handle& kept, const std::optional<partial_copy::Source>& source,
                       int64_t size) const {
    LARGE_INTEGER length{};
    if (!source || !kept.valid() || !GetFileSizeEx(kept.get(), &length)) return 0;
    return partial_copy::resumeOffset(length.QuadPart, readRecord(recordPath_), *source, size);
  }

  // The copy to write from `from` on: `kept` to go on with, or from 0 a
  // new, empty one, recorded as of `source`. The record goes last, so a
  // copy whose record is missing or damaged is never taken for one of
  // another file.
  Handle open(int64_t from, Handle kept, const std::optional<partial_copy::Source>& source) const {
    if (from > 0) return kept;
    kept = Handle();
    discard();
    Handle file = openPlainFile(copyPath_, GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
    if (!file.valid()) failWith(GetLastError(), "Cannot create " + text(copyPath_));
    try {
      if (source) writeRecord(*source);
    } catch (...) {
      file = Handle();
      discard();
      throw;
    }
    return file;
  }

  // Puts the whole copy in the place of `targetPath`, and drops its record.
  // Renaming over a link replaces the link, never the file it leads to.
  void moveTo(const QString& targetPath) const {
    if (!MoveFileExW(wide(QDir::toNativeSeparators(copyPath_)),
                     wide(QDir::toNativeSeparators(targetPath)), MOVEFILE_REPLACE_EXISTING))
      failWith(GetLastError(), "Cannot move " + text(copyPath_) + " to " + text(targetPath));
    removeFile(recordPath_);
  }

  // Removes the copy and its record, if there; what cannot be removed is
  // found out by the next open.
  void discard() const {
    removeFile(recordPath_);
    removeFile(copyPath_);
  }

 private:
  void writeRecord(const partial_copy::Source& source) const {
    const QByteArray content = partial_copy::recordText(source);
    removeFile(recordPath_);
    const Handle record = openPlainFile(recordPath_, GENERIC_WRITE, CREATE_NEW);
    DWORD written = 0;
    if (!record.valid() ||
        !WriteFile(record.get(), content.constData(), static_cast<DWORD>(content.size()), &written,
                   nullptr) ||
        written != static_cast<DWORD>(content.size()))
      failWith(GetLastError(), "Cannot write " + text(recordPath_));
  }

  QString copyPath_;
  QString recordPath_;
};

GameFolder::GameFolder(QString root) : root_(std::move(root)) {}

// What Windows refuses in a name, or takes for a device instead of a file.
bool GameFolder::canHoldName(const QString& name) {
  static const QString kForbidden = QStringLiteral("<>:\"/\\|?*");
  if (name.isEmpty() || name.size() > 255 || name.endsWith('.') || name.endsWith(' ')) return false;
  for (const QChar character : name)
    if (character.unicode() < 32 || kForbidden.contains(character)) return false;
  const QString base = name.section('.', 0, 0).trimmed().toUpper();
  static const QStringList kDevices = {QStringLiteral("CON"),    QStringLiteral("PRN"),
                                       QStringLiteral("AUX"),    QStringLiteral("NUL"),
                                       QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
  if (kDevices.contains(base)) return false;
  const bool numberedDevice =
      base.size() == 4 &&
      (base.startsWith(QStringLiteral("COM")) || base.startsWith(QStringLiteral("LPT"))) &&
      base[3].isDigit();
  return !numberedDevice;
}

namespace {

// Holds the folders from the game folder down to the one `count` components
// below it, each reached as openFolder() allows; `path` becomes its path.
std::vector<Handle> holdFolders(const QString& rootPath, const QStringList& components,
                                qsizetype count, QString& path) {
  std::vector<Handle> held;
  path = rootPath;
  held.push_back(openFolder(rootPath, rootPath, true));
  for (qsizetype i = 0; i < count; ++i) {
    path += '/' + components[i];
    held.push_back(openFolder(path, rootPath, false));
  }
  return held;
}

}  // namespace

GameFolder::Parent GameFolder::openParent(const QString& relative) const {
  const QStringList components = componentsOf(relative);
  if (components.isEmpty())
    throw InOutError(kInvalidFilename, "No file name in " + relative.toStdString());
  Parent parent;
  parent.held =
      holdFolders(rootPathOf(root_), components, components.size() - 1, parent.folderPath);
  parent.name = components.last();
  return parent;
}

void GameFolder::removeStalePartialCopies(
    const QString& relative, const QSet<QString>& listed,
    const std::function<void(const InOutError&)>& failed) const {
  const QStringList components = componentsOf(relative);
  QString path;
  const std::vector<Handle> held =
      holdFolders(rootPathOf(root_), components, components.size(), path);
  QSet<QString> kept;
  for (const QString& name : listed) {
    const QByteArray utf8 = name.toUtf8();
    kept << name << QString::fromUtf8(partial_copy::copyName(utf8))
         << QString::fromUtf8(partial_copy::recordName(utf8));
  }
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileExW(wide(QDir::toNativeSeparators(path + QStringLiteral("/*"))),
                                   FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE)
    failWith(GetLastError(), "Cannot list the folder " + text(path));
  std::vector<std::pair<QString, DWORD>> stale;
  do {
    const QString name = QString::fromWCharArray(found.cFileName);
    const QByteArray utf8 = name.toUtf8();
    if (!kept.contains(name) &&
        (partial_copy::isPartialCopyName(utf8) || partial_copy::isOldStyleCopyName(utf8)))
      stale.emplace_back(name, found.dwFileAttributes);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  for (const auto& [name, attributes] : stale) {
    // A folder of that name is no copy; a link to one goes as a link.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !isLink(attributes)) continue;
    const QString entry = QDir::toNativeSeparators(path + '/' + name);
    const bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(wide(entry))
                                                                 : DeleteFileW(wide(entry));
    const DWORD error = removed ? ERROR_SUCCESS : GetLastError();
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
      failed(InOutError::fromErrno(static_cast<int>(error), "Cannot remove " + text(entry)));
  }
}

int64_t GameFolder::fileSize(const QString& relative) const {
  const std::optional<FileStamp> stamp = stampOf(relative);
  return stamp ? stamp->size : -1;
}

std::optional<FileStamp> GameFolder::stampOf(const QString& relative) const {
  try {
    const Parent parent = openParent(relative);
    const Handle file = openFileInside(parent.path(), rootPathOf(root_));
    FILE_BASIC_INFO times{};
    LARGE_INTEGER size{};
    if (!file.valid() ||
        !GetFileInformationByHandleEx(file.get(), FileBasicInfo, &times, sizeof times) ||
        !GetFileSizeEx(file.get(), &size))
      return std::nullopt;
    return FileStamp{size.QuadPart, nanoseconds(times.LastWriteTime),
                     nanoseconds(times.ChangeTime)};
  } catch (const InOutError&) {
    return std::nullopt;
  }
}

QByteArray GameFolder::sha256Of(const QString& relative, int64_t& bytesRead) const {
  const Parent parent = openParent(relative);
  Handle file = openFileInside(parent.path(), rootPathOf(root_), GENERIC_READ);
  if (!file.valid())
    throw InOutError(kFileNotFound, text(parent.path()) + " is no file inside the game folder");
  HandleFile opened(std::move(file), parent.path());
  Sha256 hash;
  bytesRead += hashFromStart(hash, opened);
  return hash.result();
}

int64_t GameFolder::freeSpace() const {
  return static_cast<int64_t>(freeBytesAt(rootPathOf(root_)));
}

void GameFolder::replaceFile(const QString& relative, int64_t size,
                             const std::optional<partial_copy::Source>& source,
                             const std::function<void(TStream&, int64_t from)>& fetch,
                             const QByteArray& sha256) const {
  const Parent parent = openParent(relative);
  const DWORD attributes = attributesOf(parent.path());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
      !isLink(attributes))
    throw InOutError(kAccessDenied, text(parent.path()) + " is a folder");
  const PartialCopy copy(parent, parent.name);
  copy.refuseFolders();
  Handle kept = copy.openKept();
  const int64_t from = copy.resumeOffset(kept, source, size);
  const uint64_t freeBytes = freeBytesAt(parent.folderPath);
  if (size < 0 || static_cast<uint64_t>(size - from) > freeBytes)
    throw InOutError(kDiskFull, relative.toStdString() + " is listed with " + std::to_string(size) +
                                    " bytes; the disk of " + text(parent.folderPath) + " has " +
                                    std::to_string(freeBytes) + " bytes free");

  ListedSizeStream stream(
      std::make_unique<HandleFile>(copy.open(from, std::move(kept), source), copy.path()), relative,
      size, from, sha256);
  try {
    stream.hashKeptBytes(from);
    fetch(stream, from);
    // Not flushed to the disk: a file a crash leaves short has another size,
    // and the next run fetches it again.
    stream.finish();
  } catch (...) {
    // A copy is kept for the next fetch to go on from, unless it holds
    // nothing or is worth nothing: a full disk gets its space back.
    if (stream.worthless() || stream.reached() == 0) {
      stream.abandon();
      copy.discard();
    }
    throw;
  }
  try {
    copy.moveTo(parent.path());
  } catch (...) {
    copy.discard();
    throw;
  }
}

bool leadsInside(const QString& root, const QString& path) {
  return resolvesInside(QDir::fromNativeSeparators(path), rootPathOf(root));
}

namespace {

QString systemFolder() {
  wchar_t buffer[MAX_PATH] = {};
  const UINT length = GetWindowsDirectoryW(buffer, MAX_PATH);
  return length > 0 && length < MAX_PATH
             ? QDir::fromNativeSeparators(QString::fromWCharArray(buffer, length))
             : QString();
}

bool isSameOrBelow(const QString& path, const QString& folder) {
  return !folder.isEmpty() &&
         (path.compare(folder, Qt::CaseInsensitive) == 0 ||
          path.startsWith(folder.endsWith('/') ? folder : folder + '/', Qt::CaseInsensitive));
}

}  // namespace

// A drive's root, the player's profile folder itself, or Windows' own folder.
bool isProtectedFolder(const QString& folder) {
  const QString real = QFileInfo(folder).canonicalFilePath();
  if (real.isEmpty()) return false;
  if (QDir(real).isRoot()) return true;
  if (real.compare(QFileInfo(QDir::homePath()).canonicalFilePath(), Qt::CaseInsensitive) == 0)
    return true;
  const QString windows = QFileInfo(systemFolder()).canonicalFilePath();
  return isSameOrBelow(real, windows);
}

// A named mutex per game folder: the system releases it when the process that
// holds it ends, however it ends. A mutex can be taken again by the thread
// that holds it, so the folders this process holds are also kept in a list.
struct GameFolderLock::Hold {
  Handle mutex;
  QString name;
};

namespace {

std::mutex heldNamesGuard;
std::set<QString> heldNames;

QString mutexNameOf(const QString& root) {
  const QString real = finalPathOf(rootPathOf(root));
  const QByteArray key = (real.isEmpty() ? rootPathOf(root).toUpper() : real).toUtf8();
  return QStringLiteral("Local\\QuorrelGameFolder-") +
         QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex());
}

}  // namespace

GameFolderLock::GameFolderLock(std::unique_ptr<Hold> hold) : hold_(std::move(hold)) {}

std::optional<GameFolderLock> GameFolderLock::take(const QString& root) {
  const QString name = mutexNameOf(root);
  {
    const std::lock_guard<std::mutex> guard(heldNamesGuard);
    if (!heldNames.insert(name).second) return std::nullopt;
  }
  Handle mutex(CreateMutexW(nullptr, FALSE, wide(name)));
  if (!mutex.get()) mutex.release();  // CreateMutexW fails with null, not INVALID_HANDLE_VALUE
  const DWORD waited = mutex.valid() ? WaitForSingleObject(mutex.get(), 0) : WAIT_FAILED;
  if (waited == WAIT_TIMEOUT) {
    const std::lock_guard<std::mutex> guard(heldNamesGuard);
    heldNames.erase(name);
    return std::nullopt;
  }
  // A mutex that cannot be made cannot tell; only a lock held elsewhere stops the flow.
  if (waited == WAIT_FAILED) mutex = Handle();
  return GameFolderLock(std::make_unique<Hold>(Hold{std::move(mutex), name}));
}

GameFolderLock::GameFolderLock(GameFolderLock&& other) noexcept = default;

GameFolderLock::~GameFolderLock() {
  if (!hold_) return;
  if (hold_->mutex.valid()) ReleaseMutex(hold_->mutex.get());
  const std::lock_guard<std::mutex> guard(heldNamesGuard);
  heldNames.erase(hold_->name);
}

struct FolderTrail::Folders {
  std::vector<Handle> open;
};

FolderTrail::FolderTrail(QString root)
    : root_(std::move(root)), folders_(std::make_unique<Folders>()) {}

FolderTrail::~FolderTrail() = default;

size_t FolderTrail::depth() const {
  return folders_->open.empty() ? 0 : folders_->open.size() - 1;
}

void FolderTrail::enter(const QString& name) {
  std::vector<Handle>& open = folders_->open;
  const QString rootPath = rootPathOf(root_);
  if (open.empty()) {
    open.push_back(openFolder(rootPath, rootPath, true));
    path_ = rootPath.toUtf8();
  }
  const QString path = QString::fromUtf8(path_) + '/' + name;
  if (!CreateDirectoryW(wide(QDir::toNativeSeparators(path)), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS)
    failWith(GetLastError(), "Cannot create the folder " + text(path));
  // A folder already there is used as it is; a link to one inside the game folder too.
  open.push_back(openFolder(path, rootPath, false));
  path_ = path.toUtf8();
}

void FolderTrail::leave() {
  std::vector<Handle>& open = folders_->open;
  if (open.size() < 2) return;
  open.pop_back();
  path_.truncate(path_.lastIndexOf('/'));
}

}  // namespace quorrel
