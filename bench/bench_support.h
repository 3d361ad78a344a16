#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "loopback.h"
#include "qsshlib.h"
#include "sshd_server.h"

namespace quorrel::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct BenchError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

double seconds(Clock::duration elapsed);
double mbPerSecond(double bytes, double elapsed);
double median(std::vector<double> values);
// ru_maxrss of this process.
double peakMemoryMiB();

// Random content written through a small buffer, so that the peak memory of
// the benchmark process stays that of what it measures.
void writeRandomFile(const fs::path& path, size_t bytes, uint64_t seed);
bool sameContent(const fs::path& left, const fs::path& right);
// Every file of `tree` has an identical copy at the same place under `copy`.
void checkCopy(const fs::path& tree, const std::vector<std::string>& files, const fs::path& copy,
               const char* side);
// Syncs the files to the disk and returns the seconds it took.
double syncToDisk(const fs::path& tree, const std::vector<std::string>& files);

std::string quoted(const std::string& path);

// OpenSSH's sftp client with the test key and the server's key pinned, on the
// server's port or on a relay's in front of it.
class OpenSshClient {
 public:
  OpenSshClient(testing::SshdServer& server, int port);

  // Runs the batch and returns the seconds it took, from start to exit.
  double run(const std::string& batch, bool recursive, std::string* output = nullptr) const;

 private:
  int port_;
  fs::path key_;
  fs::path knownHosts_;
};

// The delay relay (delay_relay.cpp) in a process of its own in front of a
// port of 127.0.0.1, ended when this object goes.
class RelayProcess {
 public:
  RelayProcess(int targetPort, int roundTripMs);
  ~RelayProcess();
  RelayProcess(const RelayProcess&) = delete;
  RelayProcess& operator=(const RelayProcess&) = delete;
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int control_ = -1;
  int port_ = 0;
};

// A TCP connection to the port of 127.0.0.1, without Nagle's delay.
int connectLoopback(int port);

// Serves one connection on a thread of its own: `serve` gets its socket.
template <typename Serve>
std::pair<int, std::thread> serveOnce(Serve serve) {
  const auto listener = testing::bindLoopback(1);
  std::thread thread([listener, serve] {
    const int fd = ::accept(listener.fd, nullptr, nullptr);
    ::close(listener.fd);
    if (fd < 0) return;
    serve(fd);
    ::close(fd);
  });
  return {listener.port, std::move(thread)};
}

// MB/s of `bytes` sent by a local server over one TCP stream, read directly
// or through a relay with the round trip `relayRoundTripMs`: what the link
// itself carries, the yardstick of what goes through it.
double streamMBps(size_t bytes, std::optional<int> relayRoundTripMs);

// A benchmark that hangs ends all the same; the servers die with this process.
void giveUpAfter(unsigned seconds);

// The library callbacks of a benchmark's own context: the test account's
// password at every prompt, and every host key accepted (the server is ours).
const char* answerPassword(const char* prompt, const char* name, qssh_bool* cancel,
                           TSshLibContext* ctx);
qssh_bool acceptKey(const char* host, int32_t port, const char* keytype, const char* keybase64,
                    const char* fingerprint, int32_t status, qssh_bool* store, TSshLibContext* ctx);

}  // namespace quorrel::bench
