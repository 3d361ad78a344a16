// What a hostile patch server costs the launcher, through its real window
// and the SFTP library against the hostile test server under a real sshd:
//  - the peak memory of this process while the patch update meets a listing
//    that never ends, until the walk's bound on entries per folder stops it;
//  - the time of the patch update's walk down a tree without end, to the
//    depth bound and, with the bound lifted, to a given depth, which shows
//    what one more level costs.
// Usage: hostile_bench [levels]
#include <sys/resource.h>

#include <QApplication>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "resources.h"
#include "sync_harness.h"

using quorrel::TForm1;
using quorrel::testing::runCommand;
using quorrel::testing::SshdServer;
using quorrel::testing::SyncHarness;

namespace {

using Clock = std::chrono::steady_clock;

// The peak of the resident memory since the last reset, which sets it to
// what is resident now.
void resetPeakMemory() {
  std::ofstream("/proc/self/clear_refs") << "5";
}
double peakMemoryMiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return -1;
}

// One folder stays open per level of the walk.
void allowOpenFiles() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

SshdServer::Options serving(const std::string& mode) {
  SshdServer::Options options;
  options.sftpServer = HOSTILE_SFTP_SERVER;
  options.sftpServerArguments = mode;
  return options;
}

// The log line that names the bound, cut short: at depth it holds a long path.
QString boundLine(const TForm1& form) {
  for (auto line = form.Memo1.crbegin(); line != form.Memo1.crend(); ++line)
    if (line->startsWith("Stopped listing"))
      return line->size() > 120 ? line->left(120) + "..." : *line;
  return "(no bound reached)";
}

// Runs the patch update and gives its wall time in seconds.
double timedUpdate(TForm1& form) {
  const Clock::time_point start = Clock::now();
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void endlessListing() {
  SyncHarness sync(serving("endless-listing"));
  TForm1& form = sync.start("game", true);
  const double before = peakMemoryMiB();
  resetPeakMemory();
  const double seconds = timedUpdate(form);
  std::printf(
      "1. endless listing: %lld entries listed in %.2f s; peak memory of this process %.1f MiB "
      "(%.1f MiB before the update)\n   %s\n",
      static_cast<long long>(form.update_memo.size()), seconds, peakMemoryMiB(), before,
      boundLine(form).toUtf8().constData());
}

void deepTree(size_t levels) {
  SyncHarness sync(serving("deep-tree"));
  TForm1& form = sync.start("game", true);
  const double bounded = timedUpdate(form);
  std::printf("2. tree without end, to the depth bound of %zu levels: %.2f s\n   %s\n",
              form.engine.walkLimits.depth, bounded, boundLine(form).toUtf8().constData());
  form.engine.walkLimits.depth = levels;
  resetPeakMemory();
  const double lifted = timedUpdate(form);
  std::printf(
      "3. the same tree with the bound lifted to %zu levels: %.2f s (%.2f ms per level), peak "
      "memory %.1f MiB\n   %s\n",
      levels, lifted, lifted * 1000 / static_cast<double>(levels), peakMemoryMiB(),
      boundLine(form).toUtf8().constData());
  // Deeper than the longest path the folder's own removal can name.
  runCommand({"rm", "-rf", sync.local("").string()});
}

}  // namespace

int main(int argc, char** argv) {
  const size_t levels = argc > 1 ? std::stoul(argv[1]) : 5000;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  quorrel::registerBundledFonts();
  if (!SshdServer::available()) {
    std::fprintf(stderr, "needs root and OpenSSH's sshd\n");
    return 1;
  }
  allowOpenFiles();
  try {
    endlessListing();
    deepTree(levels);
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "hostile_bench: %s\n", error.what());
    return 1;
  }
}
