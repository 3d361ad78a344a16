#pragma once

#include <chrono>

namespace quorrel {

// The time that passes while the launcher works, for bounds on how long a
// step may take; behind an interface so that tests can move it on.
class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~Clock() = default;
  virtual TimePoint now() = 0;
};

class SteadyClock : public Clock {
 public:
  TimePoint now() override { return std::chrono::steady_clock::now(); }
};

}  // namespace quorrel
