#include "progress.h"

#include <algorithm>
#include <cmath>

namespace quorrel::progress {

std::int32_t percentOf(std::int64_t done, std::int64_t total) {
  if (total <= 0) return 0;
  return static_cast<std::int32_t>(
      std::min<double>(100.0, std::floor(static_cast<double>(done) * 100.0 / total)));
}

int fillWidth(std::int32_t percent, int barWidth) {
  const auto product = static_cast<std::int32_t>(static_cast<std::uint32_t>(percent) *
                                                 static_cast<std::uint32_t>(barWidth));
  return static_cast<int>(std::floor(product / 100.0));
}

std::int64_t newBytes(std::int64_t previousOffset, std::int64_t reportedOffset) {
  return std::max<std::int64_t>(0, reportedOffset - previousOffset);
}

}  // namespace quorrel::progress
