// The fresh install and the patch update of the real window against a real sshd.
#include <QTimer>
#include <algorithm>

#include "game_folder.h"
#include "partial_copy.h"
#include "signing_key.h"
#include "sync_harness.h"

namespace quorrel::testing {
namespace {

const QString kCannotConnect = "Cannot connect to patch server. Try again later.";

// Everything a game tree may hold, and what the server later changes in it.
class SyncScenarioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SshdServer::available()) << "these tests run a real sshd and need root";
  }
};

TEST_F(SyncScenarioTest, InstallFetchesEverythingThenUpdatesFetchOnlyWhatChanged) {
  SyncHarness sync;
  const std::string mebibytes = randomBytes(3 * 1024 * 1024 + 5, 1);
  sync.serve("WoW.exe", "MZ game client");
  sync.serve("Data/Data/x.MPQ", "inner data");
  sync.serve("Data/y.MPQ", mebibytes);
  sync.serve(".../dots.txt", "three dots");
  sync.serve("Größe/ünïcødé.txt", "non-ascii");
  sync.serve("Interface/upload/deep.txt", "same name as the root");
  sync.serve("patch-a.MPQ", randomBytes(2 * 1024 * 1024, 2));
  sync.serve("patch-b.MPQ", randomBytes(4 * 1024 * 1024, 3));
  fs::create_directories(sync.patchTree / "Empty");
  // A link as the server's system makes it.
  ASSERT_EQ(
      runCommand({"ln", "-s", "patch-a.MPQ", (sync.patchTree / "linked.MPQ").string()}).exitCode,
      0);
  // More than 2^31 bytes, sparse on the server.
  {
    std::ofstream(sync.patchTree / "Huge.MPQ").close();
    fs::resize_file(sync.patchTree / "Huge.MPQ", (uint64_t{1} << 31) + 7);
  }
  sync.server.chownToUser(sync.server.dataDir());

  TForm1& form = sync.start("game", false);
  ASSERT_TRUE(form.install->isEnabled());
  sync.clickInstall();

  EXPECT_TRUE(sync.harness.messageBox.errors.empty())
      << sync.harness.messageBox.errorTexts().join("|").toStdString();
  EXPECT_EQ(sync.status(), "Ready to play!");
  EXPECT_TRUE(form.play->isEnabled());
  EXPECT_FALSE(form.install->isVisible());
  EXPECT_EQ(form.progress_fg->width(), 760);
  for (const char* relative :
       {"WoW.exe", "Data/Data/x.MPQ", "Data/y.MPQ", ".../dots.txt", "Größe/ünïcødé.txt",
        "Interface/upload/deep.txt", "patch-a.MPQ", "patch-b.MPQ"})
    EXPECT_TRUE(readBytes(sync.local(relative)) == readBytes(sync.patchTree / utf8Path(relative)))
        << relative;
  EXPECT_TRUE(fs::is_directory(sync.local("Empty")));
  EXPECT_TRUE(readBytes(sync.local("linked.MPQ")) == readBytes(sync.patchTree / "patch-a.MPQ"));
  EXPECT_EQ(fs::file_size(sync.local("Huge.MPQ")), (uint64_t{1} << 31) + 7);
  // After the inner Data returns, the walk is back in the outer one; a link
  // counts with its file's size.
  const QStringList& list = form.remote_file_list;
  EXPECT_TRUE(list.contains(form.remote_root + "/Data/Data/x.MPQ|10"));
  EXPECT_TRUE(list.contains(form.remote_root + "/Data/y.MPQ|" + QString::number(mebibytes.size())));
  EXPECT_TRUE(list.contains(form.remote_root + "/Huge.MPQ|2147483655"));
  EXPECT_TRUE(list.contains(form.remote_root + "/linked.MPQ|2097152"));

  // Nothing has changed: nothing is fetched. A local file of the same size but
  // other content, and files the server does not list, are left alone.
  writeBytes(sync.local("WoW.exe"), "MZ altered by a mod");  // other size: it is fetched
  writeBytes(sync.local("WoW.exe"), std::string("MZ gAme client"));
  writeBytes(sync.local("Screenshots/mine.jpg"), "player's own");
  sync.harness.sleeper.sleeps.clear();
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);
  EXPECT_EQ(sync.status(), "Game up to date. Ready to play!");
  EXPECT_TRUE(sync.harness.sleeper.sleeps.empty());
  EXPECT_EQ(readBytes(sync.local("WoW.exe")), "MZ gAme client");
  EXPECT_EQ(readBytes(sync.local("Screenshots/mine.jpg")), "player's own");

  // The server changes one file's size and adds one: exactly those two are fetched.
  sync.serve("patch-b.MPQ", randomBytes(1024 * 1024, 4));
  sync.serve("Data/new.MPQ", "a new patch");
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);
  EXPECT_EQ(sync.status(), "Update complete. Ready to play!");
  EXPECT_EQ(sync.harness.sleeper.sleeps.size(), 2u);
  EXPECT_TRUE(readBytes(sync.local("patch-b.MPQ")) == readBytes(sync.patchTree / "patch-b.MPQ"));
  EXPECT_EQ(readBytes(sync.local("Data/new.MPQ")), "a new patch");
  EXPECT_EQ(readBytes(sync.local("WoW.exe")), "MZ gAme client");
  EXPECT_TRUE(form.play->isEnabled());
}

