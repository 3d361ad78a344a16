#pragma once

#include <QString>
#include <memory>

#include "exception.h"

class QSettings;

namespace quorrel {

// Raised by the settings store when a value has the wrong type or cannot be written.
class SettingsError : public Exception {
 public:
  using Exception::Exception;
};

// One open access to the launcher's settings key. Closing it (destruction)
// releases the key; every reader or writer opens its own.
class SettingsKey {
 public:
  virtual ~SettingsKey() = default;
  // "" when the value is missing or empty; SettingsError when it is not a string.
  virtual QString readString(const QString& name) = 0;
  // Creates or replaces the value; SettingsError when it does not reach the store.
  virtual void writeString(const QString& name, const QString& value) = 0;
};

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // Opens the key, creating it when missing; null when it cannot be opened or created.
  virtual std::unique_ptr<SettingsKey> openKey() = 0;
};

// The per-user store: an INI file read and written through QSettings, with the
// values under the key path "SOFTWARE/Quorrel".
class IniSettingsStore : public SettingsStore {
 public:
  explicit IniSettingsStore(QString iniFile);
  // $XDG_CONFIG_HOME/Quorrel/Quorrel.ini: QSettings' user-scope file of "Quorrel".
  static QString userIniFile();
  std::unique_ptr<SettingsKey> openKey() override;
  const QString& iniFile() const { return iniFile_; }

 private:
  QString iniFile_;
};

#ifdef Q_OS_WIN
// The Windows store: string values of the registry key
// HKEY_CURRENT_USER\SOFTWARE\Quorrel, created when missing.
class RegistrySettingsStore : public SettingsStore {
 public:
  static constexpr const char* kKey = "HKEY_CURRENT_USER\\SOFTWARE\\Quorrel";
  std::unique_ptr<SettingsKey> openKey() override;
};
using SystemSettingsStore = RegistrySettingsStore;
#else
// Elsewhere, the user's INI file.
struct SystemSettingsStore : IniSettingsStore {
  SystemSettingsStore() : IniSettingsStore(userIniFile()) {}
};
#endif

}  // namespace quorrel
