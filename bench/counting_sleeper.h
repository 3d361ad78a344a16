#pragma once

#include <chrono>

#include "sleeper.h"

namespace quorrel::bench {

// The launcher's real pause before each fetch, counted, so that a figure with
// the pauses taken off takes off exactly the pauses the launcher made.
class CountingSleeper : public ThreadSleeper {
 public:
  void sleep(std::chrono::milliseconds duration) override {
    ++pauses;
    ThreadSleeper::sleep(duration);
  }
  int pauses = 0;
};

}  // namespace quorrel::bench
