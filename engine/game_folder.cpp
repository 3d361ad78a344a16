#include "game_folder.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <optional>
#include <utility>
#include <vector>

#include "game_folder_system.h"
#include "io_error.h"
#include "listed_size_stream.h"
#include "partial_copy.h"

// The game folder on any system: every check, message and order of steps is
// here, and the system is reached only through game_folder_system.h.
namespace quorrel {

namespace sys = game_folder_system;
using sys::NativeString;

namespace {

std::string text(const NativeString& path) {
  return sys::messageText(path);
}

QStringList componentsOf(const QString& relative) {
  return QDir::fromNativeSeparators(relative).split(QChar('/'), Qt::SkipEmptyParts);
}

sys::Entry entryIn(const sys::Folder& folder, const NativeString& name) {
  return sys::Entry{folder, name, folder.path + '/' + name};
}

bool resolvesInside(const NativeString& path, const NativeString& rootPath) {
  const NativeString rootReal = sys::resolvedPath(rootPath);
  return !rootReal.isEmpty() && sys::resolvedPath(path).startsWith(rootReal + '/');
}

sys::Folder checkedFolder(sys::HeldFolder hold, const NativeString& path) {
  if (!sys::isFolder(*hold))
    throw InOutError::fromErrno(sys::notFolderError(), "Cannot open the folder " + text(path));
  return sys::Folder{std::move(hold), path};
}

sys::Folder openGameFolder(const NativeString& rootPath) {
  int error = 0;
  sys::HeldFolder hold = sys::openGameFolderAt(rootPath, error);
  if (!hold) throw InOutError::fromErrno(error, "Cannot open the game folder " + text(rootPath));
  return checkedFolder(std::move(hold), rootPath);
}

// Opens the folder `entry`; a link is followed only where it leads to a
// folder inside the game folder.
sys::Folder openFolderIn(const sys::Entry& entry, const NativeString& rootPath) {
  const bool link = sys::kindOf(entry) == sys::EntryKind::kLink;
  if (link && !resolvesInside(entry.path, rootPath))
    throw InOutError(kAccessDenied, text(entry.path) + " links outside the game folder");
  int error = 0;
  sys::HeldFolder hold = sys::openFolderEntry(entry, link, error);
  if (!hold) throw InOutError::fromErrno(error, "Cannot open the folder " + text(entry.path));
  return checkedFolder(std::move(hold), entry.path);
}

// The folder `count` components below the game folder, last, each reached as
// openFolderIn() allows; before it the folders above, where the system needs
// them held.
std::vector<sys::Folder> holdFolders(const NativeString& rootPath, const QStringList& components,
                                     qsizetype count) {
  std::vector<sys::Folder> held;
  held.push_back(openGameFolder(rootPath));
  for (qsizetype i = 0; i < count; ++i) {
    sys::Folder next = openFolderIn(entryIn(held.back(), sys::nativeOf(components[i])), rootPath);
    if (!sys::kHoldFoldersAbove) held.clear();
    held.push_back(std::move(next));
  }
  return held;
}

// Whether `entry` can be a file inside the game folder: a file, or a link
// that leads inside it. Whether what it leads to is a plain file, the
// system tells when following it.
bool mayBeFileInside(const sys::Entry& entry, const NativeString& rootPath) {
  switch (sys::kindOf(entry)) {
    case sys::EntryKind::kFile:
      return true;
    case sys::EntryKind::kLink:
      return resolvesInside(entry.path, rootPath);
    default:
      return false;
  }
}

// The record beside a partial copy, or nothing when there is none or it
// cannot be read: a record is a few bytes, so a long one is no record.
std::optional<partial_copy::Source> readRecord(const sys::Entry& entry) {
  constexpr qsizetype kMostRecordBytes = 256;
  int error = 0;
  const std::unique_ptr<sys::SystemFile> record =
      sys::openNoFollow(entry, sys::Opening::kRead, error);
  const std::optional<sys::FileFacts> facts = record ? record->facts() : std::nullopt;
  if (!facts || !facts->plainFile) return std::nullopt;
  QByteArray bytes(kMostRecordBytes + 1, '\0');
  int64_t got = 0;
  try {
    got = record->readAt(0, bytes.data(), bytes.size());
  } catch (const InOutError&) {
    return std::nullopt;
  }
  if (got > kMostRecordBytes) return std::nullopt;
  bytes.truncate(got);
  return partial_copy::parseRecord(bytes);
}

}  // namespace

class GameFolder::Parent {
 public:
  const sys::Folder& folder() const { return held.back(); }
  sys::Entry entry() const { return entryIn(folder(), name); }
  sys::Entry entryOf(const NativeString& other) const { return entryIn(folder(), other); }