// The progress bar shows the share of the bytes to fetch, and the log says so.
TEST_F(SyncScenarioTest, ProgressCountsNewBytesOnceAndEndsAtExactlyAHundred) {
  SyncHarness sync;
  sync.serve("a.MPQ", randomBytes(3 * 1024 * 1024, 5));
  sync.serve("b.MPQ", randomBytes(1024 * 1024 + 1, 6));
  sync.serve("kept.MPQ", "already here");
  TForm1& form = sync.start("game", false);
  writeBytes(sync.local("kept.MPQ"), "already here");
  std::vector<int> widths;
  std::vector<QString> labels;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    widths.push_back(form.progress_fg->width());
    labels.push_back(form.download_progress_percent->text());
  });
  watcher.start(0);
  sync.clickInstall();
  watcher.stop();

  const int64_t total = 3 * 1024 * 1024 + 1024 * 1024 + 1;
  EXPECT_EQ(form.download_total, total);
  EXPECT_EQ(form.downloaded_bytes, total);
  QStringList progress;
  for (const QString& line : form.Memo1)
    if (line.endsWith("/" + QString::number(total))) progress << line;
  ASSERT_GE(progress.size(), 2);
  EXPECT_EQ(progress.last(), QString("%1/%1").arg(total));
  int64_t previous = 0;
  for (const QString& line : progress) {
    const int64_t value = line.section('/', 0, 0).toLongLong();
    EXPECT_GE(value, previous);
    previous = value;
  }
  for (int width : widths) EXPECT_LE(width, 760);
  for (const QString& label : labels)
    EXPECT_LE(label.chopped(label.isEmpty() ? 0 : 1).toInt(), 100);
  EXPECT_EQ(form.progress_fg->width(), 760);
  EXPECT_EQ(form.download_progress_percent->text(), "100%");
  EXPECT_TRUE(form.Memo1.contains("Download " + form.remote_root + "/a.MPQ|3145728"));
}

// The roads that end a flow early.
class SyncFailureTest : public SyncScenarioTest {};

// Clicks the window where Play and Install lie, reaching whichever is on top.
void clickPlayPlace(TForm1& form) {
  const QPoint place = form.play->geometry().center();
  QWidget* onTop = form.childAt(place);
  ASSERT_NE(onTop, nullptr);
  QTest::mouseClick(onTop, Qt::LeftButton, {}, onTop->mapFrom(&form, place));
}

// With the patch server down the game still starts with the files as they are.
TEST_F(SyncFailureTest, ServerDownShowsRedTextAndPlayStartsTheGame) {
  SyncHarness sync;
  TForm1& form = sync.start("game", true);
  sync.server.stop();
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);
  EXPECT_EQ(sync.status(), kCannotConnect);
  EXPECT_EQ(form.connstatus->fontColor(), kRed);
  EXPECT_TRUE(form.play->isEnabled());
  EXPECT_TRUE(sync.harness.messageBox.errors.empty());

  clickPlayPlace(form);
  EXPECT_EQ(sync.harness.shell.openedFiles, QStringList{form.wow_path + "WoW.exe"});
  EXPECT_EQ(sync.harness.application.quitRequests, 1);
}

