#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "config.h"
#include "socket_api.h"

namespace qssh {

// A point in time a wait must not pass.
class Deadline {
 public:
  // `letCallerRun`, when given, is called between the slices of every wait
  // towards this deadline, so that a single-threaded caller stays responsive;
  // it may throw to end the wait (the caller's abort).
  static Deadline after(int32_t milliseconds, std::function<void()> letCallerRun = {});
  // Milliseconds left, at least 0.
  int remainingMs() const;
  bool passed() const { return remainingMs() == 0; }
  // The next slice of a wait: at most `kSliceMs`, after the caller has had its turn.
  int nextSliceMs() const;
  // Waits `milliseconds` (no longer than the deadline allows) in slices.
  void pause(int milliseconds) const;

  static constexpr int kSliceMs = 100;

 private:
  std::chrono::steady_clock::time_point end_;
  std::function<void()> letCallerRun_;
};

inline constexpr NativeSocket kNoSocket = static_cast<NativeSocket>(-1);

// An owned socket, closed at the end of its scope.
class Socket {
 public:
  Socket() = default;
  explicit Socket(NativeSocket socket) : socket_(socket) {}
  Socket(Socket&& other) noexcept : socket_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept {
    std::swap(socket_, other.socket_);
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket();

  NativeSocket fd() const { return socket_; }
  bool valid() const { return socket_ != kNoSocket; }
  NativeSocket release() { return std::exchange(socket_, kNoSocket); }

 private:
  NativeSocket socket_ = kNoSocket;
};

using Printer = std::function<void(const std::string&)>;

// Opens a TCP connection to host:port, directly or through the proxy the
// configuration names, before the deadline. Failures are LibErrors.
Socket connectTo(const std::string& host, int port, const ConfigValues& conf,
                 const Deadline& deadline, const Printer& print);

}  // namespace qssh
