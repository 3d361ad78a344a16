#pragma once

#include <QString>
#include <cstdint>

#include "version_number.h"

// The flows' file lists: one line per remote file, its path, "|" and its size.
namespace quorrel::file_list {

struct Line {
  QString remotePath;
  std::int64_t size = 0;
};

// The line's size follows its last "|", since a name may hold one and a size
// never does. A size no signed 64-bit count holds is as far beyond any disk
// as the largest one that does, and counts as that. ConvertError when the
// size is no number.
Line parse(const QString& line);

// The line of a remote file of `size` bytes.
QString lineOf(const QString& remotePath, std::uint64_t size);

// Whether a local copy of `localSize` bytes (-1: none there) must be fetched.
bool needsFetch(std::int64_t localSize, std::int64_t listedSize);

// The sum of sizes, held at the largest count instead of overflowing.
std::int64_t addSizes(std::int64_t a, std::int64_t b);

}  // namespace quorrel::file_list