// A patch server that stops publishing its signed manifest cannot slip in a
// client of its own: the update says why it stopped, and the game already
// there can still be started.
TEST_F(SyncFailureTest, UpdateFromAServerWithoutItsManifestKeepsTheGameAndPlay) {
  SyncHarness sync;
  const SigningKey updateKey;
  sync.harness.config().updatePublicKey = updateKey.publicKey();
  sync.serve("WoW.exe", "MZ substituted client, another size");
  TForm1& form = sync.start("game", true);
  writeBytes(sync.local("WoW.exe"), "MZ game client");
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);
  EXPECT_EQ(sync.status(), "Update refused: the patch server's files are not signed.");
  EXPECT_EQ(form.connstatus->fontColor(), kRed);
  EXPECT_TRUE(form.play->isVisible());
  EXPECT_TRUE(form.play->isEnabled());
  EXPECT_EQ(readBytes(sync.local("WoW.exe")), "MZ game client");
  EXPECT_TRUE(form.Memo1.contains("The patch server publishes no manifest"))
      << form.Memo1.join(QChar('\n')).toStdString();
}

// The support log keeps what the flows did and why one failed, with times.
TEST_F(SyncFailureTest, SupportLogKeepsTheCauseOfAFailureAndTheFilesOfASuccess) {
  SyncHarness sync;
  sync.serve("a.MPQ", "new");
  TForm1& form = sync.start("game", true);
  const int port = sync.server.port();
  sync.server.stop();
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);
  ASSERT_EQ(sync.status(), kCannotConnect);
  SyncHarness again;
  again.serve("a.MPQ", "new");
  TForm1& second = again.start("game", true);
  QTest::mouseClick(second.startUpdate, Qt::LeftButton);
  ASSERT_EQ(again.status(), "Update complete. Ready to play!");

  const QString failed = QString::fromStdString(readBytes(sync.harness.log.file().toStdString()));
  EXPECT_TRUE(failed.contains(QString("Connection refused")) ||
              failed.contains(QString::number(port)))
      << failed.toStdString();
  EXPECT_TRUE(failed.contains(" Status: " + kCannotConnect)) << failed.toStdString();
  const QString succeeded =
      QString::fromStdString(readBytes(again.harness.log.file().toStdString()));
  EXPECT_TRUE(succeeded.contains(" Download " + second.remote_root + "/a.MPQ|3"))
      << succeeded.toStdString();
  EXPECT_FALSE(succeeded.contains(" 3/3\n")) << "progress lines stay in the window's log";
}

// A library that cannot be loaded is a failed connection, not a launcher
// that never lets the player start the game.
TEST_F(SyncFailureTest, MissingLibraryIsAFailedConnectionAndPlayStartsTheGame) {
  SyncHarness sync;
  QsshlibBinding missing("libqsshlib-missing.so");
  sync.harness.sftpLibrary = &missing;
  TForm1& form = sync.start("game", true);
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);

  EXPECT_EQ(sync.status(), kCannotConnect);
  EXPECT_EQ(form.connstatus->fontColor(), kRed);
  EXPECT_TRUE(sync.harness.messageBox.errors.empty());
  EXPECT_TRUE(std::any_of(form.Memo1.begin(), form.Memo1.end(), [](const QString& line) {
    return line.startsWith("External exception C06D007E: ");
  })) << form.Memo1.join('\n').toStdString();
  clickPlayPlace(form);
  EXPECT_EQ(sync.harness.shell.openedFiles, QStringList{form.wow_path + "WoW.exe"});
}

TEST_F(SyncFailureTest, WrongAccountShowsRedTextAndInstallStaysDisabled) {
  SyncHarness sync;
  sync.harness.config().patchAccount = "nope";
  TForm1& form = sync.start("game", false);
  sync.clickInstall();
  EXPECT_EQ(sync.status(), kCannotConnect);
  EXPECT_FALSE(form.install->isEnabled());
  EXPECT_TRUE(form.install->isVisible());
}

