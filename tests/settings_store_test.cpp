// The INI-backed settings store on its own.
#include <gtest/gtest.h>

#include <QSettings>
#include <QTemporaryDir>

#include "exception.h"
#include "platform/settings_store.h"

namespace quorrel::testing {
namespace {

class IniSettingsStoreTest : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  IniSettingsStore store{dir.filePath("Quorrel/Quorrel.ini")};
};

TEST_F(IniSettingsStoreTest, UserFileIsQuorrelIniUnderTheConfigHome) {
  EXPECT_TRUE(IniSettingsStore::userIniFile().endsWith("/Quorrel/Quorrel.ini"));
}

// Paths with characters the INI format treats specially come back as written.
TEST_F(IniSettingsStoreTest, StringsRoundTripUnchanged) {
  for (const QString& value :
       {QString("/games/wow, classic"), QString("@not a variant"), QString("/spiel/Größe ✓"),
        QString("line one\nline two"), QString(" padded "), QString("a;b=c\\d")}) {
    store.openKey()->writeString("WoWPath", value);
    EXPECT_EQ(store.openKey()->readString("WoWPath"), value) << value.toStdString();
  }
}

TEST_F(IniSettingsStoreTest, StoresUnderTheKeyPath) {
  store.openKey()->writeString("ClearWDB", "1");
  QSettings raw(store.iniFile(), QSettings::IniFormat);
  EXPECT_EQ(raw.value("SOFTWARE/Quorrel/ClearWDB").toString(), "1");
}

TEST_F(IniSettingsStoreTest, MissingValueReadsEmptyAndAStringEndsAtItsFirstZero) {
  auto key = store.openKey();
  EXPECT_EQ(key->readString("WoWPath"), "");
  key->writeString("WoWPath", QString("/games") + QChar(0) + "/rest");
  EXPECT_EQ(store.openKey()->readString("WoWPath"), "/games");
}

TEST_F(IniSettingsStoreTest, NonStringValueRaisesTheNamedError) {
  {
    QSettings raw(store.iniFile(), QSettings::IniFormat);
    raw.setValue("SOFTWARE/Quorrel/ClearWDB", 1);
  }
  try {
    store.openKey()->readString("ClearWDB");
    FAIL() << "no error";
  } catch (const SettingsError& error) {
    EXPECT_STREQ(error.what(), "Invalid data type for 'ClearWDB'");
  }
}

TEST_F(IniSettingsStoreTest, WriteThatDoesNotReachTheFileRaisesTheNamedError) {
  auto key = store.openKey();
  ASSERT_TRUE(key);
  // The file's folder is replaced by a file after the key was opened.
  QDir(dir.filePath("Quorrel")).removeRecursively();
  QFile blocker(dir.filePath("Quorrel"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  try {
    key->writeString("WoWPath", "/games");
    FAIL() << "no error";
  } catch (const SettingsError& error) {
    EXPECT_STREQ(error.what(), "Failed to set data for 'WoWPath'");
  }
}

TEST_F(IniSettingsStoreTest, StoreThatCannotBeCreatedDoesNotOpen) {
  QFile blocker(dir.filePath("Quorrel"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  EXPECT_EQ(store.openKey(), nullptr);
}

}  // namespace
}  // namespace quorrel::testing