  std::vector<sys::Folder> held;  // the folder that holds the name last
  NativeString name;              // the last component
};

// A file's partial copy beside it, and the record of the server's file it
// comes from (see partial_copy.h).
class GameFolder::PartialCopy {
 public:
  explicit PartialCopy(const Parent& parent)
      : copy_(parent.entryOf(nameOf(parent.name, partial_copy::copyName))),
        record_(parent.entryOf(nameOf(parent.name, partial_copy::recordName))) {}

  const NativeString& path() const { return copy_.path; }

  // A folder at the copy's or the record's name would fail every fetch of
  // the file; it is the player's to remove, so the error names it. A link
  // to a folder there is the launcher's to replace.
  void refuseFolders() const {
    for (const sys::Entry* entry : {&copy_, &record_})
      if (sys::kindOf(*entry) == sys::EntryKind::kFolder)
        throw Exception(text(entry->path) +
                        " is a folder in the place of the launcher's partial copy");
  }

  // The copy an earlier fetch left, open to go on with; none when no plain
  // file is there. A copy with another link (a hard link to some other
  // file) is none either: going on would write into that file, and
  // discarding the copy removes only this name of it.
  std::unique_ptr<sys::SystemFile> openKept() const {
    int error = 0;
    std::unique_ptr<sys::SystemFile> file =
        sys::openNoFollow(copy_, sys::Opening::kReadWrite, error);
    const std::optional<sys::FileFacts> facts = file ? file->facts() : std::nullopt;
    if (!facts || !facts->plainFile || facts->links != 1) return nullptr;
    return file;
  }

  // Where a fetch of `source`, listed with `size` bytes, goes on in `kept`.
  int64_t resumeOffset(const std::unique_ptr<sys::SystemFile>& kept,
                       const std::optional<partial_copy::Source>& source, int64_t size) const {
    if (!source || !kept) return 0;
    const std::optional<sys::FileFacts> facts = kept->facts();
    if (!facts) return 0;
    return partial_copy::resumeOffset(facts->size, readRecord(record_), *source, size);
  }

  // The copy to write from `from` on: `kept` to go on with, or from 0 a
  // new, empty one, recorded as of `source`. The record goes last, so a
  // copy whose record is missing or damaged is never taken for one of
  // another file. Readable too: the digest of a fetch reads the kept bytes,
  // and blocks that arrived out of order, back from the copy.
  std::unique_ptr<sys::SystemFile> open(int64_t from, std::unique_ptr<sys::SystemFile> kept,
                                        const std::optional<partial_copy::Source>& source) const {
    if (from > 0) return kept;
    kept.reset();
    discard();
    int error = 0;
    std::unique_ptr<sys::SystemFile> file = sys::openNoFollow(copy_, sys::Opening::kCreate, error);
    if (!file) throw InOutError::fromErrno(error, "Cannot create " + text(copy_.path));
    try {
      if (source) writeRecord(*source);
    } catch (...) {
      file.reset();  // Windows removes no file that is still open
      discard();
      throw;
    }
    return file;
  }

  // Puts the whole copy in the place of `target`, and drops its record.
  // Renaming over a link replaces the link, never the file it leads to.
  void moveTo(const sys::Entry& target) const {
    if (const int error = sys::renameReplacing(copy_, target))
      throw InOutError::fromErrno(error,
                                  "Cannot move " + text(copy_.path) + " to " + text(target.path));
    sys::removeEntry(record_);
  }

  // Removes the copy and its record, if there; what cannot be removed is
  // found out by the next open.
  void discard() const {
    sys::removeEntry(record_);
    sys::removeEntry(copy_);
  }

 private:
  static NativeString nameOf(const NativeString& name, QByteArray (*derive)(const QByteArray&)) {
    return sys::fromBytes(derive(sys::bytesOf(name)));
  }