TEST_F(SyncFailureTest, ChangedHostKeyIsRefusedAndLogged) {
  SyncHarness sync;
  sync.serve("WoW.exe", "client");
  const std::string otherKey = readBytes(sync.server.clientKeyFile("", false).string() + ".pub");
  writeBytes(sync.dataHome / "qsshlib" / "known_hosts",
             "[127.0.0.1]:" + std::to_string(sync.server.port()) + " " + otherKey);
  TForm1& form = sync.start("game", false);
  sync.clickInstall();
  EXPECT_EQ(sync.status(), kCannotConnect);
  EXPECT_FALSE(fs::exists(sync.local("WoW.exe")));
  const QString fingerprint = QString::fromStdString(sync.server.hostKeyFingerprint("ed25519"));
  EXPECT_TRUE(std::any_of(form.Memo1.begin(), form.Memo1.end(), [&](const QString& line) {
    return line.startsWith(
               QString("Host key of 127.0.0.1 port %1 refused: ").arg(sync.server.port())) &&
           line.contains(fingerprint);
  })) << form.Memo1.join('\n').toStdString();
}

// A first key is taken only when no key is known for the server and the key
// is stored; a refused key is not remembered, so the next attempt is refused too.
struct FirstKeyCase {
  const char* name;
  std::function<void(const fs::path& knownHosts)> prepare;
  std::function<QString(const fs::path& knownHosts)> logged;
};

class FirstKeyTest : public SyncScenarioTest, public ::testing::WithParamInterface<FirstKeyCase> {};

