#pragma once

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

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

// A benchmark that hangs ends all the same; the servers die with this process.
void giveUpAfter(unsigned seconds);

// The library callbacks of a benchmark's own context: the test account's
// password at every prompt, and every host key accepted (the server is ours).
const char* answerPassword(const char* prompt, const char* name, qssh_bool* cancel,
                           TSshLibContext* ctx);
qssh_bool acceptKey(const char* host, int32_t port, const char* keytype, const char* keybase64,
                    const char* fingerprint, int32_t status, qssh_bool* store, TSshLibContext* ctx);

}  // namespace quorrel::bench
