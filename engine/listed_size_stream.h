#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>

#include "sha256.h"
#include "stream.h"

namespace quorrel {

// An open file of the game folder as the system reads and writes it at given
// offsets. Failures are InOutErrors naming the file.
class OpenFile {
 public:
  virtual ~OpenFile() = default;
  virtual void writeAt(int64_t offset, const char* bytes, int64_t count) = 0;
  // Up to `capacity` bytes at `offset`; 0 at the end of the file.
  virtual int64_t readAt(int64_t offset, char* buffer, int64_t capacity) = 0;
  // Closes the file, reporting a failure to write it out.
  virtual void close() = 0;
};

// Adds the bytes of `file` from its first one up to `end` (or to its last,
// when it is shorter) to `hash`; returns how many it read.
int64_t hashFromStart(Sha256& hash, OpenFile& file, int64_t end = INT64_MAX);

// Writes a fetched file into its partial copy, never past the size the
// listing gave it, and hashes its bytes on the way when a digest is expected
// of it.
class ListedSizeStream : public TStream {
 public:
  // The copy already holds `from` bytes; `sha256` is empty when no digest is expected.
  ListedSizeStream(std::unique_ptr<OpenFile> file, QString relative, int64_t size, int64_t from,
                   QByteArray sha256);
  void setPosition(int64_t position) override { position_ = position; }
  int64_t read(void*, int64_t) override { return 0; }  // a fetch only writes
  int64_t write(const void* buffer, int64_t count) override;
  // When a digest is expected of a fetch that goes on from a partial copy,
  // the `kept` bytes of the copy are read back into the hash first: the
  // digest is the whole file's, and a copy spoilt since it was written is
  // found out.
  void hashKeptBytes(int64_t kept);
  // Closes the file once it holds exactly the listed size and, when a digest
  // is expected, that digest.
  void finish();
  // Closes the file without a word, for a copy about to be removed (Windows
  // removes no file that is still open).
  void abandon() { file_.reset(); }
  // Whether the copy is worth nothing: the server sent other than the
  // listed size, so it is of another file, the disk did not take it, or it
  // is not the file the manifest names.
  bool worthless() const { return worthless_; }
  int64_t reached() const { return reached_; }

 private:
  void hashInOrder(const void* buffer, int64_t count);
  QByteArray digest();
  void checkDigest();

  std::unique_ptr<OpenFile> file_;
  QString relative_;
  int64_t size_;
  QByteArray expected_;
  Sha256 hash_;
  int64_t hashed_ = 0;  // the bytes from the first that the hash has taken
  bool inOrder_ = true;
  int64_t position_;
  int64_t reached_;
  bool worthless_ = false;
};

}  // namespace quorrel
