// Downloads over a link with a round trip: our delay relay on 127.0.0.1 in
// front of a local sshd. Three parts, each its own run so that the peak
// memory of the install is the launcher's alone:
//  relay    checks the relay: the round trip it adds at each delay, and its
//           throughput without delay against a direct connection;
//  file     one large file at round trips of 0, 20, 50, 100 and 200 ms,
//           alternately with libqsshlib, OpenSSH's sftp and rclone (4
//           streams; when installed); each tool timed from its start to the
//           end of the file, connecting included;
//  install  the launcher's fresh install through its real window at 50 ms,
//           against `sftp -r get` of the same tree, and the peak memory.
// Usage: wan_bench relay
//        wan_bench file [MiB=512] [rounds=3]
//        wan_bench install [rounds=3]
#include <unistd.h>

#include <QApplication>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "counting_sleeper.h"
#include "qsshlib_binding.h"
#include "resources.h"
#include "sync_harness.h"

using namespace quorrel::bench;
using quorrel::QsshlibBinding;
using quorrel::TForm1;
using quorrel::testing::runCommand;
using quorrel::testing::SshdServer;
using quorrel::testing::SyncHarness;

namespace {

const int kRoundTripsMs[] = {0, 20, 50, 100, 200};
constexpr int kInstallRoundTripMs = 50;

std::string fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

double measuredRoundTripMs(int roundTripMs) {
  auto [echoPort, echo] = serveOnce([](int fd) {
    char byte;
    while (::read(fd, &byte, 1) == 1 && ::write(fd, &byte, 1) == 1) {
    }
  });
  std::vector<double> samples;
  {
    RelayProcess relay(echoPort, roundTripMs);
    const int fd = connectLoopback(relay.port());
    for (int sample = 0; sample < 7; ++sample) {
      char byte = 'x';
      const auto start = Clock::now();
      if (::write(fd, &byte, 1) != 1 || ::read(fd, &byte, 1) != 1)
        throw BenchError("the echo through the relay broke off");
      samples.push_back(seconds(Clock::now() - start) * 1000);
    }
    ::close(fd);
  }
  echo.join();
  return median(samples);
}

int benchRelay() {
  std::printf("delay relay: round trip measured through it (median of 7 one-byte echoes)\n");
  for (const int roundTripMs : kRoundTripsMs)
    std::printf("  asked %3d ms: measured %.2f ms\n", roundTripMs,
                measuredRoundTripMs(roundTripMs));
  constexpr size_t kStreamBytes = size_t{2} << 30;
  std::printf("throughput of one TCP stream of 2 GiB (3 runs each, median):\n");
  std::vector<double> direct, relayed;
  for (int run = 0; run < 3; ++run) {
    direct.push_back(streamMBps(kStreamBytes, std::nullopt));
    relayed.push_back(streamMBps(kStreamBytes, 0));
  }
  std::printf("  direct %.0f MB/s, through the relay at 0 ms %.0f MB/s\n", median(direct),
              median(relayed));
  return 0;
}

// -- one large file --------------------------------------------------------

double libraryDownload(int port, const std::string& remote, const fs::path& local) {
  QsshlibBinding& lib = QsshlibBinding::instance();
  TSshLibContext ctx{};
  ctx.structsize = sizeof ctx;
  ctx.timeoutticks = ctx.connectiontimeoutticks = 60000;
  ctx.getpassword_callback = answerPassword;
  ctx.verify_host_key_callback = acceptKey;
  lib.qssh_initcontext(0, &ctx);
  const auto start = Clock::now();
  const bool done = lib.qsftp_connect(SshdServer::host().c_str(), SshdServer::user().c_str(), port,
                                      "", &ctx) == 0 &&
                    lib.qsftp_getfile(remote.c_str(), local.c_str(), 0, &ctx) == 1;
  const double elapsed = seconds(Clock::now() - start);
  const std::string error = ctx.fxp_error_message ? ctx.fxp_error_message : "";
  lib.qsftp_close(&ctx);
  lib.qsshfree(&ctx);
  if (!done) throw BenchError("libqsshlib failed: " + error);
  return elapsed;
}

class Rclone {
 public:
  Rclone(SshdServer& server, const fs::path& scratch)
      : key_(server.clientKeyFile("")), config_(scratch / "rclone.conf") {
    std::ofstream{config_};
  }
  static bool installed() { return runCommand({"rclone", "version"}).exitCode == 0; }