  void writeRecord(const partial_copy::Source& source) const {
    const QByteArray content = partial_copy::recordText(source);
    int error = 0;
    const std::unique_ptr<sys::SystemFile> record =
        sys::openNoFollow(record_, sys::Opening::kReplace, error);
    if (!record) throw InOutError::fromErrno(error, "Cannot write " + text(record_.path));
    record->writeAt(0, content.constData(), content.size());
  }

  sys::Entry copy_;
  sys::Entry record_;
};

GameFolder::GameFolder(QString root) : root_(std::move(root)) {}

namespace game_folder_system {

NativeString rootPathOf(const QString& root) {
  NativeString path = nativeOf(QDir::fromNativeSeparators(root));
  while (path.size() > kShortestRootPath && path.endsWith('/')) path.chop(1);
  return path;
}

}  // namespace game_folder_system

GameFolder::Parent GameFolder::openParent(const QString& relative) const {
  const QStringList components = componentsOf(relative);
  if (components.isEmpty())
    throw InOutError(kInvalidFilename, "No file name in " + relative.toStdString());
  Parent parent;
  parent.held = holdFolders(sys::rootPathOf(root_), components, components.size() - 1);
  parent.name = sys::nativeOf(components.last());
  return parent;
}

void GameFolder::removeStalePartialCopies(
    const QString& relative, const QSet<QString>& listed,
    const std::function<void(const InOutError&)>& failed) const {
  const QStringList components = componentsOf(relative);
  const std::vector<sys::Folder> held =
      holdFolders(sys::rootPathOf(root_), components, components.size());
  const sys::Folder& folder = held.back();
  QSet<NativeString> kept;
  for (const QString& name : listed) {
    const NativeString native = sys::nativeOf(name);
    const QByteArray bytes = sys::bytesOf(native);
    kept << native << sys::fromBytes(partial_copy::copyName(bytes))
         << sys::fromBytes(partial_copy::recordName(bytes));
  }
  std::vector<NativeString> names;
  if (const int error = sys::listFolder(folder, names))
    throw InOutError::fromErrno(error, "Cannot list the folder " + text(folder.path));
  std::vector<NativeString> stale;
  for (const NativeString& name : names) {
    const QByteArray bytes = sys::bytesOf(name);
    if (!kept.contains(name) &&
        (partial_copy::isPartialCopyName(bytes) || partial_copy::isOldStyleCopyName(bytes)))
      stale.push_back(name);
  }
  for (const NativeString& name : stale) {
    const sys::Entry entry = entryIn(folder, name);
    const sys::EntryKind kind = sys::kindOf(entry);
    if (kind != sys::EntryKind::kFile && kind != sys::EntryKind::kLink)
      continue;  // gone meanwhile, or a folder or the like: no copy
    if (const int error = sys::removeEntry(entry))
      failed(InOutError::fromErrno(error, "Cannot remove " + text(entry.path)));
  }
}

int64_t GameFolder::fileSize(const QString& relative) const {
  const std::optional<FileStamp> stamp = stampOf(relative);
  return stamp ? stamp->size : -1;
}

std::optional<FileStamp> GameFolder::stampOf(const QString& relative) const {
  try {
    const Parent parent = openParent(relative);
    const sys::Entry entry = parent.entry();
    if (!mayBeFileInside(entry, sys::rootPathOf(root_))) return std::nullopt;
    return sys::stampFollowing(entry);
  } catch (const InOutError&) {
    return std::nullopt;
  }
}

QByteArray GameFolder::sha256Of(const QString& relative, int64_t& bytesRead) const {
  const Parent parent = openParent(relative);
  const sys::Entry entry = parent.entry();
  int error = 0;
  // A link there is checked to lead inside the game folder before it is followed.
  const std::unique_ptr<sys::SystemFile> file = mayBeFileInside(entry, sys::rootPathOf(root_))
                                                    ? sys::openPlainFollowing(entry, error)
                                                    : nullptr;
  if (!file && error != 0) throw InOutError::fromErrno(error, "Cannot open " + text(entry.path));
  if (!file)
    throw InOutError(kFileNotFound, text(entry.path) + " is no file inside the game folder");
  Sha256 hash;
  bytesRead += hashFromStart(hash, *file);
  return hash.result();
}

int64_t GameFolder::freeSpace() const {
  const NativeString rootPath = sys::rootPathOf(root_);
  uint64_t bytes = 0;
  if (const int error = sys::freeBytesAt(rootPath, bytes))
    throw InOutError::fromErrno(error, "Cannot read the free space of " + text(rootPath));
  return static_cast<int64_t>(bytes);
}

void GameFolder::replaceFile(const QString& relative, int64_t size,
                             const std::optional<partial_copy::Source>& source,
                             const std::function<void(TStream&, int64_t from)>& fetch,
                             const QByteArray& sha256) const {
  const Parent parent = openParent(relative);
  const sys::Entry target = parent.entry();
  // A link to a folder is replaced as a link; a folder itself is the player's.
  if (sys::kindOf(target) == sys::EntryKind::kFolder)
    throw InOutError(kAccessDenied, text(target.path) + " is a folder");
  const NativeString& folderPath = parent.folder().path;
  uint64_t freeBytes = 0;
  if (const int error = sys::freeBytesIn(parent.folder(), freeBytes))
    throw InOutError::fromErrno(error, "Cannot read the free space of " + text(folderPath));
  const PartialCopy copy(parent);
  copy.refuseFolders();
  // The kept copy is checked to be a plain file of one link before a byte
  // goes into it.
  std::unique_ptr<sys::SystemFile> kept = copy.openKept();
  const int64_t from = copy.resumeOffset(kept, source, size);
  if (size < 0 || static_cast<uint64_t>(size - from) > freeBytes)
    throw InOutError(kDiskFull, relative.toStdString() + " is listed with " + std::to_string(size) +
                                    " bytes; the disk of " + text(folderPath) + " has " +
                                    std::to_string(freeBytes) + " bytes free");

  ListedSizeStream stream(copy.open(from, std::move(kept), source), relative, size, from, sha256);
  try {
    stream.hashKeptBytes(from);
    fetch(stream, from);
    // Not synced to the disk: a file a crash leaves short has another size,
    // and the next run fetches it again.
    stream.finish();
  } catch (...) {
    // A copy is kept for the next fetch to go on from, unless it holds
    // nothing or is worth nothing: a full disk gets its space back.
    if (stream.worthless() || stream.reached() == 0) {
      stream.abandon();  // closed first: Windows removes no file that is still open
      copy.discard();
    }
    throw;
  }
  try {
    copy.moveTo(target);
  } catch (...) {
    copy.discard();
    throw;
  }
}

bool leadsInside(const QString& root, const QString& path) {
  return resolvesInside(sys::nativeOf(QDir::fromNativeSeparators(path)), sys::rootPathOf(root));
}

namespace {

bool isSameOrBelow(const QString& path, const QString& folder) {
  return !folder.isEmpty() &&
         (path.compare(folder, sys::kPathCase) == 0 ||
          path.startsWith(folder.endsWith('/') ? folder : folder + '/', sys::kPathCase));
}

}  // namespace

bool isProtectedFolder(const QString& folder) {
  const QString real = QFileInfo(folder).canonicalFilePath();
  if (real.isEmpty()) return false;
  if (QDir(real).isRoot()) return true;
  if (real.compare(QFileInfo(QDir::homePath()).canonicalFilePath(), sys::kPathCase) == 0)
    return true;
  for (const QString& system : sys::systemFolders())
    if (isSameOrBelow(real, system)) return true;
  return false;
}

struct FolderTrail::Folders {
  std::vector<sys::Folder> open;
};

FolderTrail::FolderTrail(QString root)
    : root_(std::move(root)), folders_(std::make_unique<Folders>()) {}

FolderTrail::~FolderTrail() = default;

size_t FolderTrail::depth() const {
  return folders_->open.empty() ? 0 : folders_->open.size() - 1;
}

void FolderTrail::enter(const QString& name) {
  std::vector<sys::Folder>& open = folders_->open;
  const NativeString rootPath = sys::rootPathOf(root_);
  if (open.empty()) open.push_back(openGameFolder(rootPath));
  const sys::Entry entry = entryIn(open.back(), sys::nativeOf(name));
  if (const int error = sys::makeFolder(entry))
    throw InOutError::fromErrno(error, "Cannot create the folder " + text(entry.path));
  // A folder already there is used as it is; a link to one inside the game folder too.
  sys::Folder folder = openFolderIn(entry, rootPath);
  open.push_back(std::move(folder));
}

void FolderTrail::leave() {
  std::vector<sys::Folder>& open = folders_->open;
  if (open.size() < 2) return;
  open.pop_back();
}

}  // namespace quorrel
