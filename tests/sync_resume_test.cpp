// Fetches that stop and go on: a lost connection is tried again and the file
// resumed from its partial copy, also in a later run of the launcher, and
// checked against the manifest over the whole file.
#include <sys/stat.h>

#include <QProcess>
#include <QTimer>
#include <csignal>
#include <map>
#include <sstream>

#include "partial_copy.h"
#include "sync_harness.h"

namespace quorrel::testing {
namespace {

using std::chrono::milliseconds;

class ResumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SshdServer::available()) << "these tests run a real sshd and need root";
  }
};

// Runs `act` once from the window's event loop, as soon as `condition` holds:
// in the middle of a flow, since a flow gives the window its turn.
void once(QTimer& watcher, std::function<bool()> condition, std::function<void()> act) {
  QObject::connect(&watcher, &QTimer::timeout, [&watcher, condition, act] {
    if (!condition()) return;
    watcher.stop();
    act();
  });
  watcher.start(0);
}

// The flow's pauses, through which the test acts while the flow waits.
struct HookedSleeper : FakeSleeper {
  // The time the flow waited before its tries: all but the pauses before each fetch.
  milliseconds retryWaits() const {
    milliseconds sum{0};
    for (const milliseconds slept : sleeps)
      if (slept != milliseconds(250)) sum += slept;
    return sum;
  }
};

QString logOf(const TForm1& form) {
  return form.Memo1.join('\n');
}

// The bytes that came from the server in the flow's tries, as the flow counts them.
int64_t fetchedBytes(const TForm1& form) {
  for (const QString& line : form.Memo1)
    if (line.startsWith("Fetched ")) return line.section(' ', 1, 1).toLongLong();
  ADD_FAILURE() << "no count of fetched bytes in the log:\n" << logOf(form).toStdString();
  return -1;
}

// Where the flow went on with `relative`, or -1 when it fetched it from the start.
int64_t resumedAt(const TForm1& form, const QString& relative) {
  const QString prefix = "Going on with " + relative + " at byte ";
  for (const QString& line : form.Memo1)
    if (line.startsWith(prefix)) return line.mid(prefix.size()).section(' ', 0, 0).toLongLong();
  return -1;
}

fs::path copyOf(const SyncHarness& sync, const std::string& relative) {
  const fs::path target = sync.local(relative);
  return target.parent_path() /
         partial_copy::copyName(QByteArray::fromStdString(target.filename().string()))
             .toStdString();
}

fs::path recordOf(const SyncHarness& sync, const std::string& relative) {
  const fs::path target = sync.local(relative);
  return target.parent_path() /
         partial_copy::recordName(QByteArray::fromStdString(target.filename().string()))
             .toStdString();
}

// The game folder's entries that are partial copies or their records.
std::vector<std::string> partialCopiesIn(const fs::path& folder) {
  std::vector<std::string> found;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder))
    if (partial_copy::isPartialCopyName(
            QByteArray::fromStdString(entry.path().filename().string())))
      found.push_back(entry.path().string());
  return found;
}

// The size and time that the server's own system gives the file.
partial_copy::Source serverVersion(const SyncHarness& sync, const std::string& relative) {
  const CommandResult stat =
      runCommand({"stat", "-c", "%s %Y", (sync.patchTree / relative).string()});
  EXPECT_EQ(stat.exitCode, 0) << stat.err;
  int64_t size = -1;
  int64_t modified = -1;
  std::istringstream(stat.out) >> size >> modified;
  return {size, modified};
}

