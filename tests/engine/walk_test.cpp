// The walk of the patch server's tree and the fetches it leads to, against
// servers that do not behave: names that must never become local paths,
// listings and trees that do not end, sizes and answers that break the
// protocol. The game folder lies alone in a folder of its own, so that
// anything written beside it shows.
#include <QDir>
#include <algorithm>

#include "engine_harness.h"
#include "memory_rise.h"

namespace quorrel::testing {
namespace {

using std::chrono::milliseconds;

const char* const kNoBarsOnWindows = "Windows file names cannot hold a bar";

int64_t skippedNames(const RecordingObserver& observer) {
  return std::count_if(observer.lines.begin(), observer.lines.end(),
                       [](const QString& line) { return line.startsWith("Skipping \""); });
}

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SshdServer::available()) << "these tests run a real sshd and need root";
  }
};

TEST_F(WalkTest, LocalFileWhereAFolderBelongsEndsTheWalk) {
  EngineHarness sync;
  sync.serve("Data/a.MPQ", "a");
  sync.start("game", false);
  writeBytes(sync.local("Data"), "a file, not a folder");

  EXPECT_EQ(sync.install(), FlowResult{FlowEnd::NoConnection}) << sync.error.toStdString();
  EXPECT_EQ(readBytes(sync.local("Data")), "a file, not a folder");
  // The player reads the status line; support reads what happened where.
  const QString folder = QDir::toNativeSeparators(sync.game + "/Data");
#ifdef _WIN32
  const QString line = QString("Cannot open the folder %1: ").arg(folder);  // and the system's text
#else
  const QString line = QString("Cannot open the folder %1: Not a directory").arg(folder);
#endif
  EXPECT_TRUE(std::any_of(sync.observer.lines.begin(), sync.observer.lines.end(),
                          [&](const QString& logged) { return logged.startsWith(line); }))
      << sync.observer.logText();
}

