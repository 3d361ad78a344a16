#pragma once

#include <QString>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

namespace quorrel {

// The speed of a flow's fetches and the time they still need, from the bytes
// done at moments of a steady clock, over a sliding window of recent
// samples: the one place where the player's speed and time left are computed.
class TransferRate {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  static constexpr std::chrono::seconds kWindow{5};

  // A flow that will fetch `total` bytes begins at `start`.
  void begin(std::int64_t total, TimePoint start);
  // The flow has `bytes` more to fetch than it began with.
  void extend(std::int64_t bytes) { total_ += bytes; }
  // `done` bytes of the total are fetched at `now`.
  void update(std::int64_t done, TimePoint now);
  // `bytes` count as done without being fetched now (a partial copy's, that
  // a fetch goes on from; fewer when one is discarded): they move the bytes
  // done, not the speed.
  void skip(std::int64_t bytes);

  // Bytes per second over the window; nothing until the window holds a span of time.
  std::optional<double> bytesPerSecond() const;
  // The time the rest takes at that speed; nothing while the speed is unknown or 0.
  std::optional<std::chrono::seconds> timeLeft() const;
  std::int64_t done() const { return done_; }
  std::int64_t total() const { return total_; }

  // "12.3 MB/s, 1.2 of 15.0 GB, 3 min left" (the parts that are known).
  QString text() const;

 private:
  struct Sample {
    TimePoint at;
    std::int64_t done;
  };
  std::deque<Sample> samples_;
  std::int64_t total_ = 0;
  std::int64_t done_ = 0;
};

// A byte count for people: "950 B", "12.3 MB", "1.2 GB" (decimal units).
QString byteCountText(std::int64_t bytes);
// A duration for people: "45 s", "3 min", "1 h 05 min".
QString durationText(std::chrono::seconds duration);

}  // namespace quorrel
