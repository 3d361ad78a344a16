// The fresh install and the patch update of the real window against a real sshd.
#include <QTimer>
#include <algorithm>

#include "game_folder.h"
#include "memory_rise.h"
#include "partial_copy.h"
#include "sync_harness.h"

namespace quorrel::testing {
namespace {

const QString kCannotConnect = "Cannot connect to patch server. Try again later.";

// What the system says of a full disk and of a disk that takes no writes.
#ifdef _WIN32
const QString kNoSpace = "Disk full";
const QString kReadOnlyDisk = "Access denied";
#else
const QString kNoSpace = "No space left on device";
const QString kReadOnlyDisk = "Read-only file system";
#endif
const char* const kNoBarsOnWindows = "Windows file names cannot hold a bar";

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

TEST_F(SyncFailureTest, LocalFileWhereAFolderBelongsEndsTheWalk) {
  SyncHarness sync;
  sync.serve("Data/a.MPQ", "a");
  TForm1& form = sync.start("game", false);
  writeBytes(sync.local("Data"), "a file, not a folder");
  sync.clickInstall();
  EXPECT_EQ(sync.status(), kCannotConnect);
  EXPECT_EQ(readBytes(sync.local("Data")), "a file, not a folder");
  EXPECT_FALSE(form.play->isEnabled());
  // The player reads the status line; support reads what happened where.
  const QString folder = QDir::toNativeSeparators(sync.game + "/Data");
#ifdef _WIN32
  const QString line = QString("Cannot open the folder %1: ").arg(folder);  // and the system's text
#else
  const QString line = QString("Cannot open the folder %1: Not a directory").arg(folder);
#endif
  EXPECT_TRUE(std::any_of(form.Memo1.begin(), form.Memo1.end(), [&](const QString& logged) {
    return logged.startsWith(line);
  })) << form.Memo1.join('\n').toStdString();
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

// The size follows a line's last "|", so a "|" in a name is only part of the name.
TEST_F(SyncFailureTest, NamesWithABarAreUpdatedLikeAnyOther) {
#ifdef _WIN32
  GTEST_SKIP() << kNoBarsOnWindows;
#endif
  SyncHarness sync;
  sync.serve("we|ird.MPQ", "x");
  sync.serve("p|q", "the file p|q");
  TForm1& form = sync.start("game", true);
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);
  EXPECT_TRUE(sync.harness.messageBox.errors.empty())
      << sync.harness.messageBox.errorTexts().join("|").toStdString();
  EXPECT_EQ(sync.status(), "Update complete. Ready to play!");
  EXPECT_EQ(readBytes(sync.local("we|ird.MPQ")), "x");
  EXPECT_EQ(readBytes(sync.local("p|q")), "the file p|q");
  EXPECT_TRUE(form.play->isEnabled());
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

// A server that stays down after its crash is tried again three times; then
// the fetch's failure ends the flow, and only the file's hidden partial copy
// and its record are left beside the old file.
TEST_F(SyncFailureTest, ServerDyingInTheMiddleOfAFileKeepsTheOldFile) {
  SyncHarness sync;
  sync.serve("big.MPQ", randomBytes(96 * 1024 * 1024, 7));
  TForm1& form = sync.start("game", true);
  writeBytes(sync.local("big.MPQ"), "the old version");
  QTimer watcher;
  onFirstBlock(form, watcher, [&] { sync.server.stop(); });
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);

  EXPECT_EQ(readBytes(sync.local("big.MPQ")), "the old version");
  ASSERT_EQ(sync.harness.messageBox.errors.size(), 1u);
  EXPECT_TRUE(sync.harness.messageBox.errors[0].text.startsWith("qsftp_getfile: Error"))
      << sync.harness.messageBox.errors[0].text.toStdString();
  EXPECT_FALSE(form.play->isEnabled());
  EXPECT_TRUE(form.Memo1.contains("Connection lost; trying again in 15 s (try 4 of 4)"))
      << form.Memo1.join('\n').toStdString();
  EXPECT_EQ(std::distance(fs::directory_iterator(sync.local("")), fs::directory_iterator()), 4);
}

TEST_F(SyncFailureTest, GameFolderDeletedDuringATransferIsLoggedWithItsCause) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows deletes no folder that holds an open file";
#endif
  SyncHarness sync;
  sync.serve("big.MPQ", randomBytes(16 * 1024 * 1024, 10));
  TForm1& form = sync.start("game", false);
  QTimer watcher;
  onFirstBlock(form, watcher, [&] { fs::remove_all(sync.local("")); });
  sync.clickInstall();

