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

QStringList explode(const QString& cDelimiter, const QString& sValue, std::int32_t iCount) {
  QStringList pieces;
  QString rest = sValue;
  while (!rest.isEmpty()) {
    const qsizetype found = cDelimiter.isEmpty() ? -1 : rest.indexOf(cDelimiter);
    const bool split = found >= 0 && (iCount == 0 || pieces.size() + 1 < iCount);
    if (!split) {
      pieces << rest;
      break;
    }
    pieces << rest.left(found);
    rest = rest.mid(found + cDelimiter.size());
  }
  return pieces;
}

}  // namespace quorrel::file_list