// The server crashes in the middle of a large file and is back for the third
// try: the flow waits, connects again, and fetches only the rest of the file.
TEST_F(ResumeTest, ServerBackAfterACrashGetsOnlyTheRestOfTheFileFetched) {
  SyncHarness sync;
  const std::string content = randomBytes(48 * 1024 * 1024, 21);
  const auto size = static_cast<int64_t>(content.size());
  sync.serve("Data/big.MPQ", content);
  HookedSleeper sleeper;
  sync.harness.windowSleeper = &sleeper;
  TForm1& form = sync.start("game", false);
  QTimer crash;
  once(
      crash, [&] { return form.downloaded_bytes > size / 3; }, [&] { sync.server.stop(); });
  sleeper.onSleep = [&] {
    if (!sync.server.running() && sync.status().contains("(try 3 of 4)")) sync.server.restart();
  };
  std::vector<int64_t> done;
  QTimer sampler;
  QObject::connect(&sampler, &QTimer::timeout, [&] { done.push_back(form.downloaded_bytes); });
  sampler.start(0);
  sync.clickInstall();
  sampler.stop();

  EXPECT_TRUE(sync.harness.messageBox.errors.empty())
      << sync.harness.messageBox.errorTexts().join('|').toStdString();
  EXPECT_EQ(sync.status(), "Ready to play!");
  EXPECT_TRUE(readBytes(sync.local("Data/big.MPQ")) == content);
  const QString log = logOf(form);
  EXPECT_TRUE(log.contains("Connection lost; trying again in 2 s (try 2 of 4)"))
      << log.toStdString();
  EXPECT_TRUE(log.contains("Connection lost; trying again in 5 s (try 3 of 4)"));
  EXPECT_FALSE(log.contains("(try 4 of 4)"));
  EXPECT_EQ(sleeper.retryWaits(), milliseconds(2000 + 5000));
  EXPECT_GT(resumedAt(form, "Data/big.MPQ"), size / 3);
  // The bytes before the crash are not fetched again.
  EXPECT_GE(fetchedBytes(form), size);
  EXPECT_LE(fetchedBytes(form), size + size / 100);
  // The bar never went back, and ends at the file's size.
  EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
  EXPECT_EQ(form.downloaded_bytes, size);
  EXPECT_TRUE(partialCopiesIn(sync.local("")).empty());
}

// A launcher closed (or killed) in the middle of a file leaves its partial
// copy; started again, it fetches only the rest.
TEST_F(ResumeTest, InstallStoppedInTheMiddleOfAFileGoesOnFromItsPartialCopyNextTime) {
  SyncHarness sync;
  const std::string content = randomBytes(24 * 1024 * 1024, 22);
  const auto size = static_cast<int64_t>(content.size());
  sync.serve("big.MPQ", content);
  TForm1& first = sync.start("game", false);
  QTimer closer;
  once(
      closer, [&] { return first.downloaded_bytes > 0; }, [&] { first.exit->click(); });
  sync.clickInstall();
  ASSERT_EQ(sync.harness.application.quitRequests, 1);
  EXPECT_TRUE(sync.harness.messageBox.errors.empty());

  EXPECT_FALSE(fs::exists(sync.local("big.MPQ")));
  const fs::path copy = copyOf(sync, "big.MPQ");
  ASSERT_TRUE(fs::exists(copy));
  const auto kept = static_cast<int64_t>(fs::file_size(copy));
  ASSERT_GT(kept, 0);
  ASSERT_LT(kept, size);
  EXPECT_TRUE(readBytes(copy) == content.substr(0, kept));
  EXPECT_TRUE(fs::exists(recordOf(sync, "big.MPQ")));

  TForm1& second = sync.start("game", false);  // the launcher started again
  sync.clickInstall();

  EXPECT_EQ(sync.status(), "Ready to play!");
  EXPECT_TRUE(sync.harness.messageBox.questions.empty()) << "a partial copy is no player's file";
  EXPECT_TRUE(readBytes(sync.local("big.MPQ")) == content);
  EXPECT_EQ(resumedAt(second, "big.MPQ"), kept);
  EXPECT_EQ(fetchedBytes(second), size - kept);
  EXPECT_EQ(second.downloaded_bytes, size);
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
  SyncHarness sync;
  const std::string content = randomBytes(32 * 1024 * 1024, 29);
  const auto size = static_cast<int64_t>(content.size());
  sync.serve("Data/big.MPQ", content);
  sync.game = sync.harness.makeFolder("game", false);
  QProcess first;
  // What the killed launcher leaves in its temporary folder goes with the test's.
  const QString scratch = sync.harness.path("first-launcher");
  QDir().mkpath(scratch);
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("TMPDIR", scratch);
  first.setProcessEnvironment(environment);
  first.setProcessChannelMode(QProcess::ForwardedChannels);
  // Capped, so that the test finds it in the middle of the file on any machine.
  const QString speedLimitKiB = "4096";
  first.start(SYNC_CHILD, {"install-until-killed", QString::fromStdString(sync.server.host()),
                           QString::number(sync.server.port()), sync.remoteRoot(), sync.game,
                           QString::fromStdString(sync.dataHome.string()), speedLimitKiB});
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

  TForm1& second = sync.start("game", false);  // the launcher started again
  sync.clickInstall();

  EXPECT_TRUE(sync.harness.messageBox.errors.empty())
      << sync.harness.messageBox.errorTexts().join('|').toStdString();
  EXPECT_EQ(sync.status(), "Ready to play!");
  EXPECT_TRUE(readBytes(sync.local("Data/big.MPQ")) == content);
  EXPECT_EQ(resumedAt(second, "Data/big.MPQ"), kept);
  EXPECT_EQ(fetchedBytes(second), size - kept);
  EXPECT_EQ(second.downloaded_bytes, size);
  EXPECT_TRUE(partialCopiesIn(sync.local("")).empty());
}
#endif