  EXPECT_EQ(sync.harness.messageBox.errorTexts(), QStringList{"Invalid filename."});
  EXPECT_TRUE(std::any_of(form.Memo1.begin(), form.Memo1.end(), [&](const QString& line) {
    return line.startsWith("Cannot move " + sync.game + "/.quorrel-") &&
           line.endsWith(sync.game + "/big.MPQ: No such file or directory");
  })) << form.Memo1.join('\n').toStdString();
  EXPECT_FALSE(fs::exists(sync.local("")));
}

// A small disk of the test's own over a folder, gone with the object.
class SmallDisk {
 public:
  SmallDisk(const fs::path& at, bool readOnly) : at_(at) {
    mount({"-t", "tmpfs", "-o", "size=4m,mode=0755", "tmpfs", at_.string()});
    if (readOnly) mount({"-o", "remount,ro", at_.string()});
  }
  ~SmallDisk() { runCommand({"umount", "-l", at_.string()}); }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

 private:
  static void mount(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "mount");
    const CommandResult result = runCommand(arguments);
    if (result.exitCode != 0) throw std::runtime_error("mount failed: " + result.err);
  }
  fs::path at_;
};

// What the disk answers reaches the log as the system said it; the player
// sees the texts of the error box and the status line.
TEST_F(SyncFailureTest, FullDiskIsReportedAsAFullDisk) {
  SyncHarness sync;
  sync.serve("big.MPQ", randomBytes(3 * 1024 * 1024, 11));
  TForm1& form = sync.start("game", true);
  SmallDisk disk(sync.local(""), false);
  writeBytes(sync.local("big.MPQ"), "the old version");
  QTimer watcher;
  onFirstBlock(form, watcher, [&] { writeBytes(sync.local("filler"), std::string(2 << 20, 'f')); });
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);

  EXPECT_EQ(sync.harness.messageBox.errorTexts(), QStringList{"Disk full."});
  EXPECT_TRUE(std::any_of(form.Memo1.begin(), form.Memo1.end(), [&](const QString& line) {
    return line.startsWith("Cannot write " + sync.game + QDir::separator() + ".quorrel-") &&
           line.endsWith(": " + kNoSpace);
  })) << form.Memo1.join('\n').toStdString();
  EXPECT_EQ(readBytes(sync.local("big.MPQ")), "the old version");
  EXPECT_FALSE(form.Memo1.join('\n').contains("trying again")) << "a full disk stays full";
  // The partial copy goes too: the disk gets its space back.
  EXPECT_EQ(std::distance(fs::directory_iterator(sync.local("")), fs::directory_iterator()), 2);
}

// Files that do not fit on the disk are not begun: the status line gives both figures.
TEST_F(SyncFailureTest, FilesThatDoNotFitOnTheDiskAreNotFetched) {
  SyncHarness sync;
  sync.serve("a.MPQ", randomBytes(3 * 1024 * 1024, 12));
  sync.serve("b.MPQ", randomBytes(3 * 1024 * 1024, 13));
  TForm1& form = sync.start("game", true);
  SmallDisk disk(sync.local(""), false);
  writeBytes(sync.local("WoW.exe"), "client");
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);

  EXPECT_TRUE(sync.status().startsWith(
      "Not enough free space on the game folder's disk: 6.3 MB to download, "))
      << sync.status().toStdString();
  EXPECT_EQ(form.connstatus->fontColor(), kRed);
  EXPECT_TRUE(sync.harness.messageBox.errors.empty());
  EXPECT_TRUE(form.play->isEnabled());
  EXPECT_FALSE(fs::exists(sync.local("a.MPQ")));
  EXPECT_FALSE(fs::exists(sync.local("b.MPQ")));
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

TEST_F(SyncFailureTest, ReadOnlyGameFolderKeepsTheStatusTextAndLogsTheCause) {
  SyncHarness sync;
  sync.serve("Data/a.MPQ", "a");
  TForm1& form = sync.start("game", true);
  SmallDisk disk(sync.local(""), true);
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);
  EXPECT_EQ(sync.status(), kCannotConnect);
  EXPECT_TRUE(form.Memo1.contains(QString("Cannot create the folder %1%2Data: %3")
                                      .arg(sync.game, QString(QDir::separator()), kReadOnlyDisk)))
      << form.Memo1.join('\n').toStdString();
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

