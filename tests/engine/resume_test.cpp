// Fetches that stop and go on: a lost connection is tried again and the file
// resumed from its partial copy, also in a later run of the launcher, and
// checked against the manifest over the whole file.
#include <QProcess>
#include <algorithm>
#include <map>

#ifndef _WIN32
#include <csignal>
#endif

#include "engine_harness.h"
#include "partial_copy.h"

namespace quorrel::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class ResumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SshdServer::available()) << "these tests run a real sshd and need root";
  }
};

// The flow under way is stopped, as a close stops it, once the first bytes
// of its file have arrived.
void stopAtTheFirstBlock(EngineHarness& sync) {
  sync.observer.once([&sync] { return sync.engine().progress().done() > 0; },
                     [&sync] { sync.engine().stop(); });
}

// The server crashes in the middle of a large file and is back for the third
// try: the flow waits, connects again, and fetches only the rest of the file.
TEST_F(ResumeTest, ServerBackAfterACrashGetsOnlyTheRestOfTheFileFetched) {
  EngineHarness sync;
  const std::string content = randomBytes(48 * 1024 * 1024, 21);
  const auto size = static_cast<int64_t>(content.size());
  sync.serve("Data/big.MPQ", content);
  sync.start("game", false);
  std::vector<int64_t> done;
  sync.observer.onProgress = [&](const FlowProgress& progress) { done.push_back(progress.done()); };
  sync.observer.once([&] { return sync.engine().progress().done() > size / 3; },
                     [&] { sync.server.stop(); });
  sync.sleeper.onSleep = [&] {
    if (!sync.server.running() && sync.observer.retries.size() == 2) sync.server.restart();
  };

  EXPECT_EQ(sync.install(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
  EXPECT_TRUE(readBytes(sync.local("Data/big.MPQ")) == content);
  EXPECT_EQ(sync.observer.retries, (std::vector<Retry>{{2, 4, seconds(2)}, {3, 4, seconds(5)}}))
      << sync.observer.logText();
  EXPECT_EQ(retryWaitTime(sync.sleeper), milliseconds(2000 + 5000));
  EXPECT_GT(resumedAt(sync.observer.lines, "Data/big.MPQ"), size / 3);
  // The bytes before the crash are not fetched again.
  const FlowProgress& progress = sync.engine().progress();
  EXPECT_GE(progress.fetched(), size);
  EXPECT_LE(progress.fetched(), size + size / 100);
  // The bytes done never went back, and end at the file's size.
  EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
  EXPECT_EQ(progress.done(), size);
  EXPECT_EQ(progress.total(), size);
  EXPECT_TRUE(partialCopiesIn(sync.local("")).empty());
}

// A launcher closed (or killed) in the middle of a file leaves its partial
// copy; started again, it fetches only the rest, which the manifest's digest
// checks with the kept bytes.
TEST_F(ResumeTest, InstallStoppedInTheMiddleOfAFileGoesOnFromItsPartialCopyNextTime) {
  EngineHarness sync;
  const std::string content = randomBytes(24 * 1024 * 1024, 22);
  const auto size = static_cast<int64_t>(content.size());
  serveWithManifest(sync, {{"big.MPQ", content}});
  sync.start("game", false);
  stopAtTheFirstBlock(sync);
  ASSERT_EQ(sync.install(), FlowResult{FlowEnd::Stopped}) << sync.error.toStdString();

  EXPECT_FALSE(fs::exists(sync.local("big.MPQ")));
  const fs::path copy = copyOf(sync, "big.MPQ");
  ASSERT_TRUE(fs::exists(copy));
  const auto kept = static_cast<int64_t>(fs::file_size(copy));
  ASSERT_GT(kept, 0);
  ASSERT_LT(kept, size);
  EXPECT_TRUE(readBytes(copy) == content.substr(0, kept));
  EXPECT_TRUE(fs::exists(recordOf(sync, "big.MPQ")));

  sync.start("game", false);  // the launcher started again
  EXPECT_EQ(sync.install(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();

  EXPECT_TRUE(sync.observer.askedAbout.empty()) << "a partial copy is no player's file";
  EXPECT_TRUE(readBytes(sync.local("big.MPQ")) == content);
  EXPECT_EQ(resumedAt(sync.observer.lines, "big.MPQ"), kept);
  EXPECT_EQ(sync.engine().progress().fetched(), size - kept);
  EXPECT_EQ(sync.engine().progress().done(), size);
  EXPECT_TRUE(partialCopiesIn(sync.local("")).empty());
}

#ifndef _WIN32
// Waits until the partial copy `copy` holds at least `bytes` while `launcher`
// runs; false when the launcher ends first, or when minutes pass.
bool waitUntilCopyHolds(QProcess& launcher, const fs::path& copy, int64_t bytes) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (std::chrono::steady_clock::now() < giveUp) {
    std::error_code notYetThere;
    const uintmax_t length = fs::file_size(copy, notYetThere);
    if (!notYetThere && length >= static_cast<uintmax_t>(bytes)) return true;
    if (launcher.state() == QProcess::NotRunning || launcher.waitForFinished(10)) return false;
  }
  return false;
}

// A launcher killed in the middle of a file runs none of its own code on the
// way out: what it wrote of the file and the record written before stay as
// they were, and the next launcher goes on from there.
TEST_F(ResumeTest, LauncherKilledInTheMiddleOfAFileLeavesACopyTheNextInstallGoesOnFrom) {
  EngineHarness sync;
  const std::string content = randomBytes(32 * 1024 * 1024, 29);
  const auto size = static_cast<int64_t>(content.size());
  serveWithManifest(sync, {{"Data/big.MPQ", content}});
  sync.start("game", false);
  QProcess first;
  first.setProcessChannelMode(QProcess::ForwardedChannels);
  // Capped, so that the test finds it in the middle of the file on any machine.
  const QString speedLimitKiB = "4096";
  first.start(ENGINE_CHILD, {"install-until-killed", QString::fromStdString(sync.server.host()),
                             QString::number(sync.server.port()), sync.remoteRoot(), sync.game,
                             QString::fromStdString(sync.dataHome.string()),
                             sync.path("first-launcher-state"), speedLimitKiB});
  ASSERT_TRUE(first.waitForStarted()) << first.errorString().toStdString();

  const fs::path copy = copyOf(sync, "Data/big.MPQ");
  ASSERT_TRUE(waitUntilCopyHolds(first, copy, size / 4))
      << "the first launcher ended, or fetched too little, before it was to be killed";
  ASSERT_EQ(::kill(static_cast<pid_t>(first.processId()), SIGKILL), 0);
  ASSERT_TRUE(first.waitForFinished());
  EXPECT_EQ(first.exitStatus(), QProcess::CrashExit);

  EXPECT_FALSE(fs::exists(sync.local("Data/big.MPQ")));
  const auto kept = static_cast<int64_t>(fs::file_size(copy));
  ASSERT_GE(kept, size / 4);
  ASSERT_LT(kept, size);
  EXPECT_TRUE(readBytes(copy) == content.substr(0, kept));
  EXPECT_EQ(partial_copy::parseRecord(
                QByteArray::fromStdString(readBytes(recordOf(sync, "Data/big.MPQ")))),
            serverVersion(sync, "Data/big.MPQ"));

  sync.start("game", false);  // the launcher started again
  EXPECT_EQ(sync.install(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();

  EXPECT_TRUE(readBytes(sync.local("Data/big.MPQ")) == content);
  EXPECT_EQ(resumedAt(sync.observer.lines, "Data/big.MPQ"), kept);
  EXPECT_EQ(sync.engine().progress().fetched(), size - kept);
  EXPECT_EQ(sync.engine().progress().done(), size);
  EXPECT_TRUE(partialCopiesIn(sync.local("")).empty());
}
#endif

// A server file that changed after the partial copy began makes the copy
// worthless, even at the same size: it is discarded and the file fetched whole.
TEST_F(ResumeTest, PartialCopyOfAFileChangedSinceIsDiscarded) {
  EngineHarness sync;
  const std::string before = randomBytes(8 * 1024 * 1024, 23);
  serveWithManifest(sync, {{"big.MPQ", before}});
  sync.start("game", false);
  stopAtTheFirstBlock(sync);
  ASSERT_EQ(sync.install(), FlowResult{FlowEnd::Stopped}) << sync.error.toStdString();
  ASSERT_TRUE(fs::exists(copyOf(sync, "big.MPQ")));

  const std::string after = randomBytes(before.size(), 24);
  serveWithManifest(sync, {{"big.MPQ", after}});
  // Within the same second as the first version: the time must still differ.
  fs::last_write_time(sync.patchTree / "big.MPQ",
                      fs::last_write_time(sync.patchTree / "big.MPQ") + std::chrono::seconds(10));
  sync.start("game", false);
  EXPECT_EQ(sync.install(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();

  EXPECT_TRUE(readBytes(sync.local("big.MPQ")) == after);
  EXPECT_EQ(resumedAt(sync.observer.lines, "big.MPQ"), -1);
  EXPECT_EQ(sync.engine().progress().fetched(), static_cast<int64_t>(after.size()));
  EXPECT_TRUE(partialCopiesIn(sync.local("")).empty());
}

// A server file replaced by other bytes of the same size and time (as
// `rsync -t` or an unpacked archive leaves it) looks the same to a listing:
// the kept bytes of an earlier run are never joined to the new ones unless a
// digest proves the whole. Without a manifest the copy is not gone on with;
// with one, the spliced file fails its check and is fetched once more.
TEST_F(ResumeTest, FileReplacedAtTheSameSizeAndTimeIsNeverSpliced) {
  for (const bool withManifest : {false, true}) {
    SCOPED_TRACE(withManifest ? "with a manifest" : "without a manifest");
    EngineHarness sync;
    const std::string before = randomBytes(8 * 1024 * 1024, 31);
    const std::string after = randomBytes(before.size(), 32);
    const auto publish = [&](const std::string& content) {
      if (withManifest)
        serveWithManifest(sync, {{"big.MPQ", content}});
      else
        sync.serve("big.MPQ", content);
    };
    publish(before);
    const fs::file_time_type time = fs::last_write_time(sync.patchTree / "big.MPQ");
    sync.start("game", false);
    stopAtTheFirstBlock(sync);
    ASSERT_EQ(sync.install(), FlowResult{FlowEnd::Stopped}) << sync.error.toStdString();
    const auto kept = static_cast<int64_t>(fs::file_size(copyOf(sync, "big.MPQ")));
    ASSERT_GT(kept, 0);

    publish(after);
    fs::last_write_time(sync.patchTree / "big.MPQ", time);
    sync.observer.lines.clear();
    EXPECT_EQ(sync.install(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();

    EXPECT_TRUE(readBytes(sync.local("big.MPQ")) == after);
    EXPECT_EQ(resumedAt(sync.observer.lines, "big.MPQ"), withManifest ? kept : -1);
    EXPECT_EQ(sync.observer.logHas("fetching it once more"), withManifest);
    EXPECT_TRUE(partialCopiesIn(sync.local("")).empty());
  }
}

struct CopyCase {
  const char* what;
  int64_t copyLength;  // of the server file's first bytes; past its end, other bytes
  // The record beside the copy: none, as the server's file is, or with
  // this much added to its size and time.
  std::optional<std::pair<int64_t, int64_t>> recordChange;
  bool damagedRecord;
  bool resumed;
};

const CopyCase kCopies[] = {
    {"copy of the file as it is", 300'000, std::pair{0, 0}, false, true},
    {"copy already whole", 1'000'000, std::pair{0, 0}, false, true},
    {"file modified since", 300'000, std::pair{0, -60}, false, false},
    {"file of another size since", 300'000, std::pair{1, 0}, false, false},
    {"copy longer than the file", 1'000'001, std::pair{0, 0}, false, false},
    {"damaged record", 300'000, std::nullopt, true, false},
    {"no record", 300'000, std::nullopt, false, false},
};

// Whatever a crash or an older run left beside the file, the update ends
// with the server's file, byte for byte, and no copy left behind.
TEST_F(ResumeTest, UpdateGoesOnOnlyFromACopyOfTheServersFileAsItIs) {
  EngineHarness sync;
  const std::string content = randomBytes(1'000'000, 25);
  serveWithManifest(sync, {{"Data/a.MPQ", content}});
  sync.start("game", true);
  const partial_copy::Source served = serverVersion(sync, "Data/a.MPQ");
  for (const CopyCase& c : kCopies) {
    SCOPED_TRACE(c.what);
    fs::remove(sync.local("Data/a.MPQ"));
    std::string copy = content.substr(0, c.copyLength);
    copy.resize(c.copyLength, 'x');
    writeBytes(copyOf(sync, "Data/a.MPQ"), copy);
    if (c.recordChange)
      writeBytes(recordOf(sync, "Data/a.MPQ"),
                 partial_copy::recordText({served.size + c.recordChange->first,
                                           served.modified + c.recordChange->second})
                     .toStdString());
    if (c.damagedRecord) writeBytes(recordOf(sync, "Data/a.MPQ"), "partial copy of a\n");
    sync.observer.lines.clear();

    EXPECT_EQ(sync.update(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
    EXPECT_TRUE(readBytes(sync.local("Data/a.MPQ")) == content);
    EXPECT_EQ(resumedAt(sync.observer.lines, "Data/a.MPQ"), c.resumed ? c.copyLength : -1);
    EXPECT_EQ(sync.engine().progress().fetched(),
              c.resumed ? served.size - c.copyLength : served.size);
    EXPECT_TRUE(partialCopiesIn(sync.local("")).empty());
  }
}

// The copies are the game folder's own files: links in their place, even to
// a copy that would fit, are replaced and never written through.
TEST_F(ResumeTest, LinksInThePlaceOfACopyAndItsRecordAreNotFollowed) {
  EngineHarness sync;
  const std::string content = randomBytes(1'000'000, 28);
  sync.serve("a.MPQ", content);
  sync.start("game", true);
  const fs::path outsideCopy = sync.path("outside.part").toStdString();
  const fs::path outsideRecord = sync.path("outside.source").toStdString();
  writeBytes(outsideCopy, content.substr(0, 300'000));
  const std::string record = partial_copy::recordText(serverVersion(sync, "a.MPQ")).toStdString();
  writeBytes(outsideRecord, record);
  std::error_code noLinks;
  fs::create_symlink(outsideCopy, copyOf(sync, "a.MPQ"), noLinks);
  if (noLinks) GTEST_SKIP() << "this system makes no symbolic links: " << noLinks.message();
  fs::create_symlink(outsideRecord, recordOf(sync, "a.MPQ"));

  EXPECT_EQ(sync.update(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
  EXPECT_TRUE(readBytes(sync.local("a.MPQ")) == content);
  EXPECT_EQ(resumedAt(sync.observer.lines, "a.MPQ"), -1);
  EXPECT_TRUE(readBytes(outsideCopy) == content.substr(0, 300'000));
  EXPECT_EQ(readBytes(outsideRecord), record);
  EXPECT_TRUE(partialCopiesIn(sync.local("")).empty());
}

// Once the whole tree is listed, the partial copies of files the server no
// longer lists go, in every folder the walk listed, and so do the copies of
// earlier versions' naming. The copy of a file still listed stays, nothing
// is removed through a link, and nothing of the player's goes, however like
// a copy its name looks.
TEST_F(ResumeTest, UpdateRemovesTheCopiesOfFilesNoLongerListedAndNothingElse) {
  EngineHarness sync;
  sync.serve("Data/gone.MPQ", randomBytes(8 * 1024 * 1024, 32));
  sync.start("game", false);
  stopAtTheFirstBlock(sync);
  ASSERT_EQ(sync.install(), FlowResult{FlowEnd::Stopped}) << sync.error.toStdString();
  ASSERT_TRUE(fs::exists(copyOf(sync, "Data/gone.MPQ")));
  ASSERT_TRUE(fs::exists(recordOf(sync, "Data/gone.MPQ")));

  // The server drops the file and publishes others.
  fs::remove(sync.patchTree / "Data/gone.MPQ");
  sync.serve("Data/new.MPQ", "new file");
  sync.serve("kept.MPQ", "kept file");
  const std::map<std::string, std::string> stays = {
      // A copy of a file still listed, whose fetch may go on from it.
      {partial_copy::copyName("kept.MPQ").toStdString(), "kept"},
      {partial_copy::recordName("kept.MPQ").toStdString(), "record"},
      // The player's own files.
      {".quorrel-notes.txt", "notes"},
      {".quorrel-1234-1.part.bak", "backup"},
      {"Data/.quorrel-12-x.part", "mine"},
      // An old-style copy in a folder the walk does not list.
      {"Screenshots/.quorrel-5-5.part", "not walked"},
  };
  for (const auto& [relative, content] : stays) writeBytes(sync.local(relative), content);
  const std::vector<std::string> goes = {".quorrel-1234-1.part", "Data/.quorrel-99-7.part"};
  for (const std::string& relative : goes) writeBytes(sync.local(relative), "old-style copy");
  writeBytes(sync.local("kept.MPQ"), "kept file");  // up to date: not fetched
  const fs::path outside = sync.path("outside.bin").toStdString();
  writeBytes(outside, "outside");
  const fs::path link = copyOf(sync, "Data/other.MPQ");
  std::error_code noLinks;
  fs::create_symlink(outside, link, noLinks);

  sync.start("game", true);
  EXPECT_EQ(sync.update(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
  EXPECT_EQ(sync.observer.filesStarted, QStringList{"Data/new.MPQ"});
  EXPECT_EQ(readBytes(sync.local("Data/new.MPQ")), "new file");
  EXPECT_FALSE(fs::exists(copyOf(sync, "Data/gone.MPQ")));
  EXPECT_FALSE(fs::exists(recordOf(sync, "Data/gone.MPQ")));
  for (const std::string& relative : goes)
    EXPECT_FALSE(fs::exists(sync.local(relative))) << relative;
  for (const auto& [relative, content] : stays)
    EXPECT_EQ(readBytes(sync.local(relative)), content) << relative;
  if (!noLinks) {
    EXPECT_FALSE(fs::is_symlink(link));
    EXPECT_EQ(readBytes(outside), "outside");
  }
  EXPECT_EQ(partialCopiesIn(sync.local("")).size(), 2u) << "the copy of kept.MPQ and its record";
}

// A hard link at a copy's name, to a file of the player's that would pass
// for the copy, is not gone on with: that would write into the other file.
// The fetch starts from byte 0 in a copy of its own; the other file keeps
// every byte.
TEST_F(ResumeTest, HardLinkInThePlaceOfACopyIsNotWrittenThrough) {
  EngineHarness sync;
  const std::string content = randomBytes(1'000'000, 31);
  sync.serve("a.MPQ", content);
  sync.start("game", true);
  const fs::path other = sync.path("other.bin").toStdString();
  const std::string otherBytes = content.substr(0, 300'000);
  writeBytes(other, otherBytes);
  writeBytes(recordOf(sync, "a.MPQ"),
             partial_copy::recordText(serverVersion(sync, "a.MPQ")).toStdString());
  std::error_code noLinks;
  fs::create_hard_link(other, copyOf(sync, "a.MPQ"), noLinks);
  if (noLinks) GTEST_SKIP() << "this system makes no hard links: " << noLinks.message();

  EXPECT_EQ(sync.update(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
  EXPECT_TRUE(readBytes(sync.local("a.MPQ")) == content);
  EXPECT_EQ(resumedAt(sync.observer.lines, "a.MPQ"), -1);
  EXPECT_EQ(sync.engine().progress().fetched(), static_cast<int64_t>(content.size()));
  EXPECT_TRUE(readBytes(other) == otherBytes) << "the other file keeps its bytes";
  EXPECT_EQ(fs::hard_link_count(other), 1u);
  EXPECT_TRUE(partialCopiesIn(sync.local("")).empty());
}

// A folder at the name of a copy or of its record would fail every fetch of
// the file: the error names it, for the player to remove it.
TEST_F(ResumeTest, FolderInThePlaceOfACopyIsNamedInTheError) {
  EngineHarness sync;
  sync.serve("Data/a.MPQ", "game file");
  sync.start("game", true);
  for (const fs::path& blocked : {copyOf(sync, "Data/a.MPQ"), recordOf(sync, "Data/a.MPQ")}) {
    SCOPED_TRACE(blocked.string());
    fs::create_directories(blocked / "inside");

    EXPECT_EQ(sync.update(), std::nullopt);
    const QString path = QDir::toNativeSeparators(QString::fromStdU16String(blocked.u16string()));
    EXPECT_TRUE(sync.error.contains(path + " is a folder")) << sync.error.toStdString();
    EXPECT_FALSE(fs::exists(sync.local("Data/a.MPQ")));
    EXPECT_TRUE(fs::is_directory(blocked / "inside")) << "the player's to remove";
    fs::remove_all(blocked);
  }
  EXPECT_EQ(sync.update(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
  EXPECT_EQ(readBytes(sync.local("Data/a.MPQ")), "game file");
}

// A server that lists a file under a copy's name cannot have it taken for,
// or written over, the copy of another file.
TEST_F(ResumeTest, ServerFilesUnderACopysNameAreSkipped) {
  EngineHarness sync;
  const std::string copyName = partial_copy::copyName("a.MPQ").toStdString();
  sync.serve("a.MPQ", "game file");
  sync.serve(copyName, "not a copy");
  sync.start("game", false);

  EXPECT_EQ(sync.install(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
  EXPECT_EQ(readBytes(sync.local("a.MPQ")), "game file");
  EXPECT_FALSE(fs::exists(sync.local(copyName)));
  EXPECT_TRUE(sync.observer.logHas("the launcher keeps its partial copies under such names"))
      << sync.observer.logText();
}

// An install of a 32 MiB file whose server dies once the first bytes have
// arrived; what the server does next is up to the sleeper's hook.
struct InstallLosingItsServer {
  explicit InstallLosingItsServer(unsigned seed) {
    sync.serve("big.MPQ", randomBytes(32 * 1024 * 1024, seed));
    sync.start("game", false);
    sync.observer.once([this] { return sync.engine().progress().done() > 0; },
                       [this] { sync.server.stop(); });
  }
  EngineHarness sync;
};

// A server that stays down after its crash is tried again three times; then
// the fetch's failure ends the flow, and only the file's hidden partial copy
// and its record are left beside the old file.
TEST_F(ResumeTest, ServerDyingInTheMiddleOfAFileKeepsTheOldFile) {
  EngineHarness sync;
  sync.serve("big.MPQ", randomBytes(96 * 1024 * 1024, 7));
  sync.start("game", true);
  writeBytes(sync.local("big.MPQ"), "the old version");
  sync.observer.once([&] { return sync.engine().progress().done() > 0; },
                     [&] { sync.server.stop(); });

  EXPECT_EQ(sync.update(), std::nullopt);
  EXPECT_TRUE(sync.error.startsWith("qsftp_getfile: Error")) << sync.error.toStdString();
  EXPECT_EQ(readBytes(sync.local("big.MPQ")), "the old version");
  EXPECT_EQ(sync.observer.retries,
            (std::vector<Retry>{{2, 4, seconds(2)}, {3, 4, seconds(5)}, {4, 4, seconds(15)}}))
      << sync.observer.logText();
  EXPECT_EQ(retryWaitTime(sync.sleeper), milliseconds(2000 + 5000 + 15000));
  EXPECT_EQ(entriesIn(sync.local("")), 4) << "WoW.exe, big.MPQ, its partial copy and its record";
  EXPECT_TRUE(fs::exists(copyOf(sync, "big.MPQ")));
  EXPECT_TRUE(fs::exists(recordOf(sync, "big.MPQ")));
}

// A login the server refuses after the connection was lost is no lost
// connection: the flow ends there, with the fetch's partial copy kept.
TEST_F(ResumeTest, RefusedLoginAfterALostConnectionIsNotTriedAgain) {
  InstallLosingItsServer install(26);
  EngineHarness& sync = install.sync;
  sync.sleeper.onSleep = [&] {
    if (sync.server.running()) return;
    SshdServer::Options noPasswords;
    noPasswords.password = false;
    sync.server.restart(noPasswords);
  };

  EXPECT_EQ(sync.install(), std::nullopt);
  EXPECT_TRUE(sync.error.startsWith("qsftp_connect: Error")) << sync.error.toStdString();
  EXPECT_EQ(sync.observer.retries, (std::vector<Retry>{{2, 4, seconds(2)}}))
      << sync.observer.logText();
  EXPECT_EQ(retryWaitTime(sync.sleeper), milliseconds(2000));
  EXPECT_FALSE(fs::exists(sync.local("big.MPQ")));
  EXPECT_GT(fs::file_size(copyOf(sync, "big.MPQ")), 0u);
}

// A stop while the flow waits to try again (the player's close, taken at the
// wait's next turn) ends the wait at once.
TEST_F(ResumeTest, StopDuringTheWaitEndsItAtOnce) {
  InstallLosingItsServer install(27);
  EngineHarness& sync = install.sync;
  bool stopAsked = false;
  sync.sleeper.onSleep = [&] {
    if (retryWaitTime(sync.sleeper) == milliseconds(0) || stopAsked) return;
    stopAsked = true;
    sync.observer.once([] { return true; }, [&] { sync.engine().stop(); });
  };

  EXPECT_EQ(sync.install(), FlowResult{FlowEnd::Stopped}) << sync.error.toStdString();
  EXPECT_EQ(retryWaitTime(sync.sleeper), milliseconds(100));
  EXPECT_EQ(sync.observer.retries, (std::vector<Retry>{{2, 4, seconds(2)}}));
  EXPECT_GT(fs::file_size(copyOf(sync, "big.MPQ")), 0u);
}

// A fetch that goes on from a partial copy is checked against the manifest
// over the whole file: a copy spoilt since it was written (a bad sector, say:
// one byte of the kept ones, its length and record as they were) is caught,
// discarded rather than gone on with again, and the file fetched whole.
TEST_F(ResumeTest, ResumedFetchFromASpoiltPartialCopyIsCaughtAndFetchedWhole) {
  EngineHarness sync;
  const std::string content = randomBytes(24 * 1024 * 1024, 29);
  const auto size = static_cast<int64_t>(content.size());
  serveWithManifest(sync, {{"big.MPQ", content}});
  sync.start("game", false);
  stopAtTheFirstBlock(sync);
  ASSERT_EQ(sync.install(), FlowResult{FlowEnd::Stopped}) << sync.error.toStdString();
  const fs::path copy = copyOf(sync, "big.MPQ");
  ASSERT_TRUE(fs::exists(copy));
  const auto kept = static_cast<int64_t>(fs::file_size(copy));
  ASSERT_GT(kept, 0);
  ASSERT_LT(kept, size);
  const std::string record = readBytes(recordOf(sync, "big.MPQ"));
  std::string spoilt = readBytes(copy);
  spoilt[kept / 2] ^= 0x10;
  writeBytes(copy, spoilt);

  sync.start("game", false);  // the launcher started again
  EXPECT_EQ(sync.install(), (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();

  EXPECT_TRUE(readBytes(sync.local("big.MPQ")) == content);
  EXPECT_EQ(record, partial_copy::recordText(serverVersion(sync, "big.MPQ")).toStdString());
  const QStringList& log = sync.observer.lines;
  EXPECT_EQ(resumedAt(log, "big.MPQ"), kept);
  EXPECT_EQ(log.filter("Going on with big.MPQ").size(), 1)
      << "the spoilt copy is not gone on with twice:\n"
      << sync.observer.logText();
  EXPECT_EQ(log.count("big.MPQ does not match the patch server's manifest; fetching it once more"),
            1);
  // The rest of the copy, then the whole file from its first byte.
  const FlowProgress& progress = sync.engine().progress();
  EXPECT_EQ(progress.fetched(), (size - kept) + size);
  EXPECT_EQ(progress.done(), 2 * size);
  EXPECT_EQ(progress.total(), 2 * size) << "the flow ends with all its bytes done";
  EXPECT_TRUE(partialCopiesIn(sync.local("")).empty());
}

// A mismatch is no lost connection, and a connection lost during the fetch
// once more that follows it is tried again as any other: the fetch goes on
// from that fetch's own copy. One mismatch is all a file is allowed, however
// many connections its fetches take.
TEST_F(ResumeTest, ConnectionLostDuringTheFetchAfterAMismatchIsTriedAgain) {
  const std::string published = randomBytes(48 * 1024 * 1024, 30);
  const auto size = static_cast<int64_t>(published.size());
  const QString mismatch = "big.MPQ does not match the patch server's manifest";
  for (const bool repaired : {true, false}) {
    SCOPED_TRACE(repaired ? "the server's file repaired after the first fetch" : "still spoilt");
    EngineHarness sync;
    serveWithManifest(sync, {{"big.MPQ", published}});
    sync.serve("big.MPQ", withOneByteFlipped(published));
    sync.start("game", false);
    // A new file in the old one's place: the first fetch's open file keeps its bytes.
    if (repaired)
      sync.observer.once([&] { return sync.engine().progress().done() >= size; },
                         [&] {
                           sync.serve("big.MPQ.new", published);
                           fs::rename(sync.patchTree / "big.MPQ.new", sync.patchTree / "big.MPQ");
                         });
    sync.observer.once([&] { return sync.engine().progress().done() > size + size / 3; },
                       [&] { sync.server.stop(); });
    sync.sleeper.onSleep = [&] {
      if (!sync.server.running()) sync.server.restart();
    };
    const std::optional<FlowResult> result = sync.install();

    EXPECT_EQ(sync.observer.lines.count(mismatch + "; fetching it once more"), 1)
        << sync.observer.logText();
    EXPECT_EQ(sync.observer.retries, (std::vector<Retry>{{2, 4, seconds(2)}}));
    EXPECT_GT(resumedAt(sync.observer.lines, "big.MPQ"), size / 3);
    EXPECT_EQ(sync.engine().progress().done(), 2 * size);
    EXPECT_TRUE(partialCopiesIn(sync.local("")).empty());
    if (repaired) {
      EXPECT_EQ(result, (FlowResult{FlowEnd::Done, true})) << sync.error.toStdString();
      EXPECT_TRUE(readBytes(sync.local("big.MPQ")) == published);
      // The spoilt file whole, then the published one with what the crash cut short.
      EXPECT_GE(sync.engine().progress().fetched(), 2 * size);
      EXPECT_LE(sync.engine().progress().fetched(), 2 * size + size / 100);
    } else {
      EXPECT_EQ(result, std::nullopt);
      EXPECT_EQ(sync.error, mismatch);
      EXPECT_FALSE(fs::exists(sync.local("big.MPQ")));
    }
  }
}

}  // namespace
}  // namespace quorrel::testing
