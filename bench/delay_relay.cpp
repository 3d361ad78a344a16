// A link with a round trip, on 127.0.0.1: accepts TCP connections on a port
// of its own and forwards each to the target port, holding every byte for
// half the round trip in each direction. It reads whatever comes at once and
// buffers without bound, so the delay is all it adds: no bandwidth limit, no
// loss. One thread serves all connections.
// Usage: delay_relay TARGET_PORT RTT_MS
// Prints the port it listens on, then runs until its standard input closes.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "loopback.h"

namespace {

using Clock = std::chrono::steady_clock;
using quorrel::testing::bindLoopback;
using quorrel::testing::throwErrno;

constexpr size_t kReadBytes = 256 * 1024;

struct Chunk {
  Clock::time_point due;
  std::string bytes;
  size_t sent = 0;
};

// The bytes on their way from one socket to the other.
struct Direction {
  int from = -1;
  int to = -1;
  std::deque<Chunk> inFlight;
  bool readEnded = false;
  bool writeEnded = false;
  bool failed = false;

  bool finished() const { return writeEnded || failed; }
  bool wantsRead() const { return !readEnded && !failed; }
  bool hasDue(Clock::time_point now) const {
    return !failed && !inFlight.empty() && inFlight.front().due <= now;
  }

  void read(Clock::time_point now, Clock::duration delay) {
    static char buffer[kReadBytes];
    const ssize_t count = ::read(from, buffer, sizeof buffer);
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (count < 0) {
      failed = true;
      return;
    }
    if (count == 0) {
      readEnded = true;
      return;
    }
    inFlight.push_back(Chunk{now + delay, std::string(buffer, static_cast<size_t>(count))});
  }

  void write(Clock::time_point now) {
    while (hasDue(now)) {
      Chunk& chunk = inFlight.front();
      const ssize_t count = ::send(to, chunk.bytes.data() + chunk.sent,
                                   chunk.bytes.size() - chunk.sent, MSG_NOSIGNAL);
      if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
      if (count < 0) {
        failed = true;
        return;
      }
      chunk.sent += static_cast<size_t>(count);
      if (chunk.sent < chunk.bytes.size()) return;
      inFlight.pop_front();
    }
    if (readEnded && inFlight.empty() && !writeEnded) {
      ::shutdown(to, SHUT_WR);
      writeEnded = true;
    }
  }
};

struct Link {
  Link(int client, int server) : client(client), server(server) {
    up.from = down.to = client;
    up.to = down.from = server;
  }
  ~Link() {
    ::close(client);
    ::close(server);
  }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
  bool done() const { return up.failed || down.failed || (up.finished() && down.finished()); }

  int client;
  int server;
  Direction up;
  Direction down;
};

void setNonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throwErrno("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

class Relay {
 public:
  Relay(int targetPort, Clock::duration oneWay)
      : targetPort_(targetPort), oneWay_(oneWay), listener_(bindLoopback(64)) {}
  int port() const { return listener_.port; }

  // Serves until standard input closes.
  void run() {
    for (;;) {
      std::vector<pollfd> fds = {{STDIN_FILENO, POLLIN, 0}, {listener_.fd, POLLIN, 0}};
      const Clock::time_point now = Clock::now();
      Clock::time_point wake = Clock::time_point::max();
      for (const auto& link : links_)
        for (const Direction* direction : {&link->up, &link->down}) {
          // Sockets with nothing to wait for are left out (a negative descriptor), so
          // that a hang-up already seen does not wake the loop again and again.
          fds.push_back({direction->wantsRead() ? direction->from : -1, POLLIN, 0});
          fds.push_back({direction->hasDue(now) ? direction->to : -1, POLLOUT, 0});
          if (!direction->inFlight.empty() && direction->inFlight.front().due > now)
            wake = std::min(wake, direction->inFlight.front().due);
        }
      timespec timeout{};
      const timespec* timeoutPointer = nullptr;
      if (wake != Clock::time_point::max()) {
        const auto nanoseconds =
            std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now).count();
        timeout.tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
        timeout.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
        timeoutPointer = &timeout;
      }
      if (::ppoll(fds.data(), fds.size(), timeoutPointer, nullptr) < 0 && errno != EINTR)
        throwErrno("ppoll");
      if (fds[0].revents) return;  // the benchmark is gone
      if (fds[1].revents & POLLIN) accept();
      serve(fds);
    }
  }

 private:
  void accept() {
    const int client = ::accept4(listener_.fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    const int server = connectTo(targetPort_);
    if (server < 0) {
      ::close(client);
      return;
    }
    setNonBlocking(client);
    setNonBlocking(server);
    links_.push_back(std::make_unique<Link>(client, server));
  }

  void serve(const std::vector<pollfd>& fds) {
    const Clock::time_point now = Clock::now();
    size_t index = 2;
    for (auto& link : links_)
      for (Direction* direction : {&link->up, &link->down}) {
        const short readEvents = fds[index].revents;
        index += 2;  // the write side is retried below whatever poll said
        if (readEvents & (POLLIN | POLLHUP | POLLERR)) direction->read(now, oneWay_);
        direction->write(now);
      }
    links_.remove_if([](const std::unique_ptr<Link>& link) { return link->done(); });
  }

  int targetPort_;
  Clock::duration oneWay_;
  quorrel::testing::LoopbackSocket listener_;
  std::list<std::unique_ptr<Link>> links_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: delay_relay TARGET_PORT RTT_MS\n");
    return 2;
  }
  try {
    const int targetPort = std::stoi(argv[1]);
    const auto roundTrip = std::chrono::microseconds(std::stol(argv[2]) * 1000);
    Relay relay(targetPort, roundTrip / 2);
    std::printf("%d\n", relay.port());
    std::fflush(stdout);
    relay.run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "delay_relay: %s\n", error.what());
    return 1;
  }
  return 0;
}
