// The start-up roads, the folder check and the two folder choosers.
#include <QSignalSpy>
#include <QTest>

#include "form_harness.h"

namespace quorrel::testing {
namespace {

const QString kNoFolder = "You did not select a WoW folder. Click here to select one now.";
const QString kFolderMissing = "Selected game folder does not exist. Click here to change it.";
const QString kNoGame =
    "WoW.exe was not found in the selected folder. Click here to change it or Install for a fresh "
    "install.";
const QString kChecking = "Checking for launcher updates...";

const QString kProtectedFolder =
    "The game cannot be installed in this folder (the root, your home folder or a system folder). "
    "Click here to choose another.";

class StartupTest : public ::testing::Test {
 protected:
  FormHarness harness;
};

// The button a click in the shared place of Play and Install reaches.
QWidget* buttonOnTop(TForm1& form) {
  return form.childAt(form.play->geometry().center());
}

TEST_F(StartupTest, StoredFolderWithGameArmsTheTimerWithoutAskingForAFolder) {
  const QString game = harness.makeFolder("game", true);
  harness.storeSetting("WoWPath", game);
  TForm1& form = harness.start();

  EXPECT_TRUE(harness.dialogs.browserPreselections.isEmpty());
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(form.windowTitle(), "QuorrelLauncher v1.0.3");
  EXPECT_EQ(form.versioninfo->text(), "Quorrel Launcher v1.0.3 | https://project.test/launcher");
  EXPECT_EQ(form.wow_path, game + QDir::separator());
  EXPECT_EQ(form.wow_location_label->text(), game + QDir::separator());
  EXPECT_TRUE(form.play->isVisible());
  EXPECT_FALSE(form.play->isEnabled());
  EXPECT_FALSE(form.install->isVisible());
  EXPECT_EQ(buttonOnTop(form), form.play);
  EXPECT_EQ(form.connstatus->text(), kChecking);
  EXPECT_EQ(form.connstatus->fontColor(), kWhite);
  EXPECT_EQ(form.connstatus->cursor().shape(), Qt::ArrowCursor);
  EXPECT_TRUE(form.updateTimer->isActive());
  EXPECT_TRUE(form.updateTimer->isSingleShot());
  EXPECT_EQ(form.updateTimer->interval(), 3000);
  EXPECT_EQ(form.remote_root, "/upload");
  EXPECT_EQ(form.download_total, 101246571888059);
  EXPECT_EQ(form.downloaded_bytes, 0);
  EXPECT_TRUE(harness.messageBox.errors.empty());
}

TEST_F(StartupTest, StoredFolderWithoutGameOffersTheInstall) {
  const QString folder = harness.makeFolder("empty", false);
  harness.storeSetting("WoWPath", folder);
  TForm1& form = harness.start();

  EXPECT_TRUE(form.install->isVisible());
  EXPECT_TRUE(form.install->isEnabled());
  EXPECT_FALSE(form.play->isEnabled());
  EXPECT_EQ(buttonOnTop(form), form.install);
  EXPECT_EQ(form.connstatus->text(), kNoGame);
  EXPECT_EQ(form.connstatus->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_FALSE(form.updateTimer->isActive());
  EXPECT_EQ(form.wow_location_label->text(), folder + QDir::separator());
}

TEST_F(StartupTest, StoredFolderThatIsGoneAsksForAnotherOne) {
  const QString gone = harness.path("gone");
  harness.storeSetting("WoWPath", gone);
  TForm1& form = harness.start();

  EXPECT_EQ(form.connstatus->text(), kFolderMissing);
  EXPECT_EQ(form.connstatus->fontColor(), kWhite);
  EXPECT_TRUE(form.install->isVisible());
  EXPECT_FALSE(form.install->isEnabled());
  EXPECT_EQ(form.wow_location_label->text(), gone + QDir::separator());
  EXPECT_TRUE(harness.dialogs.browserPreselections.isEmpty());
}

TEST_F(StartupTest, NoStoredFolderAndBrowserCancelledEntersNoFolderState) {
  harness.dialogs.browserAnswers = {std::nullopt};
  TForm1& form = harness.start();

  EXPECT_EQ(harness.dialogs.titles, QStringList{"Select game folder"});
  EXPECT_EQ(harness.dialogs.browserPreselections, QStringList{""});
  EXPECT_EQ(form.connstatus->text(), kNoFolder);
  EXPECT_EQ(form.connstatus->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_FALSE(form.install->isEnabled());
  EXPECT_FALSE(form.play->isEnabled());
  EXPECT_TRUE(form.wow_path.isEmpty());
  EXPECT_FALSE(harness.storedSetting("WoWPath").isValid());
}

TEST_F(StartupTest, FolderConfirmedInTheBrowserIsStoredAndChecked) {
  const QString game = harness.makeFolder("game", true);
  harness.dialogs.browserAnswers = {game + QDir::separator()};
  TForm1& form = harness.start();

  EXPECT_EQ(harness.storedSetting("WoWPath").toString(), game);
  EXPECT_EQ(form.wow_path, game + QDir::separator());
  EXPECT_TRUE(form.updateTimer->isActive());
}

TEST_F(StartupTest, RootFolderIsStoredWithItsSeparatorAndUsedWithTwo) {
  const QString root = QDir::toNativeSeparators(QDir::rootPath());
  harness.dialogs.browserAnswers = {root};
  TForm1& form = harness.start();

  EXPECT_EQ(harness.storedSetting("WoWPath").toString(), root);
  EXPECT_EQ(form.wow_path, root + QDir::separator());
  EXPECT_EQ(form.wow_location_label->text(), root + QDir::separator());
  EXPECT_EQ(form.connstatus->text(), kProtectedFolder);
  EXPECT_FALSE(form.install->isEnabled());
}

// The root, the home folder and the system's folders never receive a game;
// a folder inside the home folder does.
TEST_F(StartupTest, ProtectedFoldersAreNeverOfferedForTheInstall) {
#ifdef _WIN32
  const QString windows = QString::fromLocal8Bit(qgetenv("SystemRoot"));
#endif
  const struct {
    QString folder;
    bool isProtected;
#ifdef _WIN32
  } cases[] = {{QDir::rootPath(), true},
               {QDir::homePath(), true},
               {windows, true},
               {windows + "/System32", true},
               {harness.makeFolder("ordinary", false), false}};
#else
  } cases[] = {{"/", true},    {QDir::homePath(), true},
               {"/usr", true}, {"/usr/share", true},
               {"/etc", true}, {harness.makeFolder("ordinary", false), false}};
#endif
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder.toStdString());
    FormHarness local;
    local.storeSetting("WoWPath", c.folder);
    TForm1& form = local.start();
    EXPECT_EQ(form.connstatus->text(), c.isProtected ? kProtectedFolder : kNoGame);
    EXPECT_EQ(form.install->isEnabled(), !c.isProtected);
    if (!c.isProtected) continue;
    form.installClick(form.install);  // also refused when asked directly
    EXPECT_EQ(form.connstatus->text(), kProtectedFolder) << "the install must not have started";
  }
}

// Play never lies enabled under Install: a folder without the game disables it.
TEST_F(StartupTest, ChoosingAFolderWithoutTheGameDisablesPlayAndPutsInstallOnTop) {
  harness.storeSetting("WoWPath", harness.makeFolder("game", true));
  TForm1& form = harness.start();
  form.play->setEnabled(true);  // as after the patch update
  harness.dialogs.browserAnswers = {harness.makeFolder("empty", false)};
  form.connstatusClick(form.connstatus);

  EXPECT_FALSE(form.play->isEnabled());
  EXPECT_TRUE(form.install->isEnabled());
  EXPECT_EQ(buttonOnTop(form), form.install);
}

TEST_F(StartupTest, SecondGoodCheckDoesNotRestartTheCountdown) {
  harness.storeSetting("WoWPath", harness.makeFolder("game", true));
  TForm1& form = harness.start();
  QTest::qWait(600);
  form.WoWFolderCheck();
  EXPECT_TRUE(form.updateTimer->isActive());
  // A restarted countdown would be back near 3000 ms.
  EXPECT_LT(form.updateTimer->remainingTime(), 2800);
}

TEST_F(StartupTest, ExpiryStartsThePatchUpdateOnceAndAGoodCheckArmsItAgain) {
  harness.storeSetting("WoWPath", harness.makeFolder("game", true));
  TForm1& form = harness.start();
  QSignalSpy updates(form.startUpdate, &QPushButton::clicked);
  form.updateTimer->setInterval(50);  // the countdown itself is checked above
  form.updateTimer->start();

  ASSERT_TRUE(updates.wait(2000));
  QTest::qWait(200);
  EXPECT_EQ(updates.count(), 1);
  EXPECT_FALSE(form.updateTimer->isActive());

  form.WoWFolderCheck();
  EXPECT_TRUE(form.updateTimer->isActive());
  ASSERT_TRUE(updates.wait(2000));
  EXPECT_EQ(updates.count(), 2);
}

TEST_F(StartupTest, StatusClickAfterTheFolderVanishedOpensTheBrowserWithoutPreselection) {
  const QString game = harness.makeFolder("game", true);
  harness.storeSetting("WoWPath", game);
  TForm1& form = harness.start();
  QDir(game).removeRecursively();

  harness.dialogs.browserAnswers = {std::nullopt};
  form.connstatusClick(form.connstatus);

  EXPECT_EQ(harness.dialogs.browserPreselections, QStringList{""});
  EXPECT_TRUE(form.wow_path.isEmpty());
  EXPECT_EQ(form.connstatus->text(), kNoFolder);
  EXPECT_EQ(harness.storedSetting("WoWPath").toString(), game);
}

TEST_F(StartupTest, StatusClickPreselectsTheCurrentFolderAndStoresTheNewChoice) {
  const QString empty = harness.makeFolder("empty", false);
  const QString game = harness.makeFolder("game", true);
  harness.storeSetting("WoWPath", empty);
  TForm1& form = harness.start();

  harness.dialogs.browserAnswers = {game};
  QTest::mouseClick(form.connstatus, Qt::LeftButton);

  EXPECT_EQ(harness.dialogs.browserPreselections, QStringList{empty + QDir::separator()});
  EXPECT_EQ(harness.storedSetting("WoWPath").toString(), game);
  EXPECT_EQ(form.wow_path, game + QDir::separator());
  EXPECT_TRUE(form.play->isVisible());
  EXPECT_EQ(form.connstatus->cursor().shape(), Qt::ArrowCursor);
}

TEST_F(StartupTest, FolderLabelDialogStoresTheChoiceAndProposesItNextTime) {
  const QString game = harness.makeFolder("game", true);
  harness.dialogs.browserAnswers = {std::nullopt};
  TForm1& form = harness.start();

  harness.dialogs.pickerAnswers = {game, std::nullopt};
  QTest::mouseClick(form.wow_location_label, Qt::LeftButton);
  EXPECT_EQ(harness.storedSetting("WoWPath").toString(), game);
  EXPECT_EQ(form.wow_path, game + QDir::separator());
  EXPECT_TRUE(form.updateTimer->isActive());

  form.wow_location_labelClick(form.wow_location_label);
  EXPECT_EQ(harness.dialogs.pickerProposals, (QStringList{"", game}));
  EXPECT_EQ(harness.dialogs.titles.last(), "Select WoW Directory");
  EXPECT_EQ(form.wow_path, game + QDir::separator());  // a cancel leaves the folder as it was
  EXPECT_EQ(form.connstatus->text(), kNoFolder);
}

TEST_F(StartupTest, ChoiceThatCannotBeStoredIsNotCheckedAndStaysInTheBrowserVariable) {
  FakeSettingsStore store;
  store.opens = false;
  const QString game = harness.makeFolder("game", true);
  harness.dialogs.browserAnswers = {game};
  TForm1& form = harness.start(&store);

  EXPECT_EQ(form.wow_path, game);
  EXPECT_FALSE(form.updateTimer->isActive());
  EXPECT_EQ(form.connstatus->text(), kChecking);
  EXPECT_TRUE(form.clear_wdb_checkbox->isChecked());

  harness.dialogs.browserAnswers = {std::nullopt};
  form.connstatusClick(form.connstatus);
  EXPECT_EQ(harness.dialogs.browserPreselections.last(), game);

  harness.dialogs.pickerAnswers = {game};
  form.wow_location_labelClick(form.wow_location_label);
  EXPECT_EQ(form.wow_path, game);
}

// Stored folders that are not folders at all are reported, never a crash.
class BadStoredFolderTest : public ::testing::TestWithParam<const char*> {};

TEST_P(BadStoredFolderTest, IsReportedAsAMissingFolder) {
  FormHarness harness;
  const QString file = harness.path("a-file");
  FormHarness::touch(file, "not a folder");
  const QMap<QString, QString> folders = {
      {"file", file},
      {"newline", harness.path("game\nsecond line")},
      {"very long", harness.path(QString(5000, 'x'))},
      {"long path components", harness.path(QString("abcdefgh/").repeated(600))},
  };
  harness.storeSetting("WoWPath", folders.value(GetParam()));
  TForm1& form = harness.start();

  EXPECT_EQ(form.connstatus->text(), kFolderMissing);
  EXPECT_FALSE(form.install->isEnabled());
  EXPECT_EQ(form.wow_location_label->text(), folders.value(GetParam()) + QDir::separator());
  EXPECT_TRUE(harness.messageBox.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Values, BadStoredFolderTest,
                         ::testing::Values("file", "newline", "very long", "long path components"),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), ' ', '_');
                           return name;
                         });

}  // namespace
}  // namespace quorrel::testing
