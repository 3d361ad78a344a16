#include "file_list.h"

#include <algorithm>
#include <limits>

namespace quorrel::file_list {

namespace {

constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();

}  // namespace

Line parse(const QString& line) {
  const qsizetype bar = line.lastIndexOf(QChar('|'));
  const QString sizeText = bar < 0 ? QString() : line.mid(bar + 1);
  bool ok = false;
  const std::uint64_t size = sizeText.toULongLong(&ok);
  if (!ok) throw ConvertError("'" + sizeText.toStdString() + "' is not a valid integer value");
  return {line.left(bar), static_cast<std::int64_t>(std::min<std::uint64_t>(size, kLargest))};
}

QString lineOf(const QString& remotePath, std::uint64_t size) {
  return remotePath + QChar('|') + QString::number(size);
}

bool needsFetch(std::int64_t localSize, std::int64_t listedSize) {
  return localSize != listedSize;
}

std::int64_t addSizes(std::int64_t a, std::int64_t b) {
  return a > kLargest - b ? kLargest : a + b;
}

}  // namespace quorrel::file_list