TEST_F(SyncFailureTest, HostileNamesAreSkippedAndNothingLeavesTheGameFolder) {
  SshdServer::Options options;
  options.sftpServer = HOSTILE_SFTP_SERVER;
  SyncHarness sync(options);
  TForm1& form = sync.start("jail/game", false);
  sync.clickInstall();
  EXPECT_EQ(sync.status(), "Ready to play!");
  EXPECT_EQ(readBytes(sync.local("good.txt")), "hello");
  EXPECT_FALSE(fs::exists(sync.local("../x")));
  EXPECT_FALSE(fs::exists(sync.local("a")));
  EXPECT_EQ(std::distance(fs::directory_iterator(sync.local("..")), fs::directory_iterator()), 1);
  EXPECT_EQ(std::count_if(form.Memo1.begin(), form.Memo1.end(),
                          [](const QString& line) { return line.startsWith("Skipping \""); }),
            2);
}

// The window against the hostile server in one of its modes. The game folder
// lies alone in a folder of its own, so that anything written beside it shows.
class HostileServerTest : public SyncScenarioTest {
 protected:
  static SshdServer::Options serving(const std::string& mode) {
    SshdServer::Options options;
    options.sftpServer = HOSTILE_SFTP_SERVER;
    options.sftpServerArguments = mode;
    return options;
  }
  // Nothing beside the game folder, and no temporary file left in it.
  static void expectNothingStrayed(const SyncHarness& sync) {
    EXPECT_EQ(std::distance(fs::directory_iterator(sync.local("..")), fs::directory_iterator()), 1);
    for (const auto& entry : fs::recursive_directory_iterator(sync.local("")))
      EXPECT_EQ(entry.path().filename().string().rfind(".quorrel-", 0), std::string::npos)
          << entry.path();
  }
  static bool logHas(const TForm1& form, const QString& text) {
    return std::any_of(form.Memo1.begin(), form.Memo1.end(),
                       [&](const QString& line) { return line.contains(text); });
  }
};

TEST_F(HostileServerTest, NamesWithABarAreFetchedWhole) {
#ifdef _WIN32
  GTEST_SKIP() << kNoBarsOnWindows;
#endif
  SyncHarness sync(serving("bars"));
  TForm1& form = sync.start("jail/game", false);
  sync.clickInstall();
  EXPECT_TRUE(sync.harness.messageBox.errors.empty())
      << sync.harness.messageBox.errorTexts().join("|").toStdString();
  EXPECT_EQ(sync.status(), "Ready to play!");
  EXPECT_EQ(readBytes(sync.local("x|5")), "the file x|5");
  EXPECT_EQ(readBytes(sync.local("x")), "plain x");
  EXPECT_EQ(readBytes(sync.local("p|q")), "pq");
  EXPECT_TRUE(form.remote_file_list.contains(form.remote_root + "/x|5|12"));
  expectNothingStrayed(sync);
}

TEST_F(HostileServerTest, LongNamesAreFetchedAndNamesNoDiskHoldsAreSkipped) {
#ifdef _WIN32
  GTEST_SKIP() << "under Wine names end at the Linux disk's 255 bytes, not at Windows' 255 "
                  "UTF-16 units that the launcher checks";
#endif
  SyncHarness sync(serving("long-names"));
  TForm1& form = sync.start("jail/game", false);
  sync.clickInstall();
  EXPECT_TRUE(sync.harness.messageBox.errors.empty())
      << sync.harness.messageBox.errorTexts().join("|").toStdString();
  EXPECT_EQ(sync.status(), "Ready to play!");
  EXPECT_EQ(readBytes(sync.local(std::string(250, 'a'))), "two hundred and fifty");
  EXPECT_EQ(readBytes(sync.local(std::string(255, 'b') + "/inner.txt")), "inside");
  EXPECT_EQ(readBytes(sync.local("good.txt")), "hello");
  EXPECT_EQ(std::distance(fs::directory_iterator(sync.local("")), fs::directory_iterator()), 3);
  EXPECT_EQ(std::count_if(form.Memo1.begin(), form.Memo1.end(),
                          [](const QString& line) { return line.startsWith("Skipping \""); }),
            3);
  EXPECT_TRUE(logHas(form, QString(300, 'c') + "\" in " + form.remote_root +
                               ": the name is too long for the disk"));
  expectNothingStrayed(sync);
}

