// The INI-backed settings store on its own.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

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

#ifdef Q_OS_WIN
// The Windows store: string values (REG_SZ) of HKEY_CURRENT_USER\SOFTWARE\Quorrel.
class RegistrySettingsStoreTest : public ::testing::Test {
 protected:
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kKey); }
  static constexpr const wchar_t* kKey = L"SOFTWARE\\Quorrel";
  RegistrySettingsStore store;
};

TEST_F(RegistrySettingsStoreTest, KeepsEachSettingAsAStringValueOfTheQuorrelKey) {
  const std::vector<std::pair<QString, QString>> settings = {
      {"WoWPath", "C:/Spiele/World of Warcraft Größe/"}, {"ClearWDB", "1"}};
  for (const auto& [name, value] : settings) store.openKey()->writeString(name, value);
  for (const auto& [name, value] : settings) {
    EXPECT_EQ(store.openKey()->readString(name), value);
    DWORD type = 0;
    wchar_t data[256] = {};
    DWORD size = sizeof data;
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, kKey, reinterpret_cast<LPCWSTR>(name.utf16()),
                           RRF_RT_ANY, &type, data, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(QString::fromWCharArray(data), value);
  }
  EXPECT_EQ(store.openKey()->readString("Missing"), "");
}

TEST_F(RegistrySettingsStoreTest, NonStringValueRaisesTheNamedError) {
  const DWORD number = 1;
  ASSERT_EQ(
      RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"ClearWDB", REG_DWORD, &number, sizeof number),
      ERROR_SUCCESS);
  try {
    store.openKey()->readString("ClearWDB");
    FAIL() << "no error";
  } catch (const SettingsError& error) {
    EXPECT_STREQ(error.what(), "Invalid data type for 'ClearWDB'");
  }
}
#endif

}  // namespace
}  // namespace quorrel::testing
