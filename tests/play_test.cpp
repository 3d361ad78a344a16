// Play: the realm list, the cache and the start of the client.
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>

#include "form_harness.h"
#include "sshd_server.h"

namespace quorrel::testing {
namespace {

const QByteArray kRealmList = "set realmlist logon.test";

QByteArray contentOf(const QString& file) {
  QFile in(file);
  return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

// Read-only for everyone: mode 0444 on Linux, the read-only attribute on Windows.
void makeReadOnly(const QString& path) {
  ASSERT_TRUE(QFile::setPermissions(
      path, QFile::ReadOwner | QFile::ReadUser | QFile::ReadGroup | QFile::ReadOther));
}

// A symbolic link, as the player's system makes one: on Windows a reparse point, never the
// shortcut file that QFile::link makes there.
bool makeLink(const QString& target, const QString& link) {
  namespace fs = std::filesystem;
  const fs::path from(target.toStdU16String());
  const fs::path at(link.toStdU16String());
  std::error_code error;
  if (fs::is_directory(from))
    fs::create_directory_symlink(from, at, error);
  else
    fs::create_symlink(from, at, error);
  return !error;
}

// Whether this system makes symbolic links at all: Wine, which runs the Windows tests, does not.
bool systemMakesLinks() {
  static const bool makes = [] {
    QTemporaryDir folder;
    return makeLink(folder.path(), folder.filePath("link"));
  }();
  return makes;
}
const char* const kNoLinks = "this system makes no symbolic links";

class PlayTest : public ::testing::Test {
 protected:
  // A game folder that passed the check, with Play enabled as after an update.
  TForm1& startWithGame(const QString& folderName = "game", Shell* shell = nullptr) {
    harness.config().logonHost = "logon.test";
    game = harness.makeFolder(folderName, true);
    harness.storeSetting("WoWPath", game);
    TForm1& form = harness.start(nullptr, shell);
    form.play->setEnabled(true);
    return form;
  }
  void clickPlay() { QTest::mouseClick(harness.form().play, Qt::LeftButton, {}, QPoint(70, 23)); }
  QString inGame(const QString& name) const { return game + QDir::separator() + name; }

  FormHarness harness;
  QString game;
};

TEST_F(PlayTest, ReplacesTheWholeRealmListStartsTheClientAndQuits) {
  startWithGame();
  FormHarness::touch(inGame("realmlist.wtf"),
                     "set realmlist old.example.org\r\n# comment\r\nset patchlist x\r\n");
  clickPlay();

  EXPECT_EQ(contentOf(inGame("realmlist.wtf")), kRealmList);
  EXPECT_EQ(contentOf(inGame("realmlist.wtf")).size(), 14 + QByteArray("logon.test").size());
  EXPECT_EQ(harness.shell.openedFiles, QStringList{inGame("WoW.exe")});
  EXPECT_EQ(harness.application.quitRequests, 1);
  EXPECT_TRUE(harness.messageBox.errors.empty());
}

TEST_F(PlayTest, ReadOnlyRealmListStopsPlayAndNothingElseHappens) {
  TForm1& form = startWithGame();
  FormHarness::touch(inGame("realmlist.wtf"), "set realmlist old\n");
  makeReadOnly(inGame("realmlist.wtf"));
  QDir().mkpath(inGame("WDB"));
  FormHarness::touch(inGame("WDB/cache.wdb"));
  clickPlay();

  EXPECT_EQ(harness.messageBox.errorTexts(), QStringList{"File access denied."});
  EXPECT_EQ(contentOf(inGame("realmlist.wtf")), "set realmlist old\n");
  EXPECT_TRUE(QFileInfo::exists(inGame("WDB/cache.wdb")));
  EXPECT_TRUE(harness.shell.openedFiles.isEmpty());
  EXPECT_EQ(harness.application.quitRequests, 0);
  EXPECT_TRUE(form.play->isEnabled());
}

TEST_F(PlayTest, VanishedGameFolderIsAnInvalidFilename) {
  startWithGame();
  QDir(game).removeRecursively();
  clickPlay();

  EXPECT_EQ(harness.messageBox.errorTexts(), QStringList{"Invalid filename."});
  EXPECT_TRUE(harness.shell.openedFiles.isEmpty());
  EXPECT_EQ(harness.application.quitRequests, 0);
}

TEST_F(PlayTest, OverlongRealmListPathIsRefusedBeforeAnythingIsWritten) {
  const QString prefix = harness.path("");
  // The folder exists, so only the length check stands between Play and the write.
  QString name = "g";
  while (prefix.size() + name.size() + 1 + QString("realmlist.wtf").size() <= 259)
    name += (name.size() % 50 == 49) ? "/" : "x";
  startWithGame(name);
  ASSERT_GT(inGame("realmlist.wtf").size(), 259);
  clickPlay();

  EXPECT_EQ(harness.messageBox.errorTexts(), QStringList{"Invalid filename."});
  EXPECT_FALSE(QFileInfo::exists(inGame("realmlist.wtf")));
  EXPECT_EQ(harness.application.quitRequests, 0);
}

// A realm list that is no plain file is refused at once: a pipe would block
// the open for ever, with the window frozen.
TEST_F(PlayTest, RealmListThatIsNoPlainFileIsRefusedWithoutBlocking) {
  for (const bool pipe : {true, false}) {
    SCOPED_TRACE(pipe ? "a pipe" : "a folder");
    FormHarness local;
    const QString folder = local.makeFolder("game", true);
    const QByteArray realmList = QFile::encodeName(folder + "/realmlist.wtf");
    if (pipe)
      // By the system that holds the folder: Windows itself makes no pipes in folders.
      ASSERT_EQ(
          runCommand({"mkfifo", "-m", "0644", QFile::decodeName(realmList).toStdString()}).exitCode,
          0);
    else
      ASSERT_TRUE(QDir().mkpath(QFile::decodeName(realmList)));
    local.storeSetting("WoWPath", folder);
    TForm1& form = local.start();
    form.play->setEnabled(true);
    QTest::mouseClick(form.play, Qt::LeftButton, {}, QPoint(70, 23));

    EXPECT_EQ(local.messageBox.errorTexts(), QStringList{"File access denied."});
    EXPECT_TRUE(local.shell.openedFiles.isEmpty());
    QStringList entries = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                 QDir::NoDotAndDotDot);
    entries.sort();
    EXPECT_EQ(entries, (QStringList{"WoW.exe", "realmlist.wtf"})) << "nothing left behind";
  }
}

// Play changes nothing outside the game folder, however the folder is linked.
TEST_F(PlayTest, LinksLeadingOutOfTheGameFolderAreNeverWrittenThrough) {
  if (!systemMakesLinks()) GTEST_SKIP() << kNoLinks;
  const QString outside = harness.makeFolder("outside", false);
  FormHarness::touch(outside + "/realmlist.wtf", "set realmlist mine\n");
  QDir().mkpath(outside + "/cache");
  FormHarness::touch(outside + "/cache/keep.wdb");
  TForm1& form = startWithGame();
  ASSERT_TRUE(makeLink(outside + "/realmlist.wtf", inGame("realmlist.wtf")));
  ASSERT_TRUE(makeLink(outside + "/cache", inGame("WDB")));
  ASSERT_TRUE(form.clear_wdb_checkbox->isChecked());
  clickPlay();

  EXPECT_TRUE(harness.messageBox.errors.empty());
  EXPECT_EQ(contentOf(outside + "/realmlist.wtf"), "set realmlist mine\n");
  EXPECT_TRUE(QFileInfo::exists(outside + "/cache/keep.wdb"));
  EXPECT_FALSE(QFileInfo(inGame("realmlist.wtf")).isSymLink());
  EXPECT_EQ(contentOf(inGame("realmlist.wtf")), kRealmList);
  EXPECT_EQ(harness.shell.openedFiles, QStringList{inGame("WoW.exe")});
}

// A cache folder linked to another folder inside the game folder is cleared.
TEST_F(PlayTest, CacheFolderLinkedInsideTheGameFolderIsCleared) {
  if (!systemMakesLinks()) GTEST_SKIP() << kNoLinks;
  startWithGame();
  QDir().mkpath(inGame("Cache/real"));
  FormHarness::touch(inGame("Cache/real/old.wdb"));
  ASSERT_TRUE(makeLink(inGame("Cache/real"), inGame("WDB")));
  clickPlay();
  EXPECT_FALSE(QFileInfo::exists(inGame("Cache/real/old.wdb")));
}

TEST_F(PlayTest, ClientDeletedAfterTheCheckStillWritesClearsAndQuits) {
  startWithGame();
  QDir().mkpath(inGame("WDB"));
  FormHarness::touch(inGame("WDB/cache.wdb"));
  QFile::remove(inGame("WoW.exe"));
  clickPlay();

  EXPECT_EQ(contentOf(inGame("realmlist.wtf")), kRealmList);
  EXPECT_FALSE(QFileInfo::exists(inGame("WDB/cache.wdb")));
  EXPECT_EQ(harness.shell.openedFiles, QStringList{inGame("WoW.exe")});
  EXPECT_EQ(harness.application.quitRequests, 1);
}

// The cache folder: what goes and what stays, for each state of the box.
enum class Scenario { Checked, Unchecked, NoCacheFolder };

struct CacheEntry {
  const char* name;
  enum Kind { File, ReadOnlyFile, Folder, FileInSubfolder, LinkToOutsideFolder } kind;
  bool goesWhenChecked;
};

const CacheEntry kCacheEntries[] = {
    {"creaturecache.wdb", CacheEntry::File, true},
    {"ITEMCACHE.WDB", CacheEntry::File, true},
    {"questcache.Wdb", CacheEntry::File, true},
    {".hidden.wdb", CacheEntry::File, true},
    {"notes.txt", CacheEntry::File, false},
    {"cache.wdb.bak", CacheEntry::File, false},
    {"readonly.wdb", CacheEntry::ReadOnlyFile, false},
    {"folder.wdb", CacheEntry::Folder, false},
    {"sub/inner.wdb", CacheEntry::FileInSubfolder, false},
    {"link.wdb", CacheEntry::LinkToOutsideFolder, true},
};

class CacheClearingTest : public PlayTest, public ::testing::WithParamInterface<Scenario> {
 protected:
  void makeEntry(const CacheEntry& entry) {
    const QString path = inGame(QString("WDB/") + entry.name);
    switch (entry.kind) {
      case CacheEntry::File:
        FormHarness::touch(path, "cached");
        break;
      case CacheEntry::ReadOnlyFile:
        FormHarness::touch(path, "cached");
        makeReadOnly(path);
        break;
      case CacheEntry::Folder:
        QDir().mkpath(path);
        break;
      case CacheEntry::FileInSubfolder:
        QDir().mkpath(QFileInfo(path).path());
        FormHarness::touch(path, "cached");
        break;
      case CacheEntry::LinkToOutsideFolder:
        makeLink(outside, path);
        break;
    }
  }