  double download(int port, const std::string& remote, const fs::path& local) const {
    const auto start = Clock::now();
    const auto result = runCommand({"rclone",
                                    "copyto",
                                    "--config",
                                    config_.string(),
                                    "--sftp-host",
                                    SshdServer::host(),
                                    "--sftp-port",
                                    std::to_string(port),
                                    "--sftp-user",
                                    SshdServer::user(),
                                    "--sftp-key-file",
                                    key_.string(),
                                    "--sftp-disable-hashcheck",
                                    "--sftp-shell-type",
                                    "none",
                                    "--multi-thread-streams",
                                    "4",
                                    "--multi-thread-cutoff",
                                    "1M",
                                    ":sftp:" + remote,
                                    local.string()},
                                   {}, std::chrono::seconds(1800));
    const double elapsed = seconds(Clock::now() - start);
    if (result.exitCode != 0) throw BenchError("rclone failed: " + result.err);
    return elapsed;
  }

 private:
  fs::path key_;
  fs::path config_;
};

int benchFile(size_t mebibytes, int rounds) {
  SshdServer server;
  const fs::path source = server.dataDir() / "big.bin";
  const size_t bytes = mebibytes * 1024 * 1024;
  writeRandomFile(source, bytes, 42);
  server.chownToUser(source);
  const std::string remote = server.remoteDataDir() + "/big.bin";
  const fs::path scratch = server.dataDir().parent_path();
  const fs::path target = scratch / "downloaded.bin";
  const bool withRclone = Rclone::installed();
  const Rclone rclone(server, scratch);

  std::printf(
      "one file of %zu MiB, %d rounds per round trip, tools alternating; MB/s from the "
      "tool's start to the file's end, connecting included%s\n",
      mebibytes, rounds, withRclone ? "" : " (rclone is not installed: left out)");
  struct Row {
    int roundTripMs;
    double library, openssh, rclone;
  };
  std::vector<Row> rows;
  for (const int roundTripMs : kRoundTripsMs) {
    RelayProcess relay(server.port(), roundTripMs);
    const OpenSshClient openssh(server, relay.port());
    std::map<std::string, std::vector<double>> times;
    const auto measure = [&](const std::string& tool) {
      double elapsed = 0;
      if (tool == "libqsshlib")
        elapsed = libraryDownload(relay.port(), remote, target);
      else if (tool == "sftp")
        elapsed =
            openssh.run("get " + quoted(remote) + " " + quoted(target.string()) + "\n", false);
      else
        elapsed = rclone.download(relay.port(), remote, target);
      if (!sameContent(source, target)) throw BenchError(tool + " did not copy the file");
      fs::remove(target);
      times[tool].push_back(elapsed);
      return mbPerSecond(static_cast<double>(bytes), elapsed);
    };
    std::vector<std::string> tools = {"libqsshlib", "sftp"};
    if (withRclone) tools.push_back("rclone");
    for (int round = 1; round <= rounds; ++round) {
      std::printf("  %3d ms, round %d:", roundTripMs, round);
      // Each tool starts a round in turn, so none always meets the others' leftovers.
      std::rotate(tools.begin(), tools.begin() + (round - 1) % tools.size(), tools.end());
      for (const std::string& tool : tools) {
        std::printf(" %s %.1f MB/s;", tool.c_str(), measure(tool));
        std::fflush(stdout);
      }
      std::printf("\n");
    }
    const auto rate = [&](const std::string& tool) {
      return times.count(tool) ? mbPerSecond(static_cast<double>(bytes), median(times[tool])) : 0.0;
    };
    rows.push_back({roundTripMs, rate("libqsshlib"), rate("sftp"), rate("rclone")});
  }
  std::printf("\nmedians (MB/s) and ratios of libqsshlib to each:\n");
  std::printf("| RTT | libqsshlib | OpenSSH sftp | rclone (4 streams) | lib/sftp | lib/rclone |\n");
  std::printf("|---|---|---|---|---|---|\n");
  for (const Row& row : rows) {
    std::printf("| %d ms | %.1f | %.1f | %s | %.2f | %s |\n", row.roundTripMs, row.library,
                row.openssh, withRclone ? fixed(row.rclone, 1).c_str() : "-",
                row.library / row.openssh,
                withRclone ? fixed(row.library / row.rclone, 2).c_str() : "-");
  }
  return 0;
}

// -- the launcher's install ------------------------------------------------

// A tree like a game client's: two large archives, some middling files and
// many small ones.
std::vector<std::pair<std::string, size_t>> installTree() {
  std::vector<std::pair<std::string, size_t>> files;
  for (int index = 1; index <= 2; ++index)
    files.emplace_back("Data/common-" + std::to_string(index) + ".MPQ", size_t{100} << 20);
  for (int index = 1; index <= 8; ++index)
    files.emplace_back("Data/enUS/patch-" + std::to_string(index) + ".MPQ", size_t{10} << 20);
  for (int index = 1; index <= 40; ++index)
    files.emplace_back("Interface/AddOns/part" + std::to_string(index) + ".lua", size_t{512} << 10);
  return files;
}

int benchInstall(int rounds) {
  SyncHarness sync;
  CountingSleeper sleeper;
  sync.harness.windowSleeper = &sleeper;
  RelayProcess relay(sync.server.port(), kInstallRoundTripMs);
  sync.harness.config().patchPort = relay.port();
  const OpenSshClient openssh(sync.server, relay.port());

  std::vector<std::string> files;
  double bytes = 0;
  uint64_t seed = 1000;
  for (const auto& [relative, size] : installTree()) {
    files.push_back(relative);
    writeRandomFile(sync.patchTree / relative, size, ++seed);
    bytes += static_cast<double>(size);
  }
  sync.server.chownToUser(sync.server.dataDir());
  const std::string remoteTree = sync.server.remoteDataDir() + "/upload";
  const fs::path opensshCopy = sync.server.dataDir().parent_path() / "openssh-copy";

  std::printf(
      "the launcher's fresh install of %zu files, %.0f MB, at %d ms, %d rounds, "
      "alternating with sftp -r get\n",
      files.size(), bytes / 1e6, kInstallRoundTripMs, rounds);
  std::vector<double> launcherTimes, launcherWithoutPauses, opensshTimes;
  double memoryBefore = 0;
  const auto launcherInstall = [&](int round) {
    TForm1& form = sync.start(QStringLiteral("install-%1").arg(round), false);
    if (!form.install->isEnabled()) throw BenchError("Install is not enabled");
    if (memoryBefore == 0) memoryBefore = peakMemoryMiB();
    sleeper.pauses = 0;
    const auto start = Clock::now();
    sync.clickInstall();
    const double elapsed = seconds(Clock::now() - start);
    if (sync.status() != QStringLiteral("Ready to play!") ||
        !sync.harness.messageBox.errors.empty())
      throw BenchError("the install ended with \"" + sync.status().toStdString() + "\"");
    checkCopy(sync.patchTree, files, sync.local(""), "the launcher");
    fs::remove_all(sync.local(""));
    launcherTimes.push_back(elapsed);
    launcherWithoutPauses.push_back(elapsed - sleeper.pauses * 0.25);
    std::printf("  launcher %.2f s, %.2f s without its %d pauses of 250 ms (%.1f MB/s);", elapsed,
                launcherWithoutPauses.back(), sleeper.pauses,
                mbPerSecond(bytes, launcherWithoutPauses.back()));
  };
  const auto opensshGet = [&] {
    const double elapsed =
        openssh.run("get " + quoted(remoteTree) + " " + quoted(opensshCopy.string()) + "\n", true);
    checkCopy(sync.patchTree, files, opensshCopy, "OpenSSH's sftp");
    fs::remove_all(opensshCopy);
    opensshTimes.push_back(elapsed);
    std::printf("  sftp -r get %.2f s (%.1f MB/s);", elapsed, mbPerSecond(bytes, elapsed));
  };
  for (int round = 1; round <= rounds; ++round) {
    std::printf("round %d:", round);
    if (round % 2 == 1) {
      launcherInstall(round);
      opensshGet();
    } else {
      opensshGet();
      launcherInstall(round);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  const double launcher = median(launcherWithoutPauses);
  const double sftp = median(opensshTimes);
  std::printf(
      "medians: launcher %.2f s (%.2f s with its pauses), sftp -r get %.2f s; "
      "sftp's time / the launcher's without pauses: %.2f\n",
      launcher, median(launcherTimes), sftp, sftp / launcher);
  std::printf(
      "peak memory of this process (window and library, ru_maxrss): %.1f MiB after the "
      "installs, %.1f MiB before the first\n",
      peakMemoryMiB(), memoryBefore);
  return 0;
}

int usage() {
  std::fprintf(stderr, "usage: wan_bench relay | file [MiB=512] [rounds=3] | install [rounds=3]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage();
  if (args[0] != "relay" && !SshdServer::available()) {
    std::fprintf(stderr, "needs root and OpenSSH's sshd\n");
    return 1;
  }
  try {
    giveUpAfter(3600);
    if (args[0] == "relay") return benchRelay();
    if (args[0] == "file")
      return benchFile(args.size() > 1 ? std::stoul(args[1]) : 512,
                       args.size() > 2 ? std::stoi(args[2]) : 3);
    if (args[0] == "install") {
      if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
      QApplication app(argc, argv);
      quorrel::registerBundledFonts();
      return benchInstall(args.size() > 1 ? std::stoi(args[1]) : 3);
    }
    return usage();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "wan_bench: %s\n", error.what());
    return 1;
  }
}