// A server file that changed after the partial copy began makes the copy
// worthless, even at the same size: it is discarded and the file fetched whole.
TEST_F(ResumeTest, PartialCopyOfAFileChangedSinceIsDiscarded) {
  SyncHarness sync;
  const std::string before = randomBytes(8 * 1024 * 1024, 23);
  sync.serve("big.MPQ", before);
  TForm1& first = sync.start("game", false);
  QTimer closer;
  once(
      closer, [&] { return first.downloaded_bytes > 0; }, [&] { first.exit->click(); });
  sync.clickInstall();
  ASSERT_TRUE(fs::exists(copyOf(sync, "big.MPQ")));

  const std::string after = randomBytes(before.size(), 24);
  sync.serve("big.MPQ", after);
  // Within the same second as the first version: the time must still differ.
  fs::last_write_time(sync.patchTree / "big.MPQ",
                      fs::last_write_time(sync.patchTree / "big.MPQ") + std::chrono::seconds(10));
  TForm1& second = sync.start("game", false);
  sync.clickInstall();

  EXPECT_EQ(sync.status(), "Ready to play!");
  EXPECT_TRUE(readBytes(sync.local("big.MPQ")) == after);
  EXPECT_EQ(resumedAt(second, "big.MPQ"), -1);
  EXPECT_EQ(fetchedBytes(second), static_cast<int64_t>(after.size()));
  EXPECT_TRUE(partialCopiesIn(sync.local("")).empty());
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
  SyncHarness sync;
  const std::string content = randomBytes(1'000'000, 25);
  sync.serve("Data/a.MPQ", content);
  TForm1& form = sync.start("game", true);
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
    form.Memo1.clear();
    QTest::mouseClick(form.startUpdate, Qt::LeftButton);

    EXPECT_EQ(sync.status(), "Update complete. Ready to play!");
    EXPECT_TRUE(readBytes(sync.local("Data/a.MPQ")) == content);
    EXPECT_EQ(resumedAt(form, "Data/a.MPQ"), c.resumed ? c.copyLength : -1);
    EXPECT_EQ(fetchedBytes(form), c.resumed ? served.size - c.copyLength : served.size);
    EXPECT_TRUE(partialCopiesIn(sync.local("")).empty());
  }
}