// A name with a line feed and a terminal escape reaches the support log as
// one line, escaped: it forges no line and drives no terminal. The file keeps
// its name on the disk, and the window's own log its text.
TEST_F(HostileServerTest, ControlCharactersInNamesReachTheSupportLogEscaped) {
  const std::string name =
      "forged\n2026-01-01T00:00:00.000 Update complete. Ready to play!\x1b[2J.txt";
  SyncHarness sync(serving("control-names"));
  TForm1& form = sync.start("jail/game", false);
  sync.clickInstall();
  EXPECT_EQ(readBytes(sync.local("good.txt")), "hello");
#ifndef _WIN32
  EXPECT_EQ(readBytes(sync.local(name)), "forged");  // Windows refuses the name and skips it
#endif
  EXPECT_TRUE(logHas(form, QString::fromStdString(name)));

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

// A file never grows past the size the listing gave it; a server that sends
// more, less, or a size no disk holds fails that file, and the old one stays.
struct SizeCase {
  const char* mode;
  const char* file;
  QString error;      // in the error box
  QString logDetail;  // in the transfer log
};

class ListedSizeTest : public HostileServerTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ListedSizeTest, FailsTheFileAndKeepsTheOldOne) {
  const SizeCase& c = GetParam();
  SyncHarness sync(serving(c.mode));
  TForm1& form = sync.start("jail/game", true);
  writeBytes(sync.local(c.file), "the old version");
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);
  EXPECT_EQ(sync.harness.messageBox.errorTexts(), QStringList{c.error});
  EXPECT_TRUE(logHas(form, c.logDetail)) << form.Memo1.join('\n').toStdString();
  EXPECT_EQ(sync.status(), QString("Updating %1...").arg(c.file));
  EXPECT_FALSE(form.play->isEnabled());
  EXPECT_EQ(readBytes(sync.local(c.file)), "the old version");
  expectNothingStrayed(sync);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ListedSizeTest,
    ::testing::Values(SizeCase{"endless-read", "endless.MPQ",
                               "The server sent more than the 1000 bytes listed for endless.MPQ.",
                               "The server sent more than the 1000 bytes listed for endless.MPQ"},
                      SizeCase{"short-file", "short.MPQ",
                               "The server sent 500 of the 1000 bytes listed for short.MPQ.",
                               "The server sent 500 of the 1000 bytes listed for short.MPQ"}),
    [](const auto& info) { return QString(info.param.mode).remove('-').toStdString(); });

// A server that breaks the protocol is no lost connection: a new connection
// would meet the same server. The flow ends at once, with no wait and no new
// try, one error box, the reason in the log and the old file in place.
struct ProtocolCase {
  const char* mode;
  QString reason;
  friend void PrintTo(const ProtocolCase& c, std::ostream* out) { *out << c.mode; }
};

class ProtocolViolationTest : public HostileServerTest,
                              public ::testing::WithParamInterface<ProtocolCase> {};

TEST_P(ProtocolViolationTest, EndsTheFlowAtOnceAndKeepsTheOldFile) {
  const ProtocolCase& c = GetParam();
  SyncHarness sync(serving(c.mode));
  TForm1& form = sync.start("jail/game", true);
  writeBytes(sync.local("bad.MPQ"), "the old version");
  sync.harness.sleeper.sleeps.clear();
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);

  const QStringList errors = sync.harness.messageBox.errorTexts();
  ASSERT_EQ(errors.size(), 1) << errors.join('|').toStdString();
  EXPECT_TRUE(errors[0].contains("Error 112, " + c.reason)) << errors[0].toStdString();
  // The pause before the fetch, and nothing after it.
  EXPECT_EQ(sync.harness.sleeper.sleeps,
            std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(250)});
  EXPECT_FALSE(logHas(form, "Connection lost")) << form.Memo1.join('\n').toStdString();
  EXPECT_TRUE(logHas(form, c.reason)) << form.Memo1.join('\n').toStdString();
  EXPECT_EQ(sync.status(), "Updating bad.MPQ...");
  EXPECT_FALSE(form.play->isEnabled());
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
// the figures on the status line; the game stays as it is, to be started.
TEST_F(HostileServerTest, HugeListedSizeIsRefusedBeforeAnyFetch) {
  SyncHarness sync(serving("huge-size"));
  TForm1& form = sync.start("jail/game", true);
  writeBytes(sync.local("huge.MPQ"), "the old version");
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);
  EXPECT_TRUE(sync.status().startsWith(
      "Not enough free space on the game folder's disk: 9223372.0 TB to download, "))
      << sync.status().toStdString();
  EXPECT_EQ(form.connstatus->fontColor(), kRed);
  EXPECT_TRUE(sync.harness.messageBox.errors.empty());
  EXPECT_TRUE(logHas(form, "9223372036854775807 bytes to download"))
      << form.Memo1.join('\n').toStdString();
  EXPECT_TRUE(form.play->isEnabled());
  EXPECT_EQ(readBytes(sync.local("huge.MPQ")), "the old version");
  expectNothingStrayed(sync);
}

