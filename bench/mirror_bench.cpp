// The mirror road against the SFTP road: the engine without a window, each
// install a process of its own (mirror_bench_player), against a local sshd
// with a signed manifest and Debian's nginx as the mirror of its objects.
//  link      one player on a link with a 100 ms round trip (delay relays in
//            front of sshd and of nginx): the fresh install of one large
//            file from the mirror and from the patch server alone,
//            alternating, against what the relay itself carries;
//  patchday  many players at once on this machine, all from the patch
//            server, then all from the mirror: wall time, throughput, the
//            servers' CPU and the players' peak memory.
// Usage: mirror_bench link [MiB=512] [rounds=3]
//        mirror_bench patchday [players=50] [MiB=256]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "child_process.h"
#include "manifest.h"
#include "nginx_server.h"
#include "sha256.h"
#include "signing_key.h"
#include "sync_files.h"

using namespace quorrel::bench;
using quorrel::Sha256;
using quorrel::testing::NginxServer;
using quorrel::testing::SigningKey;
using quorrel::testing::SshdServer;
namespace manifest = quorrel::manifest;

namespace {

constexpr int kLinkRoundTripMs = 100;
constexpr int kPatchDayFiles = 4;

// -- the release -------------------------------------------------------------

fs::path madeFolder(const fs::path& folder) {
  fs::create_directories(folder);
  return folder;
}

QByteArray sha256Of(const fs::path& path) {
  QFile file(QString::fromStdString(path.string()));
  Sha256 digest;
  if (!file.open(QIODevice::ReadOnly) || !digest.addData(file))
    throw BenchError("cannot read " + path.string());
  return digest.result();
}

// A release on the patch server, a local sshd, with its signed manifest, and
// on the mirror, nginx, as objects: hard links to the patch tree's files, so
// that both roads serve the same pages of the cache.
class Release {
 public:
  explicit Release(SshdServer::Options options = {})
      : server(std::move(options)),
        patchTree(madeFolder(server.dataDir() / "upload")),
        objects(madeFolder(server.dataDir().parent_path() / "objects")),
        nginx(objects) {}

  void addFile(const std::string& relative, size_t size, uint64_t seed) {
    const fs::path path = patchTree / relative;
    writeRandomFile(path, size, seed);
    const QByteArray digest = sha256Of(path);
    entries_.push_back({QString::fromStdString(relative), int64_t(size), digest});
    const fs::path object = objects / manifest::objectPath(digest).toStdString();
    fs::create_directories(object.parent_path());
    fs::create_hard_link(path, object);
    files.push_back(relative);
    bytes += static_cast<double>(size);
  }

  // The manifest of the files naming `mirrors` (none: the patch server
  // serves every file), signed with the update key.
  void publish(const QStringList& mirrors) {
    const std::string text =
        manifest::format(entries_, quorrel::testing::releaseOf(1), mirrors).toStdString();
    quorrel::testing::writeBytes(patchTree / manifest::kFileName.toStdString(), text);
    quorrel::testing::writeBytes(patchTree / manifest::kSignatureFileName.toStdString(),
                                 updateKey.signatureFile(text));
    server.chownToUser(patchTree);
  }

  std::string remoteRoot() const { return server.remoteDataDir() + "/upload"; }
  // Where the players' folders go: removed with the server.
  fs::path scratch() const { return server.dataDir().parent_path() / "players"; }

  SshdServer server;
  fs::path patchTree;
  fs::path objects;
  NginxServer nginx;
  SigningKey updateKey;
  std::vector<std::string> files;
  double bytes = 0;