// The copies are the game folder's own files: links in their place, even to
// a copy that would fit, are replaced and never written through.
TEST_F(ResumeTest, LinksInThePlaceOfACopyAndItsRecordAreNotFollowed) {
  SyncHarness sync;
  const std::string content = randomBytes(1'000'000, 28);
  sync.serve("a.MPQ", content);
  TForm1& form = sync.start("game", true);
  const fs::path outsideCopy = sync.harness.path("outside.part").toStdString();
  const fs::path outsideRecord = sync.harness.path("outside.source").toStdString();
  writeBytes(outsideCopy, content.substr(0, 300'000));
  const std::string record = partial_copy::recordText(serverVersion(sync, "a.MPQ")).toStdString();
  writeBytes(outsideRecord, record);
  std::error_code noLinks;
  fs::create_symlink(outsideCopy, copyOf(sync, "a.MPQ"), noLinks);
  if (noLinks) GTEST_SKIP() << "this system makes no symbolic links: " << noLinks.message();
  fs::create_symlink(outsideRecord, recordOf(sync, "a.MPQ"));
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);

  EXPECT_EQ(sync.status(), "Update complete. Ready to play!");
  EXPECT_TRUE(readBytes(sync.local("a.MPQ")) == content);
  EXPECT_EQ(resumedAt(form, "a.MPQ"), -1);
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
  SyncHarness sync;
  sync.serve("Data/gone.MPQ", randomBytes(8 * 1024 * 1024, 32));
  TForm1& first = sync.start("game", false);
  QTimer closer;
  once(
      closer, [&] { return first.downloaded_bytes > 0; }, [&] { first.exit->click(); });
  sync.clickInstall();
  ASSERT_EQ(sync.harness.application.quitRequests, 1);
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
  const fs::path outside = sync.harness.path("outside.bin").toStdString();
  writeBytes(outside, "outside");
  const fs::path link = copyOf(sync, "Data/other.MPQ");
  std::error_code noLinks;
  fs::create_symlink(outside, link, noLinks);

  TForm1& second = sync.start("game", true);
  QTest::mouseClick(second.startUpdate, Qt::LeftButton);

  EXPECT_EQ(sync.status(), "Update complete. Ready to play!");
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
  SyncHarness sync;
  const std::string content = randomBytes(1'000'000, 31);
  sync.serve("a.MPQ", content);
  TForm1& form = sync.start("game", true);
  const fs::path other = sync.harness.path("other.bin").toStdString();
  const std::string otherBytes = content.substr(0, 300'000);
  writeBytes(other, otherBytes);
  writeBytes(recordOf(sync, "a.MPQ"),
             partial_copy::recordText(serverVersion(sync, "a.MPQ")).toStdString());
  std::error_code noLinks;
  fs::create_hard_link(other, copyOf(sync, "a.MPQ"), noLinks);
  if (noLinks) GTEST_SKIP() << "this system makes no hard links: " << noLinks.message();
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);

  EXPECT_TRUE(sync.harness.messageBox.errors.empty())
      << sync.harness.messageBox.errorTexts().join('|').toStdString();
  EXPECT_EQ(sync.status(), "Update complete. Ready to play!");
  EXPECT_TRUE(readBytes(sync.local("a.MPQ")) == content);
  EXPECT_EQ(resumedAt(form, "a.MPQ"), -1);
  EXPECT_EQ(fetchedBytes(form), static_cast<int64_t>(content.size()));
  EXPECT_TRUE(readBytes(other) == otherBytes) << "the other file keeps its bytes";
  EXPECT_EQ(fs::hard_link_count(other), 1u);
  EXPECT_TRUE(partialCopiesIn(sync.local("")).empty());
}

// A folder at the name of a copy or of its record would fail every fetch of
// the file: the error names it, for the player to remove it.
TEST_F(ResumeTest, FolderInThePlaceOfACopyIsNamedInTheError) {
  SyncHarness sync;
  sync.serve("Data/a.MPQ", "game file");
  TForm1& form = sync.start("game", true);
  for (const fs::path& blocked : {copyOf(sync, "Data/a.MPQ"), recordOf(sync, "Data/a.MPQ")}) {
    SCOPED_TRACE(blocked.string());
    fs::create_directories(blocked / "inside");
    sync.harness.messageBox.errors.clear();
    QTest::mouseClick(form.startUpdate, Qt::LeftButton);

    const QStringList errors = sync.harness.messageBox.errorTexts();
    ASSERT_EQ(errors.size(), 1) << errors.join('|').toStdString();
    const QString path = QDir::toNativeSeparators(QString::fromStdU16String(blocked.u16string()));
    EXPECT_TRUE(errors[0].contains(path + " is a folder")) << errors[0].toStdString();
    EXPECT_FALSE(fs::exists(sync.local("Data/a.MPQ")));
    EXPECT_TRUE(fs::is_directory(blocked / "inside")) << "the player's to remove";
    fs::remove_all(blocked);
  }
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);
  EXPECT_EQ(readBytes(sync.local("Data/a.MPQ")), "game file");
}

// A server that lists a file under a copy's name cannot have it taken for,
// or written over, the copy of another file.
TEST_F(ResumeTest, ServerFilesUnderACopysNameAreSkipped) {
  SyncHarness sync;
  const std::string copyName = partial_copy::copyName("a.MPQ").toStdString();
  sync.serve("a.MPQ", "game file");
  sync.serve(copyName, "not a copy");
  TForm1& form = sync.start("game", false);
  sync.clickInstall();

  EXPECT_EQ(sync.status(), "Ready to play!");
  EXPECT_EQ(readBytes(sync.local("a.MPQ")), "game file");
  EXPECT_FALSE(fs::exists(sync.local(copyName)));
  EXPECT_TRUE(logOf(form).contains("the launcher keeps its partial copies under such names"));
}