TEST_P(FirstKeyTest, IsRefusedWhenItCannotBeCheckedOrStored) {
  SyncHarness sync;
  sync.serve("WoW.exe", "client");
  const fs::path knownHosts = sync.dataHome / "qsshlib" / "known_hosts";
  fs::create_directories(knownHosts.parent_path());
  GetParam().prepare(knownHosts);
  TForm1& form = sync.start("game", false);
  for (int attempt = 0; attempt < 2; ++attempt) {
    form.Memo1.clear();
    form.installClick(form.install);
    EXPECT_EQ(sync.status(), kCannotConnect);
    EXPECT_EQ(form.connstatus->fontColor(), kRed);
    const QString logged = GetParam().logged(knownHosts);
    EXPECT_TRUE(std::any_of(form.Memo1.begin(), form.Memo1.end(),
                            [&](const QString& line) { return line.contains(logged); }))
        << logged.toStdString() << "\n"
        << form.Memo1.join('\n').toStdString();
  }
  EXPECT_FALSE(fs::exists(sync.local("WoW.exe")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FirstKeyTest,
    ::testing::Values(
        FirstKeyCase{
            "KnownHostsUnreadable",
            [](const fs::path& knownHosts) { fs::create_directory(knownHosts); },
            [](const fs::path&) { return QString("(the file of known keys cannot be read)"); }},
        FirstKeyCase{"KeyNotStorable",
                     [](const fs::path& knownHosts) {
                       runCommand({"ln", "-s",
                                   (knownHosts.parent_path() / "missing" / "known_hosts").string(),
                                   knownHosts.string()});
                     },
                     [](const fs::path& knownHosts) {
                       return QString::fromStdString("Host key refused: it cannot be stored in " +
                                                     knownHosts.string());
                     }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SyncFailureTest, PinnedHostKeysDecideAlone) {
  for (const bool pinnedRight : {false, true}) {
    SyncHarness sync;
    sync.serve("WoW.exe", "client");
    sync.harness.config().hostKeySha256 = {
        pinnedRight ? QString::fromStdString(sync.server.hostKeyFingerprint("ed25519"))
                    : QString("SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA")};
    sync.start("game", false);
    sync.clickInstall();
    EXPECT_EQ(sync.status(), pinnedRight ? QString("Ready to play!") : kCannotConnect);
  }
}

TEST_F(SyncFailureTest, FolderWhereAFileBelongsEndsTheFlowWithTheErrorBox) {
  SyncHarness sync;
  sync.serve("a.MPQ", "a");
  TForm1& form = sync.start("game", false);
  fs::create_directories(sync.local("a.MPQ"));
  sync.clickInstall();
  EXPECT_EQ(sync.harness.messageBox.errorTexts(), QStringList{"File access denied."});
  EXPECT_TRUE(fs::is_directory(sync.local("a.MPQ")));
  EXPECT_FALSE(form.play->isEnabled());
}

// Stops the server, or clicks the close button, once the first block of a file has arrived.
void onFirstBlock(TForm1& form, QTimer& watcher, const std::function<void()>& act) {
  QObject::connect(&watcher, &QTimer::timeout, [&form, &watcher, act] {
    if (form.downloaded_bytes > 0) {
      watcher.stop();
      act();
    }
  });
  watcher.start(0);
}

// While files are fetched, the speed, the bytes and the time left show right
// of the folder path; the line goes when the fetches end.
TEST_F(SyncScenarioTest, TransferRateShowsWhileFilesAreFetched) {
  SyncHarness sync;
  sync.serve("big.MPQ", randomBytes(64 * 1024 * 1024, 14));
  TForm1& form = sync.start("game", false);
  EXPECT_FALSE(form.transfer_rate->isVisible());
  QString shown;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    if (form.transfer_rate->isVisible()) shown = form.transfer_rate->text();
  });
  watcher.start(0);
  sync.clickInstall();
  watcher.stop();

  EXPECT_EQ(sync.status(), "Ready to play!");
  EXPECT_TRUE(shown.contains(" of 67.1 MB")) << shown.toStdString();
  EXPECT_FALSE(form.transfer_rate->isVisible());
  EXPECT_LE(form.transfer_rate->geometry().right() + 1, 40 + 760);
}

class CloseTest : public SyncScenarioTest, public ::testing::WithParamInterface<CloseWay> {};

TEST_P(CloseTest, DuringATransferStopsItQuietlyAndQuits) {
  SyncHarness sync;
  sync.serve("big.MPQ", randomBytes(96 * 1024 * 1024, 8));
  TForm1& form = sync.start("game", false);
  QTimer watcher;
  // A close while the Install click is still being handled: as the player's would.
  onFirstBlock(form, watcher, [&] { closeBy(GetParam(), sync.harness); });
  sync.clickInstall();

  EXPECT_EQ(sync.harness.application.quitRequests, 1);
  EXPECT_TRUE(sync.harness.messageBox.errors.empty());
  EXPECT_FALSE(fs::exists(sync.local("big.MPQ")));
  // Only the hidden partial copy and its record, for the next run to go on from.
  for (const fs::directory_entry& entry : fs::directory_iterator(sync.local("")))
    EXPECT_TRUE(partial_copy::isPartialCopyName(
        QByteArray::fromStdString(entry.path().filename().string())))
        << entry.path();
  EXPECT_LT(form.downloaded_bytes, 96 * 1024 * 1024);
}

// A close that comes before the flow's session exists still stops the flow.
TEST_P(CloseTest, BeforeTheSessionExistsStopsTheFlow) {
  SyncHarness sync;
  sync.serve("a.MPQ", "a");
  sync.start("game", false);
  QTimer::singleShot(0, [&] { closeBy(GetParam(), sync.harness); });
  sync.clickInstall();

  EXPECT_EQ(sync.harness.application.quitRequests, 1);
  EXPECT_TRUE(sync.harness.messageBox.errors.empty());
  EXPECT_FALSE(fs::exists(sync.local("a.MPQ")));
  EXPECT_NE(sync.status(), "Ready to play!");
}

// While the server is silent the window still takes its events: a close
// ends the wait instead of the server's time-out.
TEST_P(CloseTest, DuringAStalledReadEndsTheWait) {
  SyncHarness sync;
  sync.serve("big.MPQ", randomBytes(96 * 1024 * 1024, 10));
  TForm1& form = sync.start("game", true);
  writeBytes(sync.local("big.MPQ"), "the old version");
  QTimer watcher;
  bool closeRanWhileFrozen = false;
  onFirstBlock(form, watcher, [&] {
    sync.server.freeze();
    QTimer::singleShot(300, [&] {
      closeRanWhileFrozen = true;
      closeBy(GetParam(), sync.harness);
    });
  });
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);
  sync.server.thaw();

  EXPECT_TRUE(closeRanWhileFrozen);
  EXPECT_EQ(sync.harness.application.quitRequests, 1);
  EXPECT_TRUE(sync.harness.messageBox.errors.empty());
  EXPECT_EQ(readBytes(sync.local("big.MPQ")), "the old version");
  EXPECT_FALSE(form.Memo1.join('\n').contains("did not answer in time"));
}

std::string closeWayName(const ::testing::TestParamInfo<CloseWay>& info) {
  return nameOf(info.param);
}

INSTANTIATE_TEST_SUITE_P(Ways, CloseTest,
                         ::testing::Values(CloseWay::Button, CloseWay::WindowManager,
                                           CloseWay::SessionEnd),
                         closeWayName);

// The window against the hostile server in one of its modes. The game folder
// lies alone in a folder of its own, so that anything written beside it shows.
class HostileServerTest : public SyncScenarioTest {
 protected:
  static SshdServer::Options serving(const std::string& mode) { return hostileServer(mode); }
};

// A name with a line feed and a terminal escape reaches the support log as
// one line, escaped: it forges no line and drives no terminal. (The engine's
// tests check that the file keeps its name on the disk.)
TEST_F(HostileServerTest, ControlCharactersInNamesReachTheSupportLogEscaped) {
  const std::string name =
      "forged\n2026-01-01T00:00:00.000 Update complete. Ready to play!\x1b[2J.txt";
  SyncHarness sync(serving("control-names"));
  TForm1& form = sync.start("jail/game", false);
  sync.clickInstall();
  EXPECT_EQ(sync.status(), "Ready to play!");
  EXPECT_TRUE(form.Memo1.join('\n').contains(QString::fromStdString(name)))
      << "the window's own log keeps the name's text";

  const QString log = QString::fromStdString(readBytes(sync.harness.log.file().toStdString()));
  EXPECT_FALSE(log.contains('\x1b'));
  EXPECT_FALSE(log.contains('\r'));
  const QStringList lines = log.split('\n', Qt::SkipEmptyParts);
  QStringList naming;
  for (const QString& line : lines) {
    EXPECT_FALSE(line.startsWith("2026-01-01T00:00:00.000")) << line.toStdString();
    if (line.contains("forged")) naming << line;
  }
  ASSERT_FALSE(naming.isEmpty()) << log.toStdString();
  for (const QString& line : naming)
    EXPECT_TRUE(line.contains(
        "forged\\n2026-01-01T00:00:00.000 Update complete. Ready to play!\\x1b[2J.txt"))
        << line.toStdString();
}

// The close button ends a walk that would not end, or not soon, by itself.
struct CloseCase {
  const char* mode;
  std::function<bool(TForm1&)> underWay;
};

class CloseDuringWalkTest : public HostileServerTest,
                            public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseDuringWalkTest, EndsTheFlowQuietlyAndQuits) {
  SyncHarness sync(serving(GetParam().mode));
  TForm1& form = sync.start("jail/game", false);
  form.engine.walkLimits.depth = 100000;  // only the close ends this walk
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    if (GetParam().underWay(form)) {
      watcher.stop();
      form.exit->click();
    }
  });
  watcher.start(0);
  sync.clickInstall();
  EXPECT_FALSE(watcher.isActive());
  EXPECT_EQ(sync.harness.application.quitRequests, 1);
  EXPECT_TRUE(sync.harness.messageBox.errors.empty())
      << sync.harness.messageBox.errorTexts().join("|").toStdString();
  EXPECT_NE(sync.status(), kCannotConnect);
  EXPECT_LT(form.remote_file_list.size(), 100000);
  expectNothingStrayed(sync);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, CloseDuringWalkTest,
    ::testing::Values(CloseCase{"endless-listing",
                                [](TForm1& form) {
                                  const TreeWalk* walk = form.engine.walk();
                                  return walk && walk->fileList().size() >= 5000;
                                }},
                      CloseCase{"deep-tree",
                                [](TForm1& form) {
                                  const TreeWalk* walk = form.engine.walk();
                                  return walk && walk->currentFolder().count('/') >= 100;
                                }}),
    [](const auto& info) { return QString(info.param.mode).remove('-').toStdString(); });

