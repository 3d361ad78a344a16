#include <windows.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "game_folder.h"
#include "game_folder_system.h"
#include "io_error.h"
#include "win/handle.h"

// Windows has no openat(): a folder is reached by its path. Each folder on the
// way is held open without delete sharing, so it cannot be renamed, removed or
// swapped for a link while a file inside it is written; a link (symbolic link
// or junction) is entered only where it leads to a place inside the game folder.
namespace quorrel {

using win::Handle;

namespace game_folder_system {

namespace {

const wchar_t* wide(const QString& text) {
  return reinterpret_cast<const wchar_t*>(text.utf16());
}

// What the system calls take: the path with Windows' separators.
QString native(const QString& path) {
  return QDir::toNativeSeparators(path);
}

[[noreturn]] void failWith(DWORD error, const std::string& attempt) {
  throw InOutError::fromErrno(static_cast<int>(error), attempt);
}

int lastError() {
  return static_cast<int>(GetLastError());
}

constexpr DWORD kShareAllButDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Opens what `path` names, following links when `followLinks`.
Handle openEntry(const QString& path, bool followLinks) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return Handle(CreateFileW(wide(native(path)), FILE_READ_ATTRIBUTES, kShareAllButDelete, nullptr,
                            OPEN_EXISTING, flags, nullptr));
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

bool isLink(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

DWORD attributesOf(const QString& path) {
  return GetFileAttributesW(wide(native(path)));
}

// A file of the game folder by its handle.
class HandleFile : public SystemFile {
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
        failWith(wrote ? ERROR_DISK_FULL : GetLastError(), "Cannot write " + messageText(path_));
      done += put;
    }
  }
  int64_t readAt(int64_t offset, char* buffer, int64_t capacity) override {
    OVERLAPPED at = overlappedAt(offset);
    DWORD got = 0;
    const auto wanted = static_cast<DWORD>(std::min<int64_t>(capacity, 1 << 30));
    if (ReadFile(file_.get(), buffer, wanted, &got, &at)) return got;
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    failWith(GetLastError(), "Cannot read " + messageText(path_));
  }
  void close() override {
    if (!CloseHandle(file_.release()))
      failWith(GetLastError(), "Cannot write " + messageText(path_));
  }
  std::optional<FileFacts> facts() const override {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file_.get(), &info)) return std::nullopt;
    return FileFacts{
        !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)),
        info.nNumberOfLinks,
        static_cast<int64_t>((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow)};
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

// Opens the file at `path`, a link followed; nothing when no file (but a
// folder) is there.
Handle openFollowing(const QString& path, DWORD access) {
  Handle file(CreateFileW(wide(native(path)), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
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

QString windowsFolder() {
  wchar_t buffer[MAX_PATH] = {};
  const UINT length = GetWindowsDirectoryW(buffer, MAX_PATH);
  return length > 0 && length < MAX_PATH
             ? QDir::fromNativeSeparators(QString::fromWCharArray(buffer, length))
             : QString();
}

}  // namespace

NativeString nativeOf(const QString& path) {
  return path;
}

QByteArray bytesOf(const NativeString& name) {
  return name.toUtf8();
}

NativeString fromBytes(const QByteArray& bytes) {
  return QString::fromUtf8(bytes);
}

std::string messageText(const NativeString& path) {
  return native(path).toStdString();
}

NativeString resolvedPath(const NativeString& path) {
  const Handle entry = openEntry(path, true);
  return entry.valid() ? finalPathOf(entry.get()) : QString();
}

struct FolderHold {
  Handle handle;
};

void FolderHoldCloser::operator()(FolderHold* hold) const {
  delete hold;
}

EntryKind kindOf(const Entry& entry) {
  const DWORD attributes = attributesOf(entry.path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return EntryKind::kNone;
  if (isLink(attributes)) return EntryKind::kLink;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::kFolder;
  return EntryKind::kFile;
}

namespace {

HeldFolder heldFolder(Handle handle, int& error) {
  if (!handle.valid()) {
    error = lastError();
    return nullptr;
  }
  return HeldFolder(new FolderHold{std::move(handle)});
}

}  // namespace

HeldFolder openGameFolderAt(const NativeString& rootPath, int& error) {
  return heldFolder(openEntry(rootPath, true), error);
}

HeldFolder openFolderEntry(const Entry& entry, bool followLinks, int& error) {
  return heldFolder(openEntry(entry.path, followLinks), error);
}

bool isFolder(const FolderHold& hold) {
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileInformationByHandle(hold.handle.get(), &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

int notFolderError() {
  return ERROR_DIRECTORY;
}

int makeFolder(const Entry& entry) {
  if (CreateDirectoryW(wide(native(entry.path)), nullptr)) return 0;
  const DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS ? 0 : static_cast<int>(error);
}

int listFolder(const Folder& folder, std::vector<NativeString>& names) {
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileExW(wide(native(folder.path + QStringLiteral("/*"))),
                                   FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return lastError();
  do names.push_back(QString::fromWCharArray(found.cFileName));
  while (FindNextFileW(search, &found));
  FindClose(search);
  return 0;
}

int removeEntry(const Entry& entry) {
  const DWORD attributes = attributesOf(entry.path);
  const bool removed = isLink(attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                           ? RemoveDirectoryW(wide(native(entry.path)))
                           : DeleteFileW(wide(native(entry.path)));
  const DWORD error = removed ? ERROR_SUCCESS : GetLastError();
  return error == ERROR_FILE_NOT_FOUND ? 0 : static_cast<int>(error);
}

int renameReplacing(const Entry& from, const Entry& to) {
  return MoveFileExW(wide(native(from.path)), wide(native(to.path)), MOVEFILE_REPLACE_EXISTING)
             ? 0
             : lastError();
}

int freeBytesAt(const NativeString& path, uint64_t& bytes) {
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(wide(native(path + '/')), &available, nullptr, nullptr))
    return lastError();
  bytes = available.QuadPart;
  return 0;
}

int freeBytesIn(const Folder& folder, uint64_t& bytes) {
  return freeBytesAt(folder.path, bytes);
}

// FILE_FLAG_OPEN_REPARSE_POINT opens a link itself rather than refusing it,
// so what is opened is refused here unless it is a plain file.
std::unique_ptr<SystemFile> openNoFollow(const Entry& entry, Opening opening, int& error) {
  DWORD access = GENERIC_READ | GENERIC_WRITE;
  DWORD disposition = CREATE_NEW;
  switch (opening) {
    case Opening::kRead:
      access = GENERIC_READ;
      disposition = OPEN_EXISTING;
      break;
    case Opening::kReadWrite:
      disposition = OPEN_EXISTING;
      break;
    case Opening::kCreate:
      break;
    case Opening::kReplace:
      removeEntry(entry);
      access = GENERIC_WRITE;
      break;
  }
  Handle file(CreateFileW(wide(native(entry.path)), access, FILE_SHARE_READ, nullptr, disposition,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) {
    error = lastError();
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  return std::make_unique<HandleFile>(std::move(file), entry.path);
}

std::optional<FileStamp> stampFollowing(const Entry& entry) {
  const Handle file = openFollowing(entry.path, FILE_READ_ATTRIBUTES);
  FILE_BASIC_INFO times{};
  LARGE_INTEGER size{};
  if (!file.valid() ||
      !GetFileInformationByHandleEx(file.get(), FileBasicInfo, &times, sizeof times) ||
      !GetFileSizeEx(file.get(), &size))
    return std::nullopt;
  return FileStamp{size.QuadPart, nanoseconds(times.LastWriteTime), nanoseconds(times.ChangeTime)};
}

// A file that cannot be opened is, as Windows tells it, no file there.
std::unique_ptr<SystemFile> openPlainFollowing(const Entry& entry, int& /*error*/) {
  Handle file = openFollowing(entry.path, GENERIC_READ);
  if (!file.valid()) return nullptr;
  return std::make_unique<HandleFile>(std::move(file), entry.path);
}

// Windows' own folder.
QStringList systemFolders() {
  return {QFileInfo(windowsFolder()).canonicalFilePath()};
}

}  // namespace game_folder_system

namespace sys = game_folder_system;

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
  const QString rootPath = sys::rootPathOf(root);
  const QString real = sys::resolvedPath(rootPath);
  const QByteArray key = (real.isEmpty() ? rootPath.toUpper() : real).toUtf8();
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
  Handle mutex(CreateMutexW(nullptr, FALSE, sys::wide(name)));
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

}  // namespace quorrel
