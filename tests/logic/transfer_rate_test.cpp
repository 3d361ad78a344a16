// The speed and time left of a flow's fetches, against a clock the test moves.
#include <gtest/gtest.h>

#include "transfer_rate.h"

namespace quorrel::testing {
namespace {

using std::chrono::seconds;
const TransferRate::TimePoint kStart{};

TEST(TransferRateTest, NothingIsKnownBeforeTimePasses) {
  TransferRate rate;
  rate.begin(1000, kStart);
  EXPECT_FALSE(rate.bytesPerSecond());
  EXPECT_FALSE(rate.timeLeft());
  EXPECT_EQ(rate.text(), "0 B of 1.0 kB");
}

TEST(TransferRateTest, SpeedAndTimeLeftFollowTheBytesOverTheWindow) {
  TransferRate rate;
  rate.begin(100'000'000, kStart);
  for (int second = 1; second <= 4; ++second)
    rate.update(second * 2'000'000, kStart + seconds(second));
  ASSERT_TRUE(rate.bytesPerSecond());
  EXPECT_DOUBLE_EQ(*rate.bytesPerSecond(), 2'000'000);
  EXPECT_EQ(*rate.timeLeft(), seconds(46));  // 92 MB at 2 MB/s
  EXPECT_EQ(rate.text(), "2.0 MB/s, 8.0 MB of 100.0 MB, 46 s left");
}

// A link that slows down shows its new speed once the window has moved past
// the fast part, not the average since the start.
TEST(TransferRateTest, OldSamplesLeaveTheWindow) {
  TransferRate rate;
  rate.begin(1'000'000'000, kStart);
  std::int64_t done = 0;
  for (int second = 1; second <= 10; ++second) {
    done += 10'000'000;
    rate.update(done, kStart + seconds(second));
  }
  for (int second = 11; second <= 20; ++second) {
    done += 1'000'000;
    rate.update(done, kStart + seconds(second));
  }
  EXPECT_NEAR(*rate.bytesPerSecond(), 1'000'000, 1);
}

// A fetch that goes on from a partial copy counts the copy's bytes as done,
// but the speed is only that of the bytes that come over the link.
TEST(TransferRateTest, SkippedBytesCountAsDoneButNotAsSpeed) {
  TransferRate rate;
  rate.begin(100'000'000, kStart);
  rate.update(1'000'000, kStart + seconds(1));
  rate.skip(50'000'000);
  rate.update(51'000'000, kStart + seconds(1));
  rate.update(52'000'000, kStart + seconds(2));
  EXPECT_EQ(rate.done(), 52'000'000);
  EXPECT_DOUBLE_EQ(*rate.bytesPerSecond(), 1'000'000);
  EXPECT_EQ(*rate.timeLeft(), seconds(48));
}

TEST(TransferRateTest, AStalledLinkHasNoTimeLeft) {
  TransferRate rate;
  rate.begin(10'000, kStart);
  rate.update(5'000, kStart + seconds(1));
  for (int second = 2; second <= 10; ++second) rate.update(5'000, kStart + seconds(second));
  EXPECT_EQ(*rate.bytesPerSecond(), 0);
  EXPECT_FALSE(rate.timeLeft());
}

TEST(TransferRateTest, CountsAndDurationsReadAsPeopleWriteThem) {
  EXPECT_EQ(byteCountText(999), "999 B");
  EXPECT_EQ(byteCountText(1500), "1.5 kB");
  EXPECT_EQ(byteCountText(15'000'000'000), "15.0 GB");
  EXPECT_EQ(durationText(seconds(45)), "45 s");
  EXPECT_EQ(durationText(seconds(61)), "2 min");
  EXPECT_EQ(durationText(seconds(3 * 3600 + 5 * 60)), "3 h 05 min");
}

}  // namespace
}  // namespace quorrel::testing
