// What the game folder's disk does to a flow: a folder deleted under it, a
// disk that fills or takes no writes, and files that would not fit.
#include <QDir>
#include <algorithm>

#include "engine_harness.h"

namespace quorrel::testing {
namespace {

// What the system says of a full disk and of a disk that takes no writes.
#ifdef _WIN32
const QString kNoSpace = "Disk full";
const QString kReadOnlyDisk = "Access denied";
#else
const QString kNoSpace = "No space left on device";
const QString kReadOnlyDisk = "Read-only file system";
#endif

class DiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SshdServer::available()) << "these tests run a real sshd and need root";
  }
};

// Runs `act` once the first bytes of the flow's file have arrived.
void onFirstBlock(EngineHarness& sync, std::function<void()> act) {
  sync.observer.once([&sync] { return sync.engine().progress().done() > 0; }, std::move(act));
}

bool anyLine(const RecordingObserver& observer, const std::function<bool(const QString&)>& is) {
  return std::any_of(observer.lines.begin(), observer.lines.end(), is);
}

TEST_F(DiskTest, GameFolderDeletedDuringATransferIsLoggedWithItsCause) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows deletes no folder that holds an open file";
#endif
  EngineHarness sync;
  sync.serve("big.MPQ", randomBytes(16 * 1024 * 1024, 10));
  sync.start("game", false);
  onFirstBlock(sync, [&] { fs::remove_all(sync.local("")); });

  EXPECT_EQ(sync.install(), std::nullopt);
  EXPECT_EQ(sync.error, "Invalid filename");
  EXPECT_TRUE(anyLine(sync.observer, [&](const QString& line) {
    return line.startsWith("Cannot move " + sync.game + "/.quorrel-") &&
           line.endsWith(sync.game + "/big.MPQ: No such file or directory");
  })) << sync.observer.logText();
  EXPECT_FALSE(fs::exists(sync.local("")));
}

// What the disk answers reaches the log as the system said it, and the
// error as the player is to read it.
TEST_F(DiskTest, FullDiskIsReportedAsAFullDisk) {
  EngineHarness sync;
  sync.serve("big.MPQ", randomBytes(3 * 1024 * 1024, 11));
  sync.start("game", true);
  SmallDisk disk(sync.local(""), false);
  writeBytes(sync.local("big.MPQ"), "the old version");
  onFirstBlock(sync, [&] { writeBytes(sync.local("filler"), std::string(2 << 20, 'f')); });

  EXPECT_EQ(sync.update(), std::nullopt);
  EXPECT_EQ(sync.error, "Disk full");
  EXPECT_TRUE(anyLine(sync.observer, [&](const QString& line) {
    return line.startsWith("Cannot write " + sync.game + QDir::separator() + ".quorrel-") &&
           line.endsWith(": " + kNoSpace);
  })) << sync.observer.logText();
  EXPECT_EQ(readBytes(sync.local("big.MPQ")), "the old version");
  EXPECT_TRUE(sync.observer.retries.empty()) << "a full disk stays full";
  // The partial copy goes too: the disk gets its space back.
  EXPECT_EQ(entriesIn(sync.local("")), 2);
  EXPECT_TRUE(partialCopiesIn(sync.local("")).empty());
}

// Files that do not fit on the disk are not begun; the result gives both figures.
TEST_F(DiskTest, FilesThatDoNotFitOnTheDiskAreNotFetched) {
  EngineHarness sync;
  sync.serve("a.MPQ", randomBytes(3 * 1024 * 1024, 12));
  sync.serve("b.MPQ", randomBytes(3 * 1024 * 1024, 13));
  sync.start("game", true);
  SmallDisk disk(sync.local(""), false);
  writeBytes(sync.local("WoW.exe"), "client");

  const std::optional<FlowResult> result = sync.update();
  ASSERT_TRUE(result.has_value()) << sync.error.toStdString();
  EXPECT_EQ(result->end, FlowEnd::NoRoom);
  EXPECT_EQ(result->shortfall.needed, 6 * 1024 * 1024);
  EXPECT_GT(result->shortfall.free, 0);
  EXPECT_LT(result->shortfall.free, 4 * 1024 * 1024);
  EXPECT_TRUE(sync.observer.logHas(
      QString("6291456 bytes to download, %1 bytes free in ").arg(result->shortfall.free)))
      << sync.observer.logText();
  EXPECT_TRUE(sync.observer.filesStarted.isEmpty());
  EXPECT_FALSE(fs::exists(sync.local("a.MPQ")));
  EXPECT_FALSE(fs::exists(sync.local("b.MPQ")));
}

TEST_F(DiskTest, ReadOnlyGameFolderEndsTheFlowAndLogsTheCause) {
  EngineHarness sync;
  sync.serve("Data/a.MPQ", "a");
  sync.start("game", true);
  SmallDisk disk(sync.local(""), true);

  EXPECT_EQ(sync.update(), FlowResult{FlowEnd::NoConnection}) << sync.error.toStdString();
  EXPECT_TRUE(
      sync.observer.lines.contains(QString("Cannot create the folder %1%2Data: %3")
                                       .arg(sync.game, QString(QDir::separator()), kReadOnlyDisk)))
      << sync.observer.logText();
}

}  // namespace
}  // namespace quorrel::testing
