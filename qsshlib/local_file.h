#pragma once

#include <cstdint>
#include <string>
#include <utility>

// The local files the library reads and writes. Every call of the system for
// them is in this unit's implementation, one per system (posix/, win/). Files are
// always binary: what is written is byte for byte what lands on the disk.
namespace qssh {

// The system's handle of an open file.
#ifdef _WIN32
using NativeFile = void*;
#else
using NativeFile = int;
#endif

// What the library keeps of a local file's attributes.
struct LocalAttributes {
  uint32_t permissions = 0;  // the permission bits only
  uint32_t atime = 0;
  uint32_t mtime = 0;
};

// An open local file. Failures are LibErrors with QSSH_ERR_LOCAL_FILE and the
// system's text.
class LocalFile {
 public:
  static LocalFile openForReading(const std::string& path);
  // Creates the file unless `append` finds it there; without `append` an
  // existing file is emptied, or refused when `keepExisting`.
  static LocalFile openForWriting(const std::string& path, bool append, bool keepExisting,
                                  int32_t mode);
  LocalFile(LocalFile&& other) noexcept
      : path_(std::move(other.path_)), handle_(std::exchange(other.handle_, kClosed)) {}
  LocalFile& operator=(LocalFile&&) = delete;
  ~LocalFile();

  uint64_t size() const;
  LocalAttributes attributes() const;
  // Up to `capacity` bytes at `offset`; 0 at the end of the file.
  size_t readAt(uint64_t offset, char* buffer, size_t capacity);
  void writeAt(uint64_t offset, const char* data, size_t length);
  // Reserves the disk space from `start` to `end`. Best effort: where the file
  // system cannot, the file simply grows as it is written.
  void reserve(uint64_t start, uint64_t end);
  // Closes the file, written out to the disk first when `sync`.
  void finish(bool sync);

 private:
  static const NativeFile kClosed;
  LocalFile(std::string path, NativeFile handle) : path_(std::move(path)), handle_(handle) {}
  std::string path_;
  NativeFile handle_;
};

// Whether a plain file is there to be read; `reason` says why not.
enum class LocalFileState { Missing, Readable, Unreadable };
LocalFileState localFileState(const std::string& path, std::string& reason);
// Creates the folders that lead to `file`, readable by the user alone. Best
// effort: a folder that cannot be made shows when the file is written.
void makeParentFolders(const std::string& file);

// The size of the file at `path`; 0 when there is none.
uint64_t localFileSize(const std::string& path);
// Best effort, like the copy of attributes they serve: a file that keeps its
// own times or permissions is still the whole file.
void setLocalTimes(const std::string& path, uint32_t atime, uint32_t mtime);
void setLocalPermissions(const std::string& path, uint32_t permissions);
#ifdef _WIN32
inline constexpr const char* kPathSeparator = "\\";
#else
inline constexpr const char* kPathSeparator = "/";
#endif

// The per-user folder where the library keeps what it learns (the known hosts).
std::string userDataFolder();
// Best effort: a partial file that cannot be removed stays for the caller.
void removeLocalFile(const std::string& path);

}  // namespace qssh
