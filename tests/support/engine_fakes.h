#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include "clock.h"
#include "sleeper.h"

namespace quorrel::testing {

// The steady clock, moved on by the test.
struct FakeClock : Clock {
  std::chrono::nanoseconds advanced{0};
  TimePoint now() override { return std::chrono::steady_clock::now() + advanced; }
};

// Records the waits instead of waiting them out.
struct FakeSleeper : Sleeper {
  std::vector<std::chrono::milliseconds> sleeps;
  std::function<void()> onSleep;  // what happens elsewhere during each sleep
  void sleep(std::chrono::milliseconds duration) override {
    sleeps.push_back(duration);
    if (onSleep) onSleep();
  }
};

// The time a flow waited before its tries after a lost connection: all but
// the pauses before each fetch.
inline std::chrono::milliseconds retryWaitTime(const FakeSleeper& sleeper) {
  std::chrono::milliseconds sum{0};
  for (const std::chrono::milliseconds slept : sleeper.sleeps)
    if (slept != std::chrono::milliseconds(250)) sum += slept;
  return sum;
}

}  // namespace quorrel::testing
