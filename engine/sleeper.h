#pragma once

#include <chrono>

namespace quorrel {

// Blocks the calling thread for a while. Nothing else runs meanwhile: no
// window message is processed.
class Sleeper {
 public:
  virtual ~Sleeper() = default;
  virtual void sleep(std::chrono::milliseconds duration) = 0;
};

class ThreadSleeper : public Sleeper {
 public:
  void sleep(std::chrono::milliseconds duration) override;
};

}  // namespace quorrel