// The size follows a line's last "|", so a "|" in a name is only part of the name.
TEST_F(WalkTest, NamesWithABarAreUpdatedLikeAnyOther) {
#ifdef _WIN32
  GTEST_SKIP() << kNoBarsOnWindows;
#endif
  EngineHarness sync;
  sync.serve("we|ird.MPQ", "x");
  sync.serve("p|q", "the file p|q");
  sync.start("game", true);

  EXPECT_EQ(sync.update(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
  EXPECT_EQ(readBytes(sync.local("we|ird.MPQ")), "x");
  EXPECT_EQ(readBytes(sync.local("p|q")), "the file p|q");
}

// The engine against the hostile server in one of its modes.
class HostileServerTest : public WalkTest {};

TEST_F(HostileServerTest, HostileNamesAreSkippedAndNothingLeavesTheGameFolder) {
  SshdServer::Options options;
  options.sftpServer = HOSTILE_SFTP_SERVER;
  EngineHarness sync(options);
  sync.start("jail/game", false);

  EXPECT_EQ(sync.install(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
  EXPECT_EQ(readBytes(sync.local("good.txt")), "hello");
  EXPECT_FALSE(fs::exists(sync.local("../x")));
  EXPECT_FALSE(fs::exists(sync.local("a")));
  EXPECT_EQ(entriesIn(sync.local("..")), 1);
  EXPECT_EQ(skippedNames(sync.observer), 2) << sync.observer.logText();
}

TEST_F(HostileServerTest, NamesWithABarAreFetchedWhole) {
#ifdef _WIN32
  GTEST_SKIP() << kNoBarsOnWindows;
#endif
  EngineHarness sync(hostileServer("bars"));
  sync.start("jail/game", false);

  EXPECT_EQ(sync.install(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
  EXPECT_EQ(readBytes(sync.local("x|5")), "the file x|5");
  EXPECT_EQ(readBytes(sync.local("x")), "plain x");
  EXPECT_EQ(readBytes(sync.local("p|q")), "pq");
  EXPECT_TRUE(sync.observer.fileList.contains(sync.remoteRoot() + "/x|5|12"))
      << sync.observer.fileList.join('\n').toStdString();
  expectNothingStrayed(sync);
}

TEST_F(HostileServerTest, LongNamesAreFetchedAndNamesNoDiskHoldsAreSkipped) {
#ifdef _WIN32
  GTEST_SKIP() << "under Wine names end at the Linux disk's 255 bytes, not at Windows' 255 "
                  "UTF-16 units that the launcher checks";
#endif
  EngineHarness sync(hostileServer("long-names"));
  sync.start("jail/game", false);

  EXPECT_EQ(sync.install(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
  EXPECT_EQ(readBytes(sync.local(std::string(250, 'a'))), "two hundred and fifty");
  EXPECT_EQ(readBytes(sync.local(std::string(255, 'b') + "/inner.txt")), "inside");
  EXPECT_EQ(readBytes(sync.local("good.txt")), "hello");
  EXPECT_EQ(entriesIn(sync.local("")), 3);
  EXPECT_EQ(skippedNames(sync.observer), 3) << sync.observer.logText();
  EXPECT_TRUE(sync.observer.logHas(QString(300, 'c') + "\" in " + sync.remoteRoot() +
                                   ": the name is too long for the disk"));
  expectNothingStrayed(sync);
}

// A name with a line feed and a terminal escape is a name like any other to
// the engine: the file keeps it on the disk, and the log its text. (What the
// support log file makes of such a line is the window's.)
TEST_F(HostileServerTest, ControlCharactersInNamesAreKeptAsTheyAre) {
  const std::string name =
      "forged\n2026-01-01T00:00:00.000 Update complete. Ready to play!\x1b[2J.txt";
  EngineHarness sync(hostileServer("control-names"));
  sync.start("jail/game", false);

  EXPECT_EQ(sync.install(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
  EXPECT_EQ(readBytes(sync.local("good.txt")), "hello");
#ifndef _WIN32
  EXPECT_EQ(readBytes(sync.local(name)), "forged");  // Windows refuses the name and skips it
#endif
  EXPECT_TRUE(sync.observer.logHas(QString::fromStdString(name))) << sync.observer.logText();
  expectNothingStrayed(sync);
}

// A file never grows past the size the listing gave it; a server that sends
// more, less, or a size no disk holds fails that file, and the old one stays.
struct SizeCase {
  const char* mode;
  const char* file;
  QString error;
  friend void PrintTo(const SizeCase& c, std::ostream* out) { *out << c.mode; }
};

class ListedSizeTest : public HostileServerTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ListedSizeTest, FailsTheFileAndKeepsTheOldOne) {
  const SizeCase& c = GetParam();
  EngineHarness sync(hostileServer(c.mode));
  sync.start("jail/game", true);
  writeBytes(sync.local(c.file), "the old version");

  EXPECT_EQ(sync.update(), std::nullopt);
  EXPECT_EQ(sync.error, c.error);
  EXPECT_TRUE(sync.observer.logHas(c.error)) << sync.observer.logText();
  EXPECT_EQ(sync.observer.filesStarted, QStringList{c.file});
  EXPECT_EQ(readBytes(sync.local(c.file)), "the old version");
  expectNothingStrayed(sync);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ListedSizeTest,
    ::testing::Values(SizeCase{"endless-read", "endless.MPQ",
                               "The server sent more than the 1000 bytes listed for endless.MPQ"},
                      SizeCase{"short-file", "short.MPQ",
                               "The server sent 500 of the 1000 bytes listed for short.MPQ"}),
    [](const auto& info) { return QString(info.param.mode).remove('-').toStdString(); });

// A server that breaks the protocol is no lost connection: a new connection
// would meet the same server. The flow ends at once, with no wait and no new
// try, the reason in the error and the log, and the old file in place.
struct ProtocolCase {
  const char* mode;
  QString reason;
  friend void PrintTo(const ProtocolCase& c, std::ostream* out) { *out << c.mode; }
};

class ProtocolViolationTest : public HostileServerTest,
                              public ::testing::WithParamInterface<ProtocolCase> {};

TEST_P(ProtocolViolationTest, EndsTheFlowAtOnceAndKeepsTheOldFile) {
  const ProtocolCase& c = GetParam();
  EngineHarness sync(hostileServer(c.mode));
  sync.start("jail/game", true);
  writeBytes(sync.local("bad.MPQ"), "the old version");

  EXPECT_EQ(sync.update(), std::nullopt);
  EXPECT_TRUE(sync.error.contains("Error 112, " + c.reason)) << sync.error.toStdString();
  // The pause before the fetch, and nothing after it.
  EXPECT_EQ(sync.sleeper.sleeps, std::vector<milliseconds>{milliseconds(250)});
  EXPECT_TRUE(sync.observer.retries.empty());
  EXPECT_TRUE(sync.observer.logHas(c.reason)) << sync.observer.logText();
  EXPECT_EQ(sync.observer.filesStarted, QStringList{"bad.MPQ"});
  EXPECT_EQ(readBytes(sync.local("bad.MPQ")), "the old version");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ProtocolViolationTest,
    ::testing::Values(ProtocolCase{"early-end", "The file ended at 500 of 1000 bytes"},
                      ProtocolCase{"malformed-data", "Malformed SFTP answer from the server"},
                      ProtocolCase{"overlong-data", "The server answered a read with "},
                      ProtocolCase{"oversized-packet", "SFTP packet of 2147483647 bytes refused"}),
    [](const auto& info) { return QString(info.param.mode).remove('-').toStdString(); });

// A listed size beyond any disk is refused before anything is fetched, with
// the figures in the result; the game stays as it is, to be started.
TEST_F(HostileServerTest, HugeListedSizeIsRefusedBeforeAnyFetch) {
  EngineHarness sync(hostileServer("huge-size"));
  sync.start("jail/game", true);
  writeBytes(sync.local("huge.MPQ"), "the old version");

  const std::optional<FlowResult> result = sync.update();
  ASSERT_TRUE(result.has_value()) << sync.error.toStdString();
  EXPECT_EQ(result->end, FlowEnd::NoRoom);
  EXPECT_EQ(result->shortfall.needed, INT64_MAX);
  EXPECT_LT(result->shortfall.free, INT64_MAX);
  EXPECT_TRUE(sync.observer.logHas("9223372036854775807 bytes to download"))
      << sync.observer.logText();
  EXPECT_TRUE(sync.observer.filesStarted.isEmpty());
  EXPECT_EQ(readBytes(sync.local("huge.MPQ")), "the old version");
  expectNothingStrayed(sync);
}

// A listing that never ends stops at a bound, and the flow ends as with a
// server that cannot be reached.
struct WalkBoundCase {
  const char* name;
  // Sets a bound low, or moves the clock on once the walk is under way.
  std::function<void(EngineHarness&)> limit;
  QString bound;
  friend void PrintTo(const WalkBoundCase& c, std::ostream* out) { *out << c.name; }
};

class WalkBoundTest : public HostileServerTest,
                      public ::testing::WithParamInterface<WalkBoundCase> {};

TEST_P(WalkBoundTest, EndlessListingEndsTheFlowAsNoConnection) {
  EngineHarness sync(hostileServer("endless-listing"));
  sync.start("jail/game", true);
  GetParam().limit(sync);
  qsizetype mostListed = 0;
  sync.observer.onTurn = [&] {
    if (const TreeWalk* walk = sync.engine().walk())
      mostListed = std::max(mostListed, walk->fileList().size());
  };
  const MemoryRise memory;

  EXPECT_EQ(sync.update(), FlowResult{FlowEnd::NoConnection}) << sync.error.toStdString();
  EXPECT_TRUE(sync.observer.logHas("Stopped listing the patch server: " + GetParam().bound))
      << sync.observer.lines.mid(sync.observer.lines.size() - 5).join('\n').toStdString();
  EXPECT_GT(mostListed, 0);
  EXPECT_LE(mostListed, sync.engine().walkLimits.entriesPerFolder);
  // The bound's 250000 names take about 45 MiB; a walk that kept listing would go on rising.
  EXPECT_LT(memory.peakKiB(), 64 * 1024);
  expectNothingStrayed(sync);
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, WalkBoundTest,
    ::testing::Values(WalkBoundCase{"EntriesPerFolder", [](EngineHarness&) {},
                                    "more than 250000 entries in the folder "},
                      WalkBoundCase{
                          "EntriesInAll",
                          [](EngineHarness& sync) { sync.engine().walkLimits.entriesInAll = 3000; },
                          "more than 3000 entries in all"},
                      // An hour passes once the listing has delivered its first entries.
                      WalkBoundCase{"Time",
                                    [](EngineHarness& sync) {
                                      sync.observer.once(
                                          [&sync] {
                                            const TreeWalk* walk = sync.engine().walk();
                                            return walk && !walk->fileList().isEmpty();
                                          },
                                          [&sync] { sync.clock.advanced = std::chrono::hours(1); });
                                    },
                                    "the listing took more than 1800 seconds"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileServerTest, EndlessTreeStopsAtTheDepthBound) {
  EngineHarness sync(hostileServer("deep-tree"));
  sync.start("jail/game", true);

  EXPECT_EQ(sync.update(), FlowResult{FlowEnd::NoConnection}) << sync.error.toStdString();
  EXPECT_TRUE(
      sync.observer.logHas("Stopped listing the patch server: folders nested more than 64 deep"))
      << sync.observer.logText();
  std::string deepest;
  for (int level = 0; level < 64; ++level) deepest += "d/";
  EXPECT_TRUE(fs::is_directory(sync.local(deepest)));
  EXPECT_FALSE(fs::exists(sync.local(deepest + "d")));
  expectNothingStrayed(sync);
}

// A stop ends a walk that would not end, or not soon, by itself.
struct StopCase {
  const char* mode;
  std::function<bool(const TreeWalk&)> underWay;
  friend void PrintTo(const StopCase& c, std::ostream* out) { *out << c.mode; }
};

class StopDuringWalkTest : public HostileServerTest,
                           public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopDuringWalkTest, EndsTheFlowQuietly) {
  EngineHarness sync(hostileServer(GetParam().mode));
  sync.start("jail/game", false);
  sync.engine().walkLimits.depth = 100000;  // only the stop ends this walk
  qsizetype listed = 0;
  sync.observer.once(
      [&] {
        const TreeWalk* walk = sync.engine().walk();
        return walk && GetParam().underWay(*walk);
      },
      [&] {
        listed = sync.engine().walk()->fileList().size();
        sync.engine().stop();
      });

  EXPECT_EQ(sync.install(), FlowResult{FlowEnd::Stopped}) << sync.error.toStdString();
  EXPECT_LT(listed, 100000);
  EXPECT_TRUE(sync.observer.fileList.isEmpty()) << "a stopped walk lists nothing";
  EXPECT_TRUE(sync.observer.filesStarted.isEmpty());
  expectNothingStrayed(sync);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, StopDuringWalkTest,
    ::testing::Values(StopCase{"endless-listing",
                               [](const TreeWalk& walk) { return walk.fileList().size() >= 5000; }},
                      StopCase{"deep-tree",
                               [](const TreeWalk& walk) {
                                 return walk.currentFolder().count('/') >= 100;
                               }}),
    [](const auto& info) { return QString(info.param.mode).remove('-').toStdString(); });

TEST_F(HostileServerTest, OtherSftpVersionsAreRefused) {
  for (const char* version : {"99", "0"}) {
    SCOPED_TRACE(version);
    EngineHarness sync(hostileServer(std::string("version-") + version));
    sync.start("jail/game", false);

    EXPECT_EQ(sync.install(), FlowResult{FlowEnd::NoConnection}) << sync.error.toStdString();
    EXPECT_TRUE(sync.observer.logHas(
        QString("The server speaks SFTP version %1; only version 3 is supported").arg(version)))
        << sync.observer.logText();
    EXPECT_TRUE(fs::is_empty(sync.local("")));
    expectNothingStrayed(sync);
  }
}

}  // namespace
}  // namespace quorrel::testing