  // All of them, but the link where the system makes none.
  static std::vector<CacheEntry> entries() {
    std::vector<CacheEntry> made;
    for (const CacheEntry& entry : kCacheEntries)
      if (entry.kind != CacheEntry::LinkToOutsideFolder || systemMakesLinks())
        made.push_back(entry);
    return made;
  }

  QString outside;
};

TEST_P(CacheClearingTest, ClearsOnlyCacheFilesDirectlyInTheFolder) {
  TForm1& form = startWithGame();
  outside = harness.makeFolder("outside.wdb", false);
  FormHarness::touch(outside + "/precious.wdb", "keep me");
  if (GetParam() != Scenario::NoCacheFolder) {
    QDir().mkpath(inGame("WDB"));
    for (const CacheEntry& entry : entries()) makeEntry(entry);
  }
  form.clear_wdb_checkbox->setChecked(GetParam() != Scenario::Unchecked);
  clickPlay();

  if (GetParam() != Scenario::NoCacheFolder) {
    for (const CacheEntry& entry : entries()) {
      const bool gone = GetParam() == Scenario::Checked && entry.goesWhenChecked;
      const QFileInfo info(inGame(QString("WDB/") + entry.name));
      EXPECT_EQ(info.exists() || info.isSymLink(), !gone) << entry.name;
    }
  }
  EXPECT_EQ(contentOf(outside + "/precious.wdb"), "keep me");
  EXPECT_TRUE(QFileInfo(inGame("WDB")).isDir() || GetParam() == Scenario::NoCacheFolder);
  EXPECT_EQ(harness.shell.openedFiles.size(), 1);
  EXPECT_EQ(harness.application.quitRequests, 1);
  EXPECT_TRUE(harness.messageBox.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Values, CacheClearingTest,
                         ::testing::Values(Scenario::Checked, Scenario::Unchecked,
                                           Scenario::NoCacheFolder),
                         [](const auto& info) {
                           switch (info.param) {
                             case Scenario::Checked:
                               return "Checked";
                             case Scenario::Unchecked:
                               return "Unchecked";
                             default:
                               return "NoCacheFolder";
                           }
                         });

// The real shell runs the client under a Windows program runner.
struct RunnerCase {
  const char* name;
  bool wineOnPath;
  const char* wineVariable;  // "script": the recording script's own path
  const char* expectedRunner;
};

class ClientStartTest : public PlayTest, public ::testing::WithParamInterface<RunnerCase> {
 protected:
  void SetUp() override {
    savedPath = qgetenv("PATH");
    savedWine = qgetenv("WINE");
    hadWine = qEnvironmentVariableIsSet("WINE");
  }
  void TearDown() override {
    qputenv("PATH", savedPath);
    if (hadWine)
      qputenv("WINE", savedWine);
    else
      qunsetenv("WINE");
  }

  // A runner that records its name, working folder and arguments.
  QString makeRunner(const QString& folder, const QString& name) {
    QDir().mkpath(folder);
    const QString script = folder + "/" + name;
    FormHarness::touch(script, QString("#!/bin/sh\nprintf '%s\\n' %1 \"$PWD\" \"$@\" > \"%2.tmp\"\n"
                                       "mv \"%2.tmp\" \"%2\"\n")
                                   .arg(name, record())
                                   .toUtf8());
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return script;
  }
  QString record() const { return harness.path("runner.log"); }

  QByteArray savedPath, savedWine;
  bool hadWine = false;
};

TEST_P(ClientStartTest, RunsTheClientDetachedInTheLaunchersFolderThenQuits) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows starts the client itself; the runners through wine are Linux's";
#endif
  const RunnerCase& c = GetParam();
  const QString bin = harness.path("bin");
  QDir().mkpath(bin);
  if (c.wineOnPath) makeRunner(bin, "wine");
  const QString named = makeRunner(harness.path("named"), "named-wine");
  qputenv("PATH", (bin + ":" + QString::fromLocal8Bit(savedPath)).toLocal8Bit());
  if (c.wineVariable)
    qputenv("WINE", std::string(c.wineVariable) == "script" ? named.toLocal8Bit()
                                                            : QByteArray(c.wineVariable));
  else
    qunsetenv("WINE");

  DesktopShell shell;
  startWithGame("game", &shell);
  clickPlay();
  EXPECT_EQ(harness.application.quitRequests, 1);

  for (int waited = 0; waited < 10000 && !QFileInfo::exists(record()); waited += 50)
    QTest::qWait(50);
  ASSERT_TRUE(QFileInfo::exists(record())) << "the client was not started";
  EXPECT_EQ(QString::fromLocal8Bit(contentOf(record())).split('\n', Qt::SkipEmptyParts),
            (QStringList{c.expectedRunner, QDir::currentPath(), inGame("WoW.exe")}));
}

INSTANTIATE_TEST_SUITE_P(Values, ClientStartTest,
                         ::testing::Values(RunnerCase{"WineOnPath", true, nullptr, "wine"},
                                           RunnerCase{"WineVariable", true, "script", "named-wine"},
                                           RunnerCase{"MissingWineVariable", true, "no-such-wine",
                                                      "wine"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorrel::testing