// An install of a 32 MiB file whose server dies once the first bytes have
// arrived; what the server does next is up to the sleeper's hook.
struct InstallLosingItsServer {
  explicit InstallLosingItsServer(unsigned seed) {
    sync.serve("big.MPQ", randomBytes(32 * 1024 * 1024, seed));
    sync.harness.windowSleeper = &sleeper;
    form = &sync.start("game", false);
    once(
        crash, [this] { return form->downloaded_bytes > 0; }, [this] { sync.server.stop(); });
  }
  SyncHarness sync;
  HookedSleeper sleeper;
  QTimer crash;
  TForm1* form = nullptr;
};

// A login the server refuses after the connection was lost is no lost
// connection: the flow ends there, with the fetch's partial copy kept.
TEST_F(ResumeTest, RefusedLoginAfterALostConnectionIsNotTriedAgain) {
  InstallLosingItsServer install(26);
  SyncHarness& sync = install.sync;
  HookedSleeper& sleeper = install.sleeper;
  TForm1& form = *install.form;
  sleeper.onSleep = [&] {
    if (sync.server.running()) return;
    SshdServer::Options noPasswords;
    noPasswords.password = false;
    sync.server.restart(noPasswords);
  };
  sync.clickInstall();

  ASSERT_EQ(sync.harness.messageBox.errors.size(), 1u);
  EXPECT_TRUE(sync.harness.messageBox.errors[0].text.startsWith("qsftp_connect: Error"))
      << sync.harness.messageBox.errors[0].text.toStdString();
  const QString log = logOf(form);
  EXPECT_TRUE(log.contains("(try 2 of 4)")) << log.toStdString();
  EXPECT_FALSE(log.contains("(try 3 of 4)"));
  EXPECT_EQ(sleeper.retryWaits(), milliseconds(2000));
  EXPECT_FALSE(fs::exists(sync.local("big.MPQ")));
  EXPECT_GT(fs::file_size(copyOf(sync, "big.MPQ")), 0u);
}

// Closing the launcher while it waits to try again ends the wait at once.
TEST_F(ResumeTest, CloseDuringTheWaitEndsItAtOnce) {
  InstallLosingItsServer install(27);
  SyncHarness& sync = install.sync;
  HookedSleeper& sleeper = install.sleeper;
  TForm1& form = *install.form;
  bool closeAsked = false;
  sleeper.onSleep = [&] {
    if (sleeper.retryWaits() == milliseconds(0) || closeAsked) return;
    closeAsked = true;
    QTimer::singleShot(0, [&] { form.exit->click(); });
  };
  sync.clickInstall();

  EXPECT_EQ(sync.harness.application.quitRequests, 1);
  EXPECT_TRUE(sync.harness.messageBox.errors.empty());
  EXPECT_EQ(sleeper.retryWaits(), milliseconds(100));
  EXPECT_FALSE(logOf(form).contains("(try 3 of 4)"));
  EXPECT_GT(fs::file_size(copyOf(sync, "big.MPQ")), 0u);
}

