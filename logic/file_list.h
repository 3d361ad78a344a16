#pragma once

#include <QString>
#include <QStringList>
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

// `sValue` split at each `cDelimiter`, into at most `iCount` pieces (0: no
// limit), the last taking the rest; an empty text gives no piece, and a
// delimiter at the end gives no empty last piece.
QStringList explode(const QString& cDelimiter, const QString& sValue, std::int32_t iCount);

}  // namespace quorrel::file_list
