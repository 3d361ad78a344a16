#include "listed_size_stream.h"

#include <algorithm>
#include <vector>

#include "game_folder.h"

namespace quorrel {

int64_t hashFromStart(Sha256& hash, OpenFile& file, int64_t end) {
  std::vector<char> buffer(1024 * 1024);
  int64_t offset = 0;
  while (offset < end) {
    const int64_t wanted = std::min<int64_t>(end - offset, static_cast<int64_t>(buffer.size()));
    const int64_t got = file.readAt(offset, buffer.data(), wanted);
    if (got == 0) break;
    hash.addData(QByteArrayView(buffer.data(), got));
    offset += got;
  }
  return offset;
}

ListedSizeStream::ListedSizeStream(std::unique_ptr<OpenFile> file, QString relative, int64_t size,
                                   int64_t from, QByteArray sha256)
    : file_(std::move(file)),
      relative_(std::move(relative)),
      size_(size),
      expected_(std::move(sha256)),
      position_(from),
      reached_(from) {}

int64_t ListedSizeStream::write(const void* buffer, int64_t count) {
  if (position_ < 0 || count > size_ - position_) {
    worthless_ = true;
    throw Exception("The server sent more than the " + std::to_string(size_) +
                    " bytes listed for " + relative_.toStdString());
  }
  try {
    file_->writeAt(position_, static_cast<const char*>(buffer), count);
  } catch (...) {
    worthless_ = true;
    throw;
  }
  if (!expected_.isEmpty()) hashInOrder(buffer, count);
  position_ += count;
  reached_ = std::max(reached_, position_);
  return count;
}

void ListedSizeStream::hashKeptBytes(int64_t kept) {
  if (expected_.isEmpty() || kept == 0) return;
  try {
    hashed_ = hashFromStart(hash_, *file_, kept);
  } catch (...) {
    worthless_ = true;
    throw;
  }
}

void ListedSizeStream::finish() {
  if (reached_ != size_) {
    worthless_ = true;
    throw Exception("The server sent " + std::to_string(reached_) + " of the " +
                    std::to_string(size_) + " bytes listed for " + relative_.toStdString());
  }
  if (!expected_.isEmpty()) checkDigest();
  file_->close();
}

void ListedSizeStream::hashInOrder(const void* buffer, int64_t count) {
  if (position_ != hashed_) {
    inOrder_ = false;
    return;
  }
  hash_.addData(QByteArrayView(static_cast<const char*>(buffer), count));
  hashed_ += count;
}

// Bytes that did not arrive in order are read back from the file instead.
QByteArray ListedSizeStream::digest() {
  if (inOrder_ && hashed_ == size_) return hash_.result();
  Sha256 whole;
  hashFromStart(whole, *file_);
  return whole.result();
}

// A copy of other bytes, or one that cannot be read back, is never gone on
// with: a fetch once more starts from its first byte.
void ListedSizeStream::checkDigest() {
  try {
    if (digest() != expected_)
      throw ContentMismatch(relative_.toStdString() +
                            " does not match the patch server's manifest");
  } catch (...) {
    worthless_ = true;
    throw;
  }
}

}  // namespace quorrel
