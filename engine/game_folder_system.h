#pragma once

// What the game folder asks of the system, and nothing more: each system's
// folder (posix/, win/) answers it with its own calls, and game_folder.cpp
// holds the game folder's logic once, for every system, on top of it.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hash_cache.h"
#include "listed_size_stream.h"

namespace quorrel::game_folder_system {

// A name or path as the system spells it: the bytes the file system holds on
// POSIX, UTF-16 on Windows, so that a name read from a folder is handed back
// to the system unchanged even where it is no valid text.
#ifdef _WIN32
using NativeString = QString;
#else
using NativeString = QByteArray;
#endif

// The shortest path that names a root ("/", "C:/"), which keeps its separator.
#ifdef _WIN32
constexpr qsizetype kShortestRootPath = 3;
#else
constexpr qsizetype kShortestRootPath = 1;
#endif

// A path or name of the program (with '/' separators) as the system spells it.
NativeString nativeOf(const QString& path);
// The bytes partial_copy.h makes its names of, and back.
QByteArray bytesOf(const NativeString& name);
NativeString fromBytes(const QByteArray& bytes);
// A path as a message shows it to the player.
std::string messageText(const NativeString& path);

// Where `path` leads once every link is resolved, in a form that compares with
// another such path; empty when the system cannot tell.
NativeString resolvedPath(const NativeString& path);

// The system's hold on an open folder.
struct FolderHold;
struct FolderHoldCloser {
  void operator()(FolderHold* hold) const;
};
using HeldFolder = std::unique_ptr<FolderHold, FolderHoldCloser>;

// An open folder of the game folder, with its path.
struct Folder {
  HeldFolder hold;
  NativeString path;
};

// Whether a folder stays where it was found only while every folder above it
// is held open too: Windows reaches what is inside a folder by its path, and
// a held folder cannot be renamed; POSIX reaches it through the descriptor.
#ifdef _WIN32
constexpr bool kHoldFoldersAbove = true;
#else
constexpr bool kHoldFoldersAbove = false;
#endif

// A name in an open folder, with its whole path: POSIX reaches it by the
// folder's descriptor and the name, Windows by the path.
struct Entry {
  const Folder& folder;
  NativeString name;
  NativeString path;
};

// What stands under a name, not following a link.
enum class EntryKind {
  kNone,    // nothing, or the system cannot tell
  kFolder,  // a folder itself, not a link to one
  kLink,    // a symbolic link or junction, to whatever it leads
  kFile,    // a plain file
  kOther,   // a pipe, a device or the like
};
EntryKind kindOf(const Entry& entry);

// Opens the game folder at `rootPath`, a link followed; null with the
// system's `error` when it cannot be opened.
HeldFolder openGameFolderAt(const NativeString& rootPath, int& error);
// Opens the folder `entry`, following a link there only with `followLinks`;
// null with the system's `error` when it cannot be opened.
HeldFolder openFolderEntry(const Entry& entry, bool followLinks, int& error);
// Whether what was opened as a folder is one (Windows opens files too).
bool isFolder(const FolderHold& hold);
// The system's error for a folder that is none.
int notFolderError();
// Creates the folder `entry`; the system's error, 0 when it was made or when
// something stands there already.
int makeFolder(const Entry& entry);
// Lists every name in `folder`; the system's error, 0 once listed.
int listFolder(const Folder& folder, std::vector<NativeString>& names);
// Removes the file or link `entry`, a link to a folder as a link, never with
// what it leads to; the system's error, 0 when it went or nothing was there.
int removeEntry(const Entry& entry);
// Puts `from` in the place of `to`, replacing a file or link there (never
// what a link leads to); the system's error, 0 once done.
int renameReplacing(const Entry& from, const Entry& to);
// The bytes free for the player on the disk of `path` or of `folder`; the
// system's error, 0 once told.
int freeBytesAt(const NativeString& path, uint64_t& bytes);
int freeBytesIn(const Folder& folder, uint64_t& bytes);

// What the system tells of an open file.
struct FileFacts {
  bool plainFile = false;
  uint64_t links = 0;
  int64_t size = 0;
};

// A file of the game folder, open by the system's handle.
class SystemFile : public OpenFile {
 public:
  // Nothing when the system cannot tell.
  virtual std::optional<FileFacts> facts() const = 0;
};

enum class Opening {
  kRead,       // an existing file, to read
  kReadWrite,  // an existing file, to read and write
  kCreate,     // a new file that nothing stands in the place of, to read and write
  kReplace,    // a new file or the one there emptied, to write
};
// Opens the file `entry` as `opening` says, never through a link; a link, and
// on Windows anything but a plain file, is refused. Null with the system's
// `error` when it cannot be opened. Not blocking on a pipe there.
std::unique_ptr<SystemFile> openNoFollow(const Entry& entry, Opening opening, int& error);

// The stamp of the plain file `entry`, a link followed (checked by the
// caller); nothing when no plain file is there or the system cannot tell.
std::optional<FileStamp> stampFollowing(const Entry& entry);
// Opens the plain file `entry` to read, a link followed (checked by the
// caller); null with `error` 0 when no plain file is there, with the
// system's error when it cannot be opened.
std::unique_ptr<SystemFile> openPlainFollowing(const Entry& entry, int& error);

// The game folder's path with '/' separators and without a trailing one (but
// for a root's), so that paths built from it read well in messages.
NativeString rootPathOf(const QString& root);

// The folders in which a game is never to be written, besides a root and the
// player's home folder, and how paths compare on this system.
QStringList systemFolders();
#ifdef _WIN32
constexpr Qt::CaseSensitivity kPathCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kPathCase = Qt::CaseSensitive;
#endif

}  // namespace quorrel::game_folder_system
