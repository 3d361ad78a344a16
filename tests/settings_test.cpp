// How the window reads and writes the two remembered settings.
#include <QTest>

#include "form_harness.h"

namespace quorrel::testing {
namespace {

struct ClearWdbCase {
  const char* name;
  std::optional<QByteArray> storedLine;  // the INI line of ClearWDB, none for a missing value
  bool checkedAfterStart;
  QString storedAfterStart;
};

class ClearWdbStartupTest : public ::testing::TestWithParam<ClearWdbCase> {};

TEST_P(ClearWdbStartupTest, AppliesAndNormalisesTheStoredValue) {
  const ClearWdbCase& c = GetParam();
  FormHarness harness;
  if (c.storedLine) harness.writeIni("[SOFTWARE]\n" + *c.storedLine + "\n");
  harness.dialogs.browserAnswers = {std::nullopt};
  TForm1& form = harness.start();

  EXPECT_EQ(form.clear_wdb_checkbox->isChecked(), c.checkedAfterStart);
  EXPECT_EQ(harness.storedSetting("ClearWDB").toString(), c.storedAfterStart);
  EXPECT_TRUE(harness.messageBox.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Values, ClearWdbStartupTest,
    ::testing::Values(ClearWdbCase{"missing", std::nullopt, true, "1"},
                      ClearWdbCase{"empty", QByteArray("Quorrel\\ClearWDB="), true, "1"},
                      ClearWdbCase{"one", QByteArray("Quorrel\\ClearWDB=1"), true, "1"},
                      ClearWdbCase{"zero", QByteArray("Quorrel\\ClearWDB=0"), false, "0"},
                      ClearWdbCase{"yes", QByteArray("Quorrel\\ClearWDB=yes"), false, "0"},
                      ClearWdbCase{"spaced_one", QByteArray("Quorrel\\ClearWDB=\" 1\""), false,
                                   "0"}),
    [](const auto& info) { return std::string(info.param.name); });

// Values another program stored with a type of their own.
class NonStringValueTest : public ::testing::TestWithParam<const char*> {};

TEST_P(NonStringValueTest, StopsTheStartUpWithTheSettingsError) {
  FormHarness harness;
  const QString game = harness.makeFolder("game", true);
  harness.writeIni("[SOFTWARE]\nQuorrel\\ClearWDB=" + QByteArray(GetParam()) +
                   "\nQuorrel\\WoWPath=" + game.toUtf8() + "\n");
  TForm1& form = harness.start();

  ASSERT_EQ(harness.messageBox.errors.size(), 1u);
  EXPECT_EQ(harness.messageBox.errors[0].text, "Invalid data type for 'ClearWDB'");
  EXPECT_EQ(harness.messageBox.errors[0].title, "launcher_tests");
  EXPECT_TRUE(form.isVisible());
  EXPECT_TRUE(form.wow_path.isEmpty());  // the folder is not read
  EXPECT_TRUE(harness.dialogs.browserPreselections.isEmpty());
  EXPECT_TRUE(form.clear_wdb_checkbox->isChecked());
}

INSTANTIATE_TEST_SUITE_P(Values, NonStringValueTest,
                         ::testing::Values("@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x1)", "@ByteArray(1)",
                                           "1, 2"));

TEST(SettingsTest, NoStoreYetCreatesItWithTheCacheSettingOn) {
  FormHarness harness;
  harness.dialogs.browserAnswers = {std::nullopt};
  TForm1& form = harness.start();

  EXPECT_TRUE(QFileInfo::exists(harness.iniFile()));
  EXPECT_EQ(harness.storedSetting("ClearWDB").toString(), "1");
  EXPECT_TRUE(form.clear_wdb_checkbox->isChecked());
}

TEST(SettingsTest, TogglingTheBoxTwiceWritesZeroThenOne) {
  FormHarness harness;
  harness.dialogs.browserAnswers = {std::nullopt};
  TForm1& form = harness.start();

  QTest::mouseClick(form.clear_wdb_checkbox, Qt::LeftButton);
  EXPECT_FALSE(form.clear_wdb_checkbox->isChecked());
  EXPECT_EQ(harness.storedSetting("ClearWDB").toString(), "0");
  QTest::mouseClick(form.clear_wdb_checkbox, Qt::LeftButton);
  EXPECT_EQ(harness.storedSetting("ClearWDB").toString(), "1");
}

TEST(SettingsTest, FailingWriteShowsTheErrorAndTheBoxKeepsItsNewState) {
  FormHarness harness;
  FakeSettingsStore store;
  harness.dialogs.browserAnswers = {std::nullopt};
  TForm1& form = harness.start(&store);
  store.writesFail = true;

  form.clear_wdb_checkbox->setChecked(false);

  EXPECT_EQ(harness.messageBox.errorTexts(), QStringList{"Failed to set data for 'ClearWDB'"});
  EXPECT_FALSE(form.clear_wdb_checkbox->isChecked());
  EXPECT_EQ(store.values["ClearWDB"], "1");
}

TEST(SettingsTest, FailingFolderWriteEndsTheHandlerBeforeTheCheck) {
  FormHarness harness;
  FakeSettingsStore store;
  const QString game = harness.makeFolder("game", true);
  harness.dialogs.browserAnswers = {std::nullopt};
  TForm1& form = harness.start(&store);
  store.writesFail = true;

  harness.dialogs.pickerAnswers = {game};
  QTest::mouseClick(form.wow_location_label, Qt::LeftButton);

  EXPECT_EQ(harness.messageBox.errorTexts(), QStringList{"Failed to set data for 'WoWPath'"});
  EXPECT_TRUE(form.wow_path.isEmpty());
  EXPECT_FALSE(form.updateTimer->isActive());
}

// The config folder cannot be created: a file stands where it belongs.
TEST(SettingsTest, UnwritableStoreIsSkippedSilently) {
  FormHarness harness;
  FormHarness::touch(harness.path("config"), "a file, not a folder");
  const QString game = harness.makeFolder("game", true);
  harness.dialogs.browserAnswers = {game};
  TForm1& form = harness.start();

  EXPECT_TRUE(form.clear_wdb_checkbox->isChecked());
  EXPECT_EQ(form.wow_path, game);
  EXPECT_FALSE(form.updateTimer->isActive());

  form.clear_wdb_checkbox->setChecked(false);
  EXPECT_TRUE(harness.messageBox.errors.empty());
  EXPECT_FALSE(form.clear_wdb_checkbox->isChecked());
}

// Settings files the launcher cannot use are never overwritten, so nothing in
// them is lost; the launcher goes on as without a store.
class UnusableSettingsFileTest : public ::testing::TestWithParam<const char*> {};

TEST_P(UnusableSettingsFileTest, IsLeftAsItIsAndTheBrowserIsOffered) {
  FormHarness harness;
  const QString game = harness.makeFolder("game", true);
  const std::string kind = GetParam();
  if (kind == "huge")
    harness.writeIni("[SOFTWARE]\nQuorrel\\WoWPath=" + game.toUtf8() + "\n; " +
                     QByteArray(2 * 1024 * 1024, 'x') + "\n");
  if (kind == "folder") QDir().mkpath(harness.iniFile());
  const QByteArray before = harness.iniBytes();

  harness.dialogs.browserAnswers = {game};
  TForm1& form = harness.start();
  form.clear_wdb_checkbox->setChecked(false);

  EXPECT_EQ(harness.dialogs.browserPreselections.size(), 1);
  EXPECT_EQ(form.wow_path, game);
  EXPECT_TRUE(harness.messageBox.errors.empty());
  EXPECT_EQ(harness.iniBytes(), before);
}

INSTANTIATE_TEST_SUITE_P(Values, UnusableSettingsFileTest, ::testing::Values("huge", "folder"));

// Garbage among the values costs the garbage, never the values beside it.
TEST(SettingsTest, GarbageInTheFileKeepsTheValuesBesideIt) {
  FormHarness harness;
  const QString game = harness.makeFolder("game", true);
  harness.writeIni(
      "[SOFTWARE]\nQuorrel\\ClearWDB=0\n\x01\x02 binary \xff\xfe, no equals sign\n"
      "Quorrel\\WoWPath=" +
      QByteArray(game.toUtf8()).replace('\\', "\\\\") + "\n" +
      QByteArray("\0\0\0 torn write\n", 15));
  TForm1& form = harness.start();
  EXPECT_EQ(form.wow_path, game + QDir::separator());
  EXPECT_FALSE(form.clear_wdb_checkbox->isChecked());

  form.clear_wdb_checkbox->setChecked(true);
  EXPECT_EQ(harness.storedSetting("ClearWDB").toString(), "1");
  EXPECT_EQ(harness.storedSetting("WoWPath").toString(), game);
  EXPECT_TRUE(harness.messageBox.errors.empty());
}

}  // namespace
}  // namespace quorrel::testing
