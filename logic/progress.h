#pragma once

#include <cstdint>

// The arithmetic of the progress bar, apart from the bar.
namespace quorrel::progress {

// The percentage of `total` that `done` is, rounded down and at most 100; 0
// while nothing is to be done.
std::int32_t percentOf(std::int64_t done, std::int64_t total);

// The bar's fill width for `percent` on a bar `barWidth` wide: the product in
// 32-bit arithmetic, wrapping as the original integer did, divided by 100 and
// rounded down. Not clamped: above 100 the fill is wider than the bar.
int fillWidth(std::int32_t percent, int barWidth);

// The bytes a report adds: reports give the offset reached in the file being
// fetched, so only the step beyond the previous report of that file counts.
std::int64_t newBytes(std::int64_t previousOffset, std::int64_t reportedOffset);

}  // namespace quorrel::progress