// A fetch that goes on from a partial copy is checked against the manifest
// over the whole file: a copy spoilt since it was written (a bad sector, say:
// one byte of the kept ones, its length and record as they were) is caught,
// discarded rather than gone on with again, and the file fetched whole.
TEST_F(ResumeTest, ResumedFetchFromASpoiltPartialCopyIsCaughtAndFetchedWhole) {
  SyncHarness sync;
  const std::string content = randomBytes(24 * 1024 * 1024, 29);
  const auto size = static_cast<int64_t>(content.size());
  serveWithManifest(sync, {{"big.MPQ", content}});
  TForm1& first = sync.start("game", false);
  QTimer closer;
  once(
      closer, [&] { return first.downloaded_bytes > 0; }, [&] { first.exit->click(); });
  sync.clickInstall();
  const fs::path copy = copyOf(sync, "big.MPQ");
  ASSERT_TRUE(fs::exists(copy));
  const auto kept = static_cast<int64_t>(fs::file_size(copy));
  ASSERT_GT(kept, 0);
  ASSERT_LT(kept, size);
  const std::string record = readBytes(recordOf(sync, "big.MPQ"));
  std::string spoilt = readBytes(copy);
  spoilt[kept / 2] ^= 0x10;
  writeBytes(copy, spoilt);

  TForm1& second = sync.start("game", false);  // the launcher started again
  sync.clickInstall();

  EXPECT_TRUE(sync.harness.messageBox.errors.empty())
      << sync.harness.messageBox.errorTexts().join('|').toStdString();
  EXPECT_EQ(sync.status(), "Ready to play!");
  EXPECT_TRUE(readBytes(sync.local("big.MPQ")) == content);
  EXPECT_EQ(record, partial_copy::recordText(serverVersion(sync, "big.MPQ")).toStdString());
  EXPECT_EQ(resumedAt(second, "big.MPQ"), kept);
  EXPECT_EQ(second.Memo1.filter("Going on with big.MPQ").size(), 1)
      << "the spoilt copy is not gone on with twice:\n"
      << logOf(second).toStdString();
  EXPECT_EQ(second.Memo1.count("big.MPQ does not match the patch server's manifest; fetching it "
                               "once more"),
            1);
  // The rest of the copy, then the whole file from its first byte.
  EXPECT_EQ(fetchedBytes(second), (size - kept) + size);
  EXPECT_EQ(second.downloaded_bytes, 2 * size);
  EXPECT_EQ(second.progress_fg->width(), 760) << "the bar ends full";
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
    SyncHarness sync;
    serveWithManifest(sync, {{"big.MPQ", published}});
    sync.serve("big.MPQ", withOneByteFlipped(published));
    HookedSleeper sleeper;
    sync.harness.windowSleeper = &sleeper;
    TForm1& form = sync.start("game", false);
    QTimer repair;
    // A new file in the old one's place: the first fetch's open file keeps its bytes.
    once(
        repair, [&] { return repaired && form.downloaded_bytes >= size; },
        [&] {
          sync.serve("big.MPQ.new", published);
          fs::rename(sync.patchTree / "big.MPQ.new", sync.patchTree / "big.MPQ");
        });
    QTimer crash;
    once(
        crash, [&] { return form.downloaded_bytes > size + size / 3; },
        [&] { sync.server.stop(); });
    sleeper.onSleep = [&] {
      if (!sync.server.running()) sync.server.restart();
    };
    sync.clickInstall();

    const QString log = logOf(form);
    EXPECT_EQ(form.Memo1.count(mismatch + "; fetching it once more"), 1) << log.toStdString();
    EXPECT_TRUE(log.contains("Connection lost; trying again in 2 s (try 2 of 4)"));
    EXPECT_FALSE(log.contains("(try 3 of 4)"));
    EXPECT_GT(resumedAt(form, "big.MPQ"), size / 3);
    EXPECT_EQ(form.downloaded_bytes, 2 * size);
    EXPECT_TRUE(partialCopiesIn(sync.local("")).empty());
    if (repaired) {
      EXPECT_TRUE(sync.harness.messageBox.errors.empty())
          << sync.harness.messageBox.errorTexts().join('|').toStdString();
      EXPECT_EQ(sync.status(), "Ready to play!");
      EXPECT_TRUE(readBytes(sync.local("big.MPQ")) == published);
      // The spoilt file whole, then the published one with what the crash cut short.
      EXPECT_GE(fetchedBytes(form), 2 * size);
      EXPECT_LE(fetchedBytes(form), 2 * size + size / 100);
    } else {
      EXPECT_EQ(sync.harness.messageBox.errorTexts(), QStringList{mismatch + "."});
      EXPECT_FALSE(fs::exists(sync.local("big.MPQ")));
    }
  }
}

// The player's speed cap in the settings file is the cap of every flow (which
// passes it to the library); what is no number leaves the speed uncapped.
class SpeedLimitTest : public ResumeTest {};

TEST_F(SpeedLimitTest, SettingReachesTheLibrary) {
  struct LimitCase {
    const char* stored;  // nullptr: no value
    int32_t limit;
  };
  const LimitCase cases[] = {
      {nullptr, 0}, {"0", 0},    {"512", 512}, {" 2048 ", 2048},
      {"fast", 0},  {"-100", 0}, {"1e3", 0},   {"99999999999", 2147483647},
  };
  SyncHarness sync;
  sync.serve("a.MPQ", "game file");
  TForm1& form = sync.start("game", true);
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.stored ? c.stored : "none");
    if (c.stored) sync.harness.storeSetting("SpeedLimit", c.stored);
    QTest::mouseClick(form.startUpdate, Qt::LeftButton);
    EXPECT_EQ(form.engine.request().speedLimitKiB, c.limit);
  }
  EXPECT_TRUE(
      form.Memo1.contains("The SpeedLimit setting \"fast\" is no number of KiB/s; the "
                          "speed is not capped"));
}

}  // namespace
}  // namespace quorrel::testing
