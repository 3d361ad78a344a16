// Downloads one large random file from a local sshd, alternately with
// libqsshlib and with OpenSSH's sftp client, and prints the throughput of
// each, their ratio and the library's peak memory.
// Usage: sftp_download_bench [MiB] [rounds]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "qsshlib_binding.h"
#include "sshd_server.h"

namespace fs = std::filesystem;
using quorrel::QsshlibBinding;
using quorrel::bench::acceptKey;
using quorrel::bench::answerPassword;
using quorrel::testing::runCommand;
using quorrel::testing::SshdServer;

namespace {

using Clock = std::chrono::steady_clock;

void makeRandomFile(const fs::path& path, size_t mebibytes) {
  std::mt19937_64 generator(42);
  std::vector<uint64_t> block(1 << 17);
  std::ofstream out(path, std::ios::binary);
  for (size_t written = 0; written < mebibytes; ++written) {
    for (uint64_t& word : block) word = generator();
    out.write(reinterpret_cast<const char*>(block.data()), block.size() * sizeof(uint64_t));
  }
}

double seconds(Clock::duration elapsed) {
  return std::chrono::duration<double>(elapsed).count();
}

double libraryDownload(SshdServer& server, const std::string& remote, const fs::path& local) {
  QsshlibBinding& lib = QsshlibBinding::instance();
  TSshLibContext ctx{};
  ctx.structsize = sizeof ctx;
  ctx.timeoutticks = ctx.connectiontimeoutticks = 60000;
  ctx.getpassword_callback = answerPassword;
  ctx.verify_host_key_callback = acceptKey;
  lib.qssh_initcontext(0, &ctx);
  if (lib.qsftp_connect(server.host().c_str(), SshdServer::user().c_str(), server.port(), "",
                        &ctx) != 0) {
    std::fprintf(stderr, "connect failed: %s\n", ctx.fxp_error_message);
    std::exit(1);
  }
  const auto start = Clock::now();
  const int32_t result = lib.qsftp_getfile(remote.c_str(), local.c_str(), 0, &ctx);
  const double elapsed = seconds(Clock::now() - start);
  if (result != 1) {
    std::fprintf(stderr, "download failed: %s\n", ctx.fxp_error_message);
    std::exit(1);
  }
  lib.qsftp_close(&ctx);
  lib.qsshfree(&ctx);
  return elapsed;
}

double opensshDownload(SshdServer& server, const std::string& remote, const fs::path& local,
                       const fs::path& key, const fs::path& knownHosts) {
  const auto start = Clock::now();
  const auto result =
      runCommand({"sftp", "-q", "-b", "-", "-i", key.string(), "-o",
                  "UserKnownHostsFile=" + knownHosts.string(), "-o", "StrictHostKeyChecking=yes",
                  "-o", "BatchMode=yes", "-P", std::to_string(server.port()),
                  SshdServer::user() + "@" + server.host()},
                 "get " + remote + " " + local.string() + "\n", std::chrono::seconds(600));
  const double elapsed = seconds(Clock::now() - start);
  if (result.exitCode != 0) {
    std::fprintf(stderr, "sftp failed: %s\n", result.err.c_str());
    std::exit(1);
  }
  return elapsed;
}

long peakMemoryKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mebibytes = argc > 1 ? std::stoul(argv[1]) : 1024;
  const int rounds = argc > 2 ? std::stoi(argv[2]) : 3;
  if (!SshdServer::available()) {
    std::fprintf(stderr, "needs root and OpenSSH's sshd\n");
    return 1;
  }
  SshdServer server;
  const fs::path source = server.dataDir() / "big.bin";
  makeRandomFile(source, mebibytes);
  server.chownToUser(source);
  const std::string remote = server.remoteDataDir() + "/big.bin";
  const fs::path scratch = server.dataDir().parent_path();
  const fs::path key = server.clientKeyFile("");
  const fs::path knownHosts = scratch / "bench_known_hosts";
  std::ofstream(knownHosts) << server.knownHostsLine("ed25519") << "\n";
  const fs::path target = scratch / "downloaded.bin";

  const double size = static_cast<double>(mebibytes) * 1024 * 1024;
  double libraryBest = 1e9, opensshBest = 1e9;
  std::printf("downloading %zu MiB from a local sshd, %d rounds, alternating\n", mebibytes, rounds);
  for (int round = 1; round <= rounds; ++round) {
    const double library = libraryDownload(server, remote, target);
    fs::remove(target);
    const double openssh = opensshDownload(server, remote, target, key, knownHosts);
    fs::remove(target);
    std::printf("round %d: libqsshlib %.1f MB/s, OpenSSH sftp %.1f MB/s\n", round,
                size / library / 1e6, size / openssh / 1e6);
    libraryBest = std::min(libraryBest, library);
    opensshBest = std::min(opensshBest, openssh);
  }
  std::printf("best: libqsshlib %.1f MB/s, OpenSSH sftp %.1f MB/s, ratio %.2f\n",
              size / libraryBest / 1e6, size / opensshBest / 1e6, opensshBest / libraryBest);
  std::printf("peak memory of this process (library side): %.1f MiB\n", peakMemoryKiB() / 1024.0);
  return 0;
}
