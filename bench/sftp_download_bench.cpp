// Downloads one large random file from a local sshd, alternately with
// libqsshlib into a file it writes itself, with libqsshlib into a stream of
// the caller's (its write callback, here writing the same file), as the
// launcher fetches a game file (through its session into the file's partial
// copy, hashed on the way and checked against the file's digest, then put in
// place) and with OpenSSH's sftp client, and prints the throughput of each,
// their ratios and the library's peak memory.
// Usage: sftp_download_bench [MiB] [rounds]
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QFile>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "game_folder.h"
#include "qsshlib_binding.h"
#include "sftp_session.h"
#include "sha256.h"
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

// The caller's stream: each block written at its offset into the file whose
// descriptor the context's tag holds.
int32_t writeAtOffset(uint64_t offset, const void* data, int32_t length, TSshLibContext* ctx) {
  const int fd = static_cast<int>(ctx->Tag);
  const ssize_t written = ::pwrite(fd, data, static_cast<size_t>(length), static_cast<off_t>(offset));
  return written == length ? length : 0;
}

enum class Target { File, Stream };

double libraryDownload(SshdServer& server, const std::string& remote, const fs::path& local,
                       Target target) {
  QsshlibBinding& lib = QsshlibBinding::instance();
  TSshLibContext ctx{};
  ctx.structsize = sizeof ctx;
  ctx.timeoutticks = ctx.connectiontimeoutticks = 60000;
  ctx.getpassword_callback = answerPassword;
  ctx.verify_host_key_callback = acceptKey;
  ctx.write_to_stream = writeAtOffset;
  const int fd = target == Target::Stream
                     ? ::open(local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                     : -1;
  ctx.Tag = static_cast<uint64_t>(fd);
  lib.qssh_initcontext(0, &ctx);
  if (lib.qsftp_connect(server.host().c_str(), SshdServer::user().c_str(), server.port(), "",
                        &ctx) != 0) {
    std::fprintf(stderr, "connect failed: %s\n", ctx.fxp_error_message);
    std::exit(1);
  }
  const auto start = Clock::now();
  const int32_t result = lib.qsftp_getfile(
      remote.c_str(), target == Target::File ? local.c_str() : nullptr, 0, &ctx);
  const double elapsed = seconds(Clock::now() - start);
  if (fd >= 0) ::close(fd);
  if (result != 1) {
    std::fprintf(stderr, "download failed: %s\n", ctx.fxp_error_message);
    std::exit(1);
  }
  lib.qsftp_close(&ctx);
  lib.qsshfree(&ctx);
  return elapsed;
}

// The launcher's road: its session delivers the file into the game folder's
// partial copy of it, which hashes the bytes as they come and takes the place
// of the file only with the expected digest.
double launcherFetch(SshdServer& server, const std::string& remote, const fs::path& folder,
                     const QByteArray& sha256, int64_t size) {
  quorrel::TSftpSession session(false);
  session.SetHostName(server.host());
  session.SetUserName(SshdServer::user());
  session.SetPassword(SshdServer::password());
  session.SetPort(server.port());
  session.OnVerifyHostKey = [](const char*, int32_t, const char*, int32_t, bool&) { return true; };
  session.Connect();
  const quorrel::GameFolder game(QString::fromStdString(folder.string()));
  const auto start = Clock::now();
  game.replaceFile(
      QStringLiteral("big.bin"), size, std::nullopt,
      [&](quorrel::TStream& stream, int64_t) { session.DownloadStream(remote, stream, false); },
      sha256);
  return seconds(Clock::now() - start);
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
  QFile sourceFile(QString::fromStdString(source.string()));
  quorrel::Sha256 digest;
  if (!sourceFile.open(QIODevice::ReadOnly) || !digest.addData(sourceFile)) {
    std::fprintf(stderr, "cannot read %s\n", source.c_str());
    return 1;
  }
  const QByteArray sha256 = digest.result();
  const fs::path launcherFolder = scratch / "game";
  fs::create_directories(launcherFolder);
  const auto fileSize = static_cast<int64_t>(fs::file_size(source));

  double libraryBest = 1e9, streamBest = 1e9, launcherBest = 1e9, opensshBest = 1e9;
  std::printf("downloading %zu MiB from a local sshd, %d rounds, alternating\n", mebibytes, rounds);
  for (int round = 1; round <= rounds; ++round) {
    const double library = libraryDownload(server, remote, target, Target::File);
    fs::remove(target);
    const double stream = libraryDownload(server, remote, target, Target::Stream);
    if (!quorrel::bench::sameContent(source, target)) {
      std::fprintf(stderr, "the stream download differs from the file\n");
      return 1;
    }
    fs::remove(target);
    const double launcher = launcherFetch(server, remote, launcherFolder, sha256, fileSize);
    fs::remove(launcherFolder / "big.bin");
    const double openssh = opensshDownload(server, remote, target, key, knownHosts);
    fs::remove(target);
    std::printf(
        "round %d: libqsshlib into a file %.1f MB/s, into a stream %.1f MB/s, the launcher's "
        "checked fetch %.1f MB/s, OpenSSH sftp %.1f MB/s\n",
        round, size / library / 1e6, size / stream / 1e6, size / launcher / 1e6,
        size / openssh / 1e6);
    libraryBest = std::min(libraryBest, library);
    streamBest = std::min(streamBest, stream);
    launcherBest = std::min(launcherBest, launcher);
    opensshBest = std::min(opensshBest, openssh);
  }
  std::printf(
      "best: libqsshlib into a file %.1f MB/s (%.2f x sftp), into a stream %.1f MB/s (%.2f x "
      "sftp), the launcher's checked fetch %.1f MB/s (%.2f x sftp), OpenSSH sftp %.1f MB/s\n",
      size / libraryBest / 1e6, opensshBest / libraryBest, size / streamBest / 1e6,
      opensshBest / streamBest, size / launcherBest / 1e6, opensshBest / launcherBest,
      size / opensshBest / 1e6);
  std::printf("peak memory of this process (library side): %.1f MiB\n", peakMemoryKiB() / 1024.0);
  return 0;
}
