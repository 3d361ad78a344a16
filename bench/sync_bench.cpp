// Times the launcher's game-file synchronisation, through its real window and
// the SFTP library, against OpenSSH's sftp client on the same local sshd:
//  - a fresh install of a few large random files, from the Install click to
//    "Ready to play!", against `sftp -r get` of the same tree;
//  - the patch update of a large tree of small files that is already up to
//    date (only the walk and the comparison), from the click to "Game up to
//    date. Ready to play!", against sftp listing every folder of the tree;
//  - the second update check of that tree with large files added, with the
//    patch server's manifest (the digests of unchanged files come from the
//    launcher's cache) against the same check by size alone;
//  - the peak memory of this process, which hosts the window and the library.
// The two sides alternate, and each side's best round is compared.
// Usage: sync_bench [rounds] [MiB per file] [files]
#include <QApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "counting_sleeper.h"
#include "manifest.h"
#include "resources.h"
#include "sync_harness.h"

using namespace quorrel::bench;
using quorrel::TForm1;
using quorrel::testing::SshdServer;
using quorrel::testing::SyncHarness;

namespace {

// The small tree of the update: 20 folders of 9 subfolders each, 25 files in
// every one of the 200 folders.
constexpr int kTopFolders = 20;
constexpr int kSubfolders = 9;
constexpr int kFilesPerFolder = 25;

struct Settings {
  int rounds = 2;
  size_t mebibytes = 256;
  int files = 8;
};

struct Memory {
  double beforeInstall = 0;
  double afterInstall = 0;
};

Memory benchInstall(SyncHarness& sync, CountingSleeper& sleeper, const OpenSshClient& openssh,
                    const Settings& settings) {
  const std::string remoteTree = sync.server.remoteDataDir() + "/upload";
  std::vector<std::string> files;
  std::printf("making %d files of %zu MiB of random content...\n", settings.files,
              settings.mebibytes);
  std::fflush(stdout);
  for (int index = 0; index < settings.files; ++index) {
    files.push_back("Data/patch-" + std::to_string(index + 1) + ".MPQ");
    writeRandomFile(sync.patchTree / files.back(), settings.mebibytes * 1024 * 1024, 1000 + index);
  }
  sync.server.chownToUser(sync.server.dataDir());
  const double bytes =
      static_cast<double>(settings.files) * static_cast<double>(settings.mebibytes) * 1024 * 1024;
  const fs::path opensshCopy = sync.server.dataDir().parent_path() / "openssh-copy";

  Memory memory;
  double launcherBest = 1e300, opensshBest = 1e300;
  int pausesOfBest = 0;
  const auto launcherInstall = [&](int round) {
    const QString name = QStringLiteral("install-%1").arg(round);
    TForm1& form = sync.start(name, false);
    if (!form.install->isEnabled()) throw BenchError("Install is not enabled");
    if (memory.beforeInstall == 0) memory.beforeInstall = peakMemoryMiB();
    sleeper.pauses = 0;
    const auto start = Clock::now();
    sync.clickInstall();
    const double elapsed = seconds(Clock::now() - start);
    memory.afterInstall = peakMemoryMiB();
    if (sync.status() != QStringLiteral("Ready to play!") ||
        !sync.harness.messageBox.errors.empty())
      throw BenchError("the install ended with \"" + sync.status().toStdString() + "\" " +
                       sync.harness.messageBox.errorTexts().join(" | ").toStdString());
    checkCopy(sync.patchTree, files, sync.local(""), "the launcher");
    if (elapsed < launcherBest) {
      launcherBest = elapsed;
      pausesOfBest = sleeper.pauses;
    }
    fs::remove_all(sync.local(""));
    return std::pair(elapsed, sleeper.pauses);
  };
  const auto opensshGet = [&] {
    const double elapsed =
        openssh.run("get " + quoted(remoteTree) + " " + quoted(opensshCopy.string()) + "\n", true);
    const double syncing = syncToDisk(opensshCopy, files);
    checkCopy(sync.patchTree, files, opensshCopy, "OpenSSH's sftp");
    opensshBest = std::min(opensshBest, elapsed);
    fs::remove_all(opensshCopy);
    return std::pair(elapsed, syncing);
  };

  std::printf("\n1. fresh install of %d x %zu MiB (%.0f MB), %d rounds, alternating\n",
              settings.files, settings.mebibytes, bytes / 1e6, settings.rounds);
  for (int round = 1; round <= settings.rounds; ++round) {
    std::pair<double, int> launcher;
    std::pair<double, double> openssh;
    // Each side goes first in every other round, so neither always meets a
    // disk still busy with the other's writes.
    if (round % 2 == 1) {
      launcher = launcherInstall(round);
      openssh = opensshGet();
    } else {
      openssh = opensshGet();
      launcher = launcherInstall(round);
    }
    std::printf(
        "round %d: launcher %.2f s (%.1f MB/s, %d pauses), OpenSSH sftp -r get %.2f s "
        "(%.1f MB/s; syncing its copy to the disk took %.2f s more)\n",
        round, launcher.first, mbPerSecond(bytes, launcher.first), launcher.second, openssh.first,
        mbPerSecond(bytes, openssh.first), openssh.second);
    std::fflush(stdout);
  }
  const double pauses = pausesOfBest * 0.25;
  std::printf("best: launcher %.2f s (%.1f MB/s), OpenSSH %.2f s (%.1f MB/s)\n", launcherBest,
              mbPerSecond(bytes, launcherBest), opensshBest, mbPerSecond(bytes, opensshBest));
  std::printf(
      "ratio launcher/OpenSSH (time, above 1: the launcher is slower): %.2f raw, %.2f "
      "without the launcher's %d pauses of 250 ms (launcher %.2f s, %.1f MB/s)\n",
      launcherBest / opensshBest, (launcherBest - pauses) / opensshBest, pausesOfBest,
      launcherBest - pauses, mbPerSecond(bytes, launcherBest - pauses));
  std::fflush(stdout);
  for (const std::string& relative : files) fs::remove(sync.patchTree / relative);
  return memory;
}

TForm1& benchUpdate(SyncHarness& sync, CountingSleeper& sleeper, const OpenSshClient& openssh,
                    const Settings& settings) {
  // The same small tree on the server and in the game folder.
  const fs::path game = sync.harness.path(QStringLiteral("up-to-date")).toStdString();
  std::vector<std::string> folders = {""};
  std::mt19937 generator(7);
  std::uniform_int_distribution<size_t> sizes(64, 8192);
  int fileCount = 0;
  for (int top = 1; top <= kTopFolders; ++top) {
    const std::string topName = "AddOn" + std::to_string(top);
    folders.push_back(topName);
    for (int sub = 1; sub <= kSubfolders; ++sub)
      folders.push_back(topName + "/Module" + std::to_string(sub));
  }
  for (size_t index = 1; index < folders.size(); ++index) {
    for (int file = 1; file <= kFilesPerFolder; ++file) {
      const std::string relative = folders[index] + "/part" + std::to_string(file) + ".lua";
      std::string content(sizes(generator), '\0');
      for (char& byte : content) byte = static_cast<char>(generator());
      quorrel::testing::writeBytes(sync.patchTree / relative, content);
      quorrel::testing::writeBytes(game / relative, content);
      ++fileCount;
    }
  }
  sync.server.chownToUser(sync.server.dataDir());
  const int folderCount = static_cast<int>(folders.size()) - 1;

  const std::string remoteTree = sync.server.remoteDataDir() + "/upload";
  std::string batch;
  for (const std::string& folder : folders)
    batch += "ls -l " + quoted(folder.empty() ? remoteTree : remoteTree + "/" + folder) + "\n";

  TForm1& form = sync.start(QStringLiteral("up-to-date"), true);
  double launcherBest = 1e300, opensshBest = 1e300;
  const auto launcherUpdate = [&] {
    sleeper.pauses = 0;
    const auto start = Clock::now();
    QTest::mouseClick(form.startUpdate, Qt::LeftButton);
    const double elapsed = seconds(Clock::now() - start);
    if (sync.status() != QStringLiteral("Game up to date. Ready to play!") || sleeper.pauses != 0)
      throw BenchError("the update ended with \"" + sync.status().toStdString() + "\" after " +
                       std::to_string(sleeper.pauses) + " fetches");
    if (form.update_memo.size() != fileCount)
      throw BenchError("the launcher listed " + std::to_string(form.update_memo.size()) + " files");
    launcherBest = std::min(launcherBest, elapsed);
    return elapsed;
  };
  const auto opensshList = [&] {
    std::string listing;
    const double elapsed = openssh.run(batch, false, &listing);
    const auto lines = std::count(listing.begin(), listing.end(), '\n');
    if (lines < fileCount + folderCount)
      throw BenchError("sftp listed only " + std::to_string(lines) + " lines");
    opensshBest = std::min(opensshBest, elapsed);
    return elapsed;
  };

  std::printf(
      "\n2. update of an up-to-date tree of %d files in %d folders (walk and compare), "
      "%d rounds, alternating\n",
      fileCount, folderCount, settings.rounds);
  for (int round = 1; round <= settings.rounds; ++round) {
    double launcher = 0, openssh = 0;
    if (round % 2 == 1) {
      launcher = launcherUpdate();
      openssh = opensshList();
    } else {
      openssh = opensshList();
      launcher = launcherUpdate();
    }
    std::printf("round %d: launcher %.3f s, OpenSSH sftp ls -l of every folder %.3f s\n", round,
                launcher, openssh);
    std::fflush(stdout);
  }
  std::printf("best: launcher %.3f s, OpenSSH %.3f s, ratio launcher/OpenSSH %.2f\n", launcherBest,
              opensshBest, launcherBest / opensshBest);
  return form;
}

// The manifest of every file below `root`, as the operator's tool writes it.
std::string manifestOf(const fs::path& root) {
  std::vector<quorrel::manifest::Entry> entries;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    QFile file(QString::fromStdString(entry.path().string()));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
      throw BenchError("cannot read " + entry.path().string());
    entries.push_back({QString::fromStdString(fs::relative(entry.path(), root).generic_string()),
                       file.size(), hash.result()});
  }
  return quorrel::manifest::format(entries).toStdString();
}