// A listing that never ends stops at a bound, and the flow takes the road of
// a server that cannot be reached: red text, Play enabled, no error box.
struct WalkBoundCase {
  const char* name;
  // Sets a bound low, or moves the clock on once the walk is under way.
  std::function<void(TForm1&, FakeClock&)> limit;
  QString bound;
};

class WalkBoundTest : public HostileServerTest,
                      public ::testing::WithParamInterface<WalkBoundCase> {};

TEST_P(WalkBoundTest, EndlessListingEndsTheFlowOnTheConnectionRoad) {
  SyncHarness sync(serving("endless-listing"));
  TForm1& form = sync.start("jail/game", true);
  GetParam().limit(form, sync.harness.clock);
  const MemoryRise memory;
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);
  EXPECT_EQ(sync.status(), kCannotConnect);
  EXPECT_EQ(form.connstatus->fontColor(), kRed);
  EXPECT_TRUE(form.play->isEnabled());
  EXPECT_TRUE(sync.harness.messageBox.errors.empty());
  EXPECT_TRUE(logHas(form, "Stopped listing the patch server: " + GetParam().bound))
      << form.Memo1.mid(form.Memo1.size() - 5).join('\n').toStdString();
  EXPECT_LE(form.update_memo.size(), form.engine.walkLimits.entriesPerFolder);
  // The bound's 250000 names take about 45 MiB; a walk that kept listing would go on rising.
  EXPECT_LT(memory.peakKiB(), 64 * 1024);
  expectNothingStrayed(sync);
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, WalkBoundTest,
    ::testing::Values(WalkBoundCase{"EntriesPerFolder", [](TForm1&, FakeClock&) {},
                                    "more than 250000 entries in the folder "},
                      WalkBoundCase{"EntriesInAll",
                                    [](TForm1& form, FakeClock&) {
                                      form.engine.walkLimits.entriesInAll = 3000;
                                    },
                                    "more than 3000 entries in all"},
                      // An hour passes once the listing has delivered its first entries.
                      WalkBoundCase{"Time",
                                    [](TForm1& form, FakeClock& clock) {
                                      auto* watcher = new QTimer(&form);
                                      QObject::connect(watcher, &QTimer::timeout,
                                                       [&form, &clock, watcher] {
                                                         const TreeWalk* walk = form.engine.walk();
                                                         if (!walk || walk->fileList().isEmpty())
                                                           return;
                                                         clock.advanced = std::chrono::hours(1);
                                                         watcher->stop();
                                                       });
                                      watcher->start(0);
                                    },
                                    "the listing took more than 1800 seconds"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileServerTest, EndlessTreeStopsAtTheDepthBound) {
  SyncHarness sync(serving("deep-tree"));
  TForm1& form = sync.start("jail/game", true);
  QTest::mouseClick(form.startUpdate, Qt::LeftButton);
  EXPECT_EQ(sync.status(), kCannotConnect);
  EXPECT_TRUE(form.play->isEnabled());
  EXPECT_TRUE(logHas(form, "Stopped listing the patch server: folders nested more than 64 deep"));
  std::string deepest;
  for (int level = 0; level < 64; ++level) deepest += "d/";
  EXPECT_TRUE(fs::is_directory(sync.local(deepest)));
  EXPECT_FALSE(fs::exists(sync.local(deepest + "d")));
  expectNothingStrayed(sync);
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

TEST_F(HostileServerTest, OtherSftpVersionsAreRefused) {
  for (const char* version : {"99", "0"}) {
    SyncHarness sync(serving(std::string("version-") + version));
    TForm1& form = sync.start("jail/game", false);
    sync.clickInstall();
    EXPECT_EQ(sync.status(), kCannotConnect);
    EXPECT_TRUE(logHas(form, QString("The server speaks SFTP version %1; only version 3 is "
                                     "supported")
                                 .arg(version)))
        << form.Memo1.join('\n').toStdString();
    EXPECT_TRUE(fs::is_empty(sync.local("")));
    expectNothingStrayed(sync);
  }
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
    form.updateTimer->setInterval(0);
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
