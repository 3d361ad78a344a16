// The progress bar's arithmetic.
#include <gtest/gtest.h>

#include "progress.h"

namespace quorrel::testing {
namespace {

TEST(ProgressTest, PercentIsRoundedDownAndNeverAboveAHundred) {
  const struct {
    std::int64_t done, total;
    std::int32_t percent;
  } cases[] = {{0, 100, 0},
               {1, 3, 33},
               {2, 3, 66},
               {3, 3, 100},
               {7, 3, 100},
               {5, 0, 0},
               {std::int64_t{1} << 40, std::int64_t{1} << 41, 50}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.done) + " of " + std::to_string(c.total));
    EXPECT_EQ(progress::percentOf(c.done, c.total), c.percent);
  }
}

TEST(ProgressTest, FillWidthWrapsIn32BitsAsTheOriginalDid) {
  const struct {
    std::int32_t percent;
    int width;
  } cases[] = {{0, 0}, {1, 7}, {33, 250}, {50, 380}, {100, 760}, {150, 1140}, {-5, -38}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.percent);
    EXPECT_EQ(progress::fillWidth(c.percent, 760), c.width);
  }
}

TEST(ProgressTest, OnlyTheStepBeyondThePreviousReportCounts) {
  EXPECT_EQ(progress::newBytes(0, 4096), 4096);
  EXPECT_EQ(progress::newBytes(4096, 8192), 4096);
  EXPECT_EQ(progress::newBytes(8192, 4096), 0);
}

}  // namespace
}  // namespace quorrel::testing