// The tree of the update check, with large files added on both sides (the
// game folder's copies are hard links: the same bytes at no cost in disk).
void benchManifest(SyncHarness& sync, TForm1& form, const Settings& settings) {
  const fs::path game = form.wow_path.toStdString();
  for (int index = 0; index < settings.files; ++index) {
    const std::string relative = "Data/large-" + std::to_string(index + 1) + ".MPQ";
    writeRandomFile(sync.patchTree / relative, settings.mebibytes * 1024 * 1024, 2000 + index);
    fs::create_directories((game / relative).parent_path());
    fs::create_hard_link(sync.patchTree / relative, game / relative);
  }
  const fs::path manifestFile = sync.patchTree / quorrel::manifest::kFileName.toStdString();
  const fs::path putAside = sync.server.dataDir() / "manifest-aside";
  quorrel::testing::writeBytes(putAside, manifestOf(sync.patchTree));
  sync.server.chownToUser(sync.server.dataDir());

  const auto check = [&](bool withManifest) {
    if (withManifest != fs::exists(manifestFile))
      withManifest ? fs::rename(putAside, manifestFile) : fs::rename(manifestFile, putAside);
    const int64_t hashedBefore = form.engine.hashedBytes();
    const auto start = Clock::now();
    QTest::mouseClick(form.startUpdate, Qt::LeftButton);
    const double elapsed = seconds(Clock::now() - start);
    if (sync.status() != QStringLiteral("Game up to date. Ready to play!"))
      throw BenchError("the update ended with \"" + sync.status().toStdString() + "\"");
    return std::pair(elapsed, form.engine.hashedBytes() - hashedBefore);
  };

  std::printf(
      "\n3. update check of that tree with %d x %zu MiB added, with the manifest against size "
      "alone, %d rounds, alternating\n",
      settings.files, settings.mebibytes, settings.rounds);
  const auto [first, firstHashed] = check(true);
  std::printf("first check with the manifest: %.3f s, %.1f MB of local files read\n", first,
              firstHashed / 1e6);
  double manifestBest = 1e300, sizeBest = 1e300;
  for (int round = 1; round <= settings.rounds; ++round) {
    std::pair<double, int64_t> withManifest;
    double sizeOnly = 0;
    if (round % 2 == 1) {
      withManifest = check(true);
      sizeOnly = check(false).first;
    } else {
      sizeOnly = check(false).first;
      withManifest = check(true);
    }
    manifestBest = std::min(manifestBest, withManifest.first);
    sizeBest = std::min(sizeBest, sizeOnly);
    std::printf("round %d: with the manifest %.3f s (%lld bytes read), size alone %.3f s\n", round,
                withManifest.first, static_cast<long long>(withManifest.second), sizeOnly);
    std::fflush(stdout);
  }
  std::printf("best: with the manifest %.3f s, size alone %.3f s, ratio %.2f\n", manifestBest,
              sizeBest, manifestBest / sizeBest);
}