 private:
  std::vector<manifest::Entry> entries_;
};

// -- the players ---------------------------------------------------------------

// What every player of a run is given: where the patch server answers (sshd's
// port or a relay's in front of it) and what the player trusts.
struct PlayerSetup {
  int patchPort = 0;
  std::string remoteRoot;
  std::string caFile;
  std::string updateKey;
};

struct PlayerEnd {
  bool done = false;
  double seconds = 0;
  double cpuSeconds = 0;
  double peakMemoryMiB = 0;  // ru_maxrss
};

double cpuSecondsOf(const rusage& usage) {
  const auto toSeconds = [](const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; };
  return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

// One player's install in a process of its own, with its own game folder,
// data home and state folder below `folder`, and the log of its process.
class Player {
 public:
  explicit Player(fs::path folder) : folder_(madeFolder(std::move(folder))) {
    fs::create_directories(game());
  }
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  void start(const PlayerSetup& setup) {
    const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int log = ::open(logFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (nothing < 0 || log < 0) throw BenchError("cannot open the player's log");
    started_ = Clock::now();
    pid_ = quorrel::testing::spawn(
        MIRROR_BENCH_PLAYER,
        {MIRROR_BENCH_PLAYER, SshdServer::host(), std::to_string(setup.patchPort), setup.remoteRoot,
         game().string(), (folder_ / "data-home").string(), (folder_ / "state").string(),
         setup.caFile, setup.updateKey},
        nothing, log, log, false);
    ::close(nothing);
    ::close(log);
  }

  PlayerEnd wait() {
    int status = 0;
    rusage usage{};
    while (::wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    return {WIFEXITED(status) && WEXITSTATUS(status) == 0, seconds(Clock::now() - started_),
            cpuSecondsOf(usage), static_cast<double>(usage.ru_maxrss) / 1024.0};
  }

  fs::path game() const { return folder_ / "game"; }
  std::string log() const { return quorrel::testing::readBytes(logFile()); }
  void remove() const { fs::remove_all(folder_); }

 private:
  fs::path logFile() const { return folder_ / "player.log"; }

  fs::path folder_;
  pid_t pid_ = -1;
  Clock::time_point started_;
};

PlayerSetup setupOf(const Release& release, int patchPort) {
  return {patchPort, release.remoteRoot(), release.nginx.caFile().string(),
          release.updateKey.publicKey().toStdString()};
}

// -- the servers' CPU ----------------------------------------------------------

struct ProcessStat {
  pid_t pid = 0;
  pid_t parent = 0;
  std::string name;
  // Its own and that of the children it reaped: utime, stime, cutime, cstime.
  double cpuSeconds = 0;
};

// Fields of /proc/<pid>/stat after the name, which may hold spaces: the state
// first, then the parent; utime, stime, cutime and cstime at 11 to 14.
std::optional<ProcessStat> statOf(const fs::path& folder) {
  std::ifstream file(folder / "stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t open = text.find('('), close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 2));
  std::vector<std::string> field{std::istream_iterator<std::string>(fields), {}};
  if (field.size() < 15) return std::nullopt;
  double ticks = 0;
  for (int index = 11; index <= 14; ++index) ticks += std::stod(field[index]);
  return ProcessStat{std::stoi(text), std::stoi(field[1]), text.substr(open + 1, close - open - 1),
                     ticks / static_cast<double>(::sysconf(_SC_CLK_TCK))};
}

std::vector<ProcessStat> allProcesses() {
  std::vector<ProcessStat> processes;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (const std::optional<ProcessStat> stat = statOf(entry.path())) processes.push_back(*stat);
  }
  return processes;
}

// The server this process started as `name` (the fixtures fork and execute
// it themselves): the root of the server's processes.
pid_t serverProcess(const std::string& name) {
  for (const ProcessStat& process : allProcesses())
    if (process.parent == ::getpid() && process.name == name) return process.pid;
  throw BenchError("no " + name + " process found");
}

std::vector<ProcessStat> treeOf(pid_t root) {
  const std::vector<ProcessStat> processes = allProcesses();
  std::vector<ProcessStat> tree;
  std::vector<pid_t> parents = {root};
  while (!parents.empty()) {
    const pid_t parent = parents.back();
    parents.pop_back();
    for (const ProcessStat& process : processes)
      if (process.pid == parent)
        tree.push_back(process);
      else if (process.parent == parent)
        parents.push_back(process.pid);
  }
  return tree;
}

// The CPU of a server so far: its processes' that still run, and through
// each one's cutime and cstime, that of those it reaped.
double serverCpuSeconds(pid_t root) {
  const std::vector<ProcessStat> tree = treeOf(root);
  return std::accumulate(tree.begin(), tree.end(), 0.0,
                         [](double sum, const ProcessStat& stat) { return sum + stat.cpuSeconds; });
}

// sshd's connection processes end a little after their clients.
void waitForConnectionsToEnd(pid_t server) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (treeOf(server).size() > 1 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// -- where the files came from -------------------------------------------------

// Where the players' files came from, by the lines of their logs.
struct Sources {
  int fromMirror = 0;
  uint64_t mirrorBytes = 0;  // the bodies nginx sent
  // Each line that tells how the mirror failed for a file, and how many players logged it.
  std::map<std::string, int> mirrorFailures;

  void addLogOf(const std::string& log) {
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
      if (line.find(" came from the mirror ") != std::string::npos) ++fromMirror;
      if (line.starts_with("The mirror ") && line.find(" failed for ") != std::string::npos)
        ++mirrorFailures[line];
    }
  }
};

// Files the mirror did not deliver come from the patch server: how many, and why.
void printSources(const char* road, const Sources& sources, int files) {
  std::printf("%s: %d files from the mirror, %d from the patch server; nginx sent %.0f MB\n", road,
              sources.fromMirror, files - sources.fromMirror,
              static_cast<double>(sources.mirrorBytes) / 1e6);
  for (const auto& [line, players] : sources.mirrorFailures)
    std::printf("  %d x %s\n", players, line.c_str());
}

// -- link --------------------------------------------------------------------

struct Road {
  const char* name;
  bool fromMirror;
  std::vector<double> seconds;
  std::vector<double> peakMemoryMiB;
  Sources sources;
};

// One fresh install; checks that it landed whole, and that the SFTP road took
// nothing from the mirror. What the mirror did not deliver on its road came
// from the patch server, as the player's log says: the round is marked.
void installByRoad(Release& release, const PlayerSetup& setup, Road& road,
                   const QString& mirrorUrl) {
  release.publish(road.fromMirror ? QStringList{mirrorUrl} : QStringList{});
  const uint64_t mirrorBytesBefore = release.nginx.bodyBytesSent();
  Player player(release.scratch() / "player");
  player.start(setup);
  const PlayerEnd end = player.wait();
  if (!end.done)
    throw BenchError(std::string(road.name) + ": the install failed:\n" + player.log());
  const uint64_t fromMirror = release.nginx.bodyBytesSent() - mirrorBytesBefore;
  if (!road.fromMirror && fromMirror != 0)
    throw BenchError("the SFTP road took bytes from the mirror");
  checkCopy(release.patchTree, release.files, player.game(), road.name);
  const int deliveredBefore = road.sources.fromMirror;
  road.sources.addLogOf(player.log());
  road.sources.mirrorBytes += fromMirror;
  player.remove();
  road.seconds.push_back(end.seconds);
  road.peakMemoryMiB.push_back(end.peakMemoryMiB);
  const bool mirrorFailed = road.fromMirror && road.sources.fromMirror == deliveredBefore;
  std::printf(" %s %.2f s (%.1f MB/s, %.1f MiB%s);", road.name, end.seconds,
              mbPerSecond(release.bytes, end.seconds), end.peakMemoryMiB,
              mirrorFailed ? ", the mirror failed" : "");
  std::fflush(stdout);
}

int benchLink(size_t mebibytes, int rounds) {
  Release release;
  release.addFile("Data/common.MPQ", mebibytes << 20, 42);
  RelayProcess patchLink(release.server.port(), kLinkRoundTripMs);
  RelayProcess mirrorLink(release.nginx.port(), kLinkRoundTripMs);
  const QString mirrorUrl = QStringLiteral("https://127.0.0.1:%1").arg(mirrorLink.port());
  const PlayerSetup setup = setupOf(release, patchLink.port());

  std::printf(
      "one player's fresh install of one file of %zu MiB at %d ms, %d rounds, the roads "
      "alternating; seconds from the player's start to its end, connecting included\n",
      mebibytes, kLinkRoundTripMs, rounds);
  std::vector<Road> roads = {{"mirror", true, {}, {}, {}}, {"SFTP", false, {}, {}, {}}};
  for (int round = 1; round <= rounds; ++round) {
    std::printf("round %d:", round);
    for (size_t index = 0; index < roads.size(); ++index)
      installByRoad(release, setup, roads[(index + round - 1) % roads.size()], mirrorUrl);
    std::printf("\n");
  }
  std::vector<double> relayRates;
  for (int round = 0; round < rounds; ++round)
    relayRates.push_back(streamMBps(mebibytes << 20, kLinkRoundTripMs));

  std::printf("\n| road at %d ms | seconds (median) | MB/s | peak memory of the player (MiB) |\n",
              kLinkRoundTripMs);
  std::printf("|---|---|---|---|\n");
  for (const Road& road : roads) {
    const double elapsed = median(road.seconds);
    std::printf("| %s | %.2f | %.1f | %.1f |\n",
                road.fromMirror ? "mirror (HTTPS from nginx)" : "SFTP (patch server alone)",
                elapsed, mbPerSecond(release.bytes, elapsed), median(road.peakMemoryMiB));
  }
  const double relayRate = median(relayRates);
  std::printf("| the relay alone: one TCP stream | %.2f | %.1f | - |\n",
              release.bytes / 1e6 / relayRate, relayRate);
  std::printf("\n");
  printSources("mirror road", roads[0].sources, rounds);
  return 0;
}

// -- patch day -----------------------------------------------------------------

// sshd takes as many logins at once as there are players: its default drops
// new connections beyond 10 that have not logged in yet.
SshdServer::Options patchDayServer(int players) {
  SshdServer::Options options;
  options.maxStartups = players;
  return options;
}

struct RoadResult {
  Sources sources;
  double wallSeconds = 0;
  double sshdCpuSeconds = 0;
  double nginxCpuSeconds = 0;
  double playersCpuSeconds = 0;
  std::vector<double> peakMemoryMiB;
};

// Every player installs at once; throws with the first failed player's log.
RoadResult patchDayRoad(Release& release, int players, pid_t sshd, pid_t nginx) {
  RoadResult result;
  std::vector<std::unique_ptr<Player>> crowd;
  for (int index = 1; index <= players; ++index)
    crowd.push_back(
        std::make_unique<Player>(release.scratch() / ("player-" + std::to_string(index))));
  const uint64_t mirrorBytesBefore = release.nginx.bodyBytesSent();
  const double sshdBefore = serverCpuSeconds(sshd);
  const double nginxBefore = serverCpuSeconds(nginx);
  const auto start = Clock::now();
  const PlayerSetup setup = setupOf(release, release.server.port());
  for (const auto& player : crowd) player->start(setup);
  std::vector<PlayerEnd> ends;
  for (const auto& player : crowd) ends.push_back(player->wait());
  result.wallSeconds = seconds(Clock::now() - start);
  waitForConnectionsToEnd(sshd);
  result.sshdCpuSeconds = serverCpuSeconds(sshd) - sshdBefore;
  result.nginxCpuSeconds = serverCpuSeconds(nginx) - nginxBefore;
  result.sources.mirrorBytes = release.nginx.bodyBytesSent() - mirrorBytesBefore;
  for (size_t index = 0; index < crowd.size(); ++index) {
    if (!ends[index].done)
      throw BenchError("player " + std::to_string(index + 1) + " failed:\n" + crowd[index]->log());
    checkCopy(release.patchTree, release.files, crowd[index]->game(), "a player");
    result.sources.addLogOf(crowd[index]->log());
    crowd[index]->remove();
    result.playersCpuSeconds += ends[index].cpuSeconds;
    result.peakMemoryMiB.push_back(ends[index].peakMemoryMiB);
  }
  return result;
}

// CPU seconds per GB of the files a server sent; "-" for a server that sent none.
std::string perGigabyte(double cpuSeconds, double bytes) {
  if (bytes == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", cpuSeconds / (bytes / 1e9));
  return text;
}

void printPatchDayRow(const char* road, const RoadResult& result, double served) {
  const double fromMirror = static_cast<double>(result.sources.mirrorBytes);
  std::printf("| %s | %.1f | %.0f | %.1f | %.1f | %s | %s | %.2f | %.1f / %.1f |\n", road,
              result.wallSeconds, mbPerSecond(served, result.wallSeconds), result.sshdCpuSeconds,
              result.nginxCpuSeconds,
              perGigabyte(result.sshdCpuSeconds, served - fromMirror).c_str(),
              perGigabyte(result.nginxCpuSeconds, fromMirror).c_str(),
              result.playersCpuSeconds / (served / 1e9),
              *std::max_element(result.peakMemoryMiB.begin(), result.peakMemoryMiB.end()),
              median(result.peakMemoryMiB));
}

int benchPatchDay(int players, size_t mebibytes) {
  Release release(patchDayServer(players));
  const size_t bytes = mebibytes << 20;
  for (int index = 1; index <= kPatchDayFiles; ++index) {
    const size_t share =
        bytes / kPatchDayFiles + (index == kPatchDayFiles ? bytes % kPatchDayFiles : 0);
    release.addFile("Data/common-" + std::to_string(index) + ".MPQ", share, 100 + index);
  }
  const pid_t sshd = serverProcess("sshd");
  const pid_t nginx = serverProcess("nginx");
  const double served = release.bytes * players;
  std::printf(
      "patch day: %d players at once install %zu MiB in %d files, all from the patch server, "
      "then all from the mirror\n",
      players, mebibytes, kPatchDayFiles);

  release.publish({});
  const RoadResult sftp = patchDayRoad(release, players, sshd, nginx);
  if (sftp.sources.mirrorBytes != 0) throw BenchError("the SFTP road took bytes from the mirror");
  std::printf("  SFTP: %.1f s\n", sftp.wallSeconds);
  std::fflush(stdout);

  release.publish({QString::fromStdString(release.nginx.url())});
  const RoadResult mirror = patchDayRoad(release, players, sshd, nginx);
  std::printf("  mirror: %.1f s\n", mirror.wallSeconds);

  std::printf(
      "\n| road, %d players | wall s | MB/s, all players | sshd CPU s | nginx CPU s | sshd CPU s "
      "per GB of files it sent | nginx CPU s per GB it sent | players' CPU s per GB | peak memory "
      "per player, max / median (MiB) |\n",
      players);
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  printPatchDayRow("SFTP (sshd)", sftp, served);
  printPatchDayRow("mirror (nginx; sshd lists)", mirror, served);
  std::printf("\n");
  printSources("mirror road", mirror.sources, players * kPatchDayFiles);
  return 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: mirror_bench link [MiB=512] [rounds=3] | patchday [players=50] [MiB=256]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage();
  if (!SshdServer::available()) {
    std::fprintf(stderr, "needs root and OpenSSH's sshd\n");
    return 1;
  }
  try {
    giveUpAfter(3600);
    if (args[0] == "link")
      return benchLink(args.size() > 1 ? std::stoul(args[1]) : 512,
                       args.size() > 2 ? std::stoi(args[2]) : 3);
    if (args[0] == "patchday")
      return benchPatchDay(args.size() > 1 ? std::stoi(args[1]) : 50,
                           args.size() > 2 ? std::stoul(args[2]) : 256);
    return usage();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "mirror_bench: %s\n", error.what());
    return 1;
  }
}
