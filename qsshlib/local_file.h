#pragma once

#include <cstdint>
#include <string>

#include "posix/descriptor.h"

// The local files the library reads and writes. Every call of the system for
// them is in this unit's implementation, one per system (posix/local_file.cpp).
namespace qssh {

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
  LocalFile(LocalFile&& other) noexcept = default;
  LocalFile& operator=(LocalFile&&) = delete;

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
  LocalFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  std::string path_;
  quorrel::posix::Descriptor fd_;
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
// Best effort: a partial file that cannot be removed stays for the caller.
void removeLocalFile(const std::string& path);

}  // namespace qssh
