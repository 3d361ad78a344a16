#include "sleeper.h"

#include <thread>

namespace quorrel {

void ThreadSleeper::sleep(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

}  // namespace quorrel