// Closing the launcher while it waits to try again after a lost connection
// ends the wait at once; the status line and the log said what it waited for.
TEST_F(SyncFailureTest, CloseDuringTheWaitToTryAgainEndsItAtOnce) {
  SyncHarness sync;
  sync.serve("big.MPQ", randomBytes(32 * 1024 * 1024, 27));
  TForm1& form = sync.start("game", false);
  QTimer crash;
  onFirstBlock(form, crash, [&] { sync.server.stop(); });
  QString shownDuringTheWait;
  bool closeAsked = false;
  sync.harness.sleeper.onSleep = [&] {
    if (retryWaitTime(sync.harness.sleeper) == std::chrono::milliseconds(0) || closeAsked) return;
    closeAsked = true;
    shownDuringTheWait = sync.status();
    QTimer::singleShot(0, [&] { form.exit->click(); });
  };
  sync.clickInstall();

  EXPECT_EQ(sync.harness.application.quitRequests, 1);
  EXPECT_TRUE(sync.harness.messageBox.errors.empty());
  EXPECT_EQ(retryWaitTime(sync.harness.sleeper), std::chrono::milliseconds(100));
  const QString waiting = "Connection lost; trying again in 2 s (try 2 of 4)";
  EXPECT_EQ(shownDuringTheWait, waiting);
  EXPECT_TRUE(form.Memo1.contains(waiting)) << form.Memo1.join('\n').toStdString();
  EXPECT_FALSE(form.Memo1.join('\n').contains("(try 3 of 4)"));
}