int run(const Settings& settings) {
  if (!SshdServer::available()) {
    std::fprintf(stderr, "needs root and OpenSSH's sshd\n");
    return 1;
  }
  const size_t transferred = static_cast<size_t>(settings.rounds) *
                             static_cast<size_t>(settings.files) * settings.mebibytes * 2;
  giveUpAfter(static_cast<unsigned>(600 + transferred / 5));

  SyncHarness sync;
  CountingSleeper sleeper;
  sync.harness.windowSleeper = &sleeper;
  const OpenSshClient openssh(sync.server, sync.server.port());
  const Memory memory = benchInstall(sync, sleeper, openssh, settings);
  TForm1& form = benchUpdate(sync, sleeper, openssh, settings);
  benchManifest(sync, form, settings);
  std::printf(
      "\n4. peak memory of this process (window and library, ru_maxrss): %.1f MiB after "
      "the installs (%.1f MiB before the first one, %.1f MiB after the updates too)\n",
      memory.afterInstall, memory.beforeInstall, peakMemoryMiB());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  try {
    if (argc > 1) settings.rounds = std::stoi(argv[1]);
    if (argc > 2) settings.mebibytes = std::stoul(argv[2]);
    if (argc > 3) settings.files = std::stoi(argv[3]);
  } catch (const std::exception&) {
    settings.rounds = 0;
  }
  if (argc > 4 || settings.rounds < 1 || settings.mebibytes < 1 || settings.files < 1) {
    std::fprintf(stderr, "usage: sync_bench [rounds=2] [MiB per file=256] [files=8]\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  quorrel::registerBundledFonts();
  try {
    return run(settings);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "sync_bench: %s\n", error.what());
    return 1;
  }
}
