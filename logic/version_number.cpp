#include "version_number.h"

#include <limits>
#include <optional>

namespace quorrel {

namespace {

// The value of `c` as an ASCII digit of `base` (10 or 16), or -1.
int digitValue(char16_t c, int base) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (base == 16 && c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (base == 16 && c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Reads a signed 32-bit integer: leading spaces, an optional sign, and decimal
// digits, or hexadecimal ones after "$", "x" or "0x". Nothing else may follow.
std::optional<std::int32_t> parseInt32(const QString& text) {
  qsizetype at = 0;
  while (at < text.size() && text[at] == QLatin1Char(' ')) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == QLatin1Char('+') || text[at] == QLatin1Char('-')))
    negative = text[at++] == QLatin1Char('-');
  int base = 10;
  if (text.mid(at, 2).compare(QLatin1String("0x"), Qt::CaseInsensitive) == 0) {
    base = 16;
    at += 2;
  } else if (text.mid(at, 1) == QLatin1String("$") ||
             text.mid(at, 1).compare(QLatin1String("x"), Qt::CaseInsensitive) == 0) {
    base = 16;
    at += 1;
  }
  if (at == text.size()) return std::nullopt;
  constexpr std::int64_t kLargestMagnitude = std::int64_t{1} << 31;
  std::int64_t magnitude = 0;
  for (; at < text.size(); ++at) {
    const int digit = digitValue(text[at].unicode(), base);
    if (digit < 0) return std::nullopt;
    magnitude = magnitude * base + digit;
    if (magnitude > kLargestMagnitude) return std::nullopt;
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

}  // namespace

std::int32_t versionNumber(const QString& version) {
  const QString digits = QString(version).remove(QLatin1Char('.'));
  const std::optional<std::int32_t> number = parseInt32(digits);
  if (!number)
    throw ConvertError(
        QStringLiteral("'%1' is not a valid integer value").arg(digits).toStdString());
  return *number;
}

}  // namespace quorrel
