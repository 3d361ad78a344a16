#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "config.h"
#include "posix/descriptor.h"

namespace qssh {

// A point in time a wait must not pass.
class Deadline {
 public:
  // `letCallerRun`, when given, is called between the slices of every wait
  // towards this deadline, so that a single-threaded caller stays responsive.
  static Deadline after(int32_t milliseconds, std::function<void()> letCallerRun = {});
  // Milliseconds left, at least 0.
  int remainingMs() const;
  bool passed() const { return remainingMs() == 0; }
  // The next slice of a wait: at most `kSliceMs`, after the caller has had its turn.
  int nextSliceMs() const;

  static constexpr int kSliceMs = 100;

 private:
  std::chrono::steady_clock::time_point end_;
  std::function<void()> letCallerRun_;
};

// An owned socket descriptor.
class Socket : public quorrel::posix::Descriptor {
 public:
  using Descriptor::Descriptor;
  int fd() const { return get(); }
};

using Printer = std::function<void(const std::string&)>;

// Opens a TCP connection to host:port, directly or through the proxy the
// configuration names, before the deadline. Failures are LibErrors.
Socket connectTo(const std::string& host, int port, const ConfigValues& conf,
                 const Deadline& deadline, const Printer& print);

}  // namespace qssh