// The player's speed cap in the settings file is the cap of every flow (which
// passes it to the library); what is no number leaves the speed uncapped.
class SpeedLimitTest : public SyncScenarioTest {};

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

TEST_F(SyncFailureTest, OneFlowAtATimeAndTheUpdateWaitsForTheInstall) {
  SyncHarness sync;
  sync.serve("big.MPQ", randomBytes(32 * 1024 * 1024, 9));
  TForm1& form = sync.start("game", false);
  int installClicks = 0;
  QTimer watcher;
  onFirstBlock(form, watcher, [&] {
    ++installClicks;
    form.installClick(form.install);  // a second run while one runs does nothing
    form.updateTimer->setInterval(1);
    form.updateTimer->start();
    QTest::qWait(50);  // its expiry waits for the flow under way
  });
  sync.clickInstall();
  EXPECT_EQ(installClicks, 1);
  EXPECT_EQ(sync.status(), "Ready to play!");
  EXPECT_TRUE(form.updateTimer->isActive());
}

// While a flow runs, Play takes no input, and the flow's end belongs to its
// own folder: a folder chosen meanwhile is checked instead.
TEST_F(SyncFailureTest, PlayIsDisabledDuringAFlowAndAFolderChosenMeanwhileIsChecked) {
  SyncHarness sync;
  sync.serve("big.MPQ", randomBytes(16 * 1024 * 1024, 11));
  TForm1& form = sync.start("game", false);
  const QString other = sync.harness.makeFolder("other", false);
  bool playWasEnabled = true;
  QTimer watcher;
  onFirstBlock(form, watcher, [&] {
    playWasEnabled = form.play->isEnabled();
    sync.harness.dialogs.browserAnswers = {other};
    form.connstatusClick(form.connstatus);
  });
  sync.clickInstall();

  EXPECT_FALSE(playWasEnabled);
  EXPECT_EQ(readBytes(sync.local("big.MPQ")).size(), 16u * 1024 * 1024);
  EXPECT_EQ(form.wow_path, other + QDir::separator());
  EXPECT_NE(sync.status(), "Ready to play!");
  EXPECT_FALSE(form.play->isEnabled());
  EXPECT_TRUE(form.install->isEnabled());
}

// Two launchers never write one folder at once: the second says so and
// keeps Play for the files as they are.
TEST_F(SyncFailureTest, SecondLauncherOnTheSameFolderKeepsPlayAndWritesNothing) {
  SyncHarness sync;
  sync.serve("a.MPQ", "new");
  TForm1& form = sync.start("game", true);
  const std::optional<GameFolderLock> first = GameFolderLock::take(form.wow_path);
  ASSERT_TRUE(first.has_value());
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);

  EXPECT_EQ(sync.status(), "Another launcher is updating this game folder.");
  EXPECT_TRUE(form.play->isEnabled());
  EXPECT_FALSE(fs::exists(sync.local("a.MPQ")));
}

// An install into a folder that already holds files asks first; No leaves it as it was.
TEST_F(SyncFailureTest, InstallIntoAFolderWithFilesAsksFirst) {
  for (const bool yes : {false, true}) {
    SCOPED_TRACE(yes ? "Yes" : "No");
    SyncHarness sync;
    sync.serve("a.MPQ", "game file");
    sync.start("game", false);
    writeBytes(sync.local("notes.txt"), "the player's own");
    sync.harness.messageBox.answerYes = yes;
    sync.clickInstall();

    ASSERT_EQ(sync.harness.messageBox.questions.size(), 1u);
    EXPECT_TRUE(sync.harness.messageBox.questions[0].text.contains("already holds files"));
    EXPECT_EQ(fs::exists(sync.local("a.MPQ")), yes);
    EXPECT_EQ(readBytes(sync.local("notes.txt")), "the player's own");
  }
}

}  // namespace
}  // namespace quorrel::testing
