#include "settings_store.h"

#include <QFileInfo>
#include <QSettings>

namespace quorrel {

namespace {

const QString kIniKeyPath = QStringLiteral("SOFTWARE/Quorrel/");

// A settings file this large was not written by the launcher; reading it whole
// would only cost memory, so it is treated like a key that cannot be opened.
constexpr qint64 kMaxSettingsFileBytes = 1024 * 1024;

std::string quotedName(const char* format, const QString& name) {
  return QString::fromLatin1(format).arg(name).toStdString();
}

// The values of `settings` below `keyPath`.
class QtSettingsKey : public SettingsKey {
 public:
  QtSettingsKey(std::unique_ptr<QSettings> settings, QString keyPath)
      : settings_(std::move(settings)), keyPath_(std::move(keyPath)) {}

  QString readString(const QString& name) override {
    const QVariant value = settings_->value(keyPath_ + name);
    if (!value.isValid()) return QString();
    if (value.typeId() != QMetaType::QString)
      throw SettingsError(quotedName("Invalid data type for '%1'", name));
    // A stored string ends at its first zero character.
    const QString text = value.toString();
    const qsizetype zero = text.indexOf(QChar(0));
    return zero < 0 ? text : text.left(zero);
  }

  void writeString(const QString& name, const QString& value) override {
    settings_->setValue(keyPath_ + name, value);
    settings_->sync();
    if (settings_->status() != QSettings::NoError)
      throw SettingsError(quotedName("Failed to set data for '%1'", name));
  }

 private:
  std::unique_ptr<QSettings> settings_;
  QString keyPath_;
};

}  // namespace

IniSettingsStore::IniSettingsStore(QString iniFile) : iniFile_(std::move(iniFile)) {}

QString IniSettingsStore::userIniFile() {
  return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Quorrel"),
                   QStringLiteral("Quorrel"))
      .fileName();
}

std::unique_ptr<SettingsKey> IniSettingsStore::openKey() {
  const QFileInfo file(iniFile_);
  if (file.exists() && (!file.isFile() || file.size() > kMaxSettingsFileBytes)) return nullptr;
  auto settings = std::make_unique<QSettings>(iniFile_, QSettings::IniFormat);
  // A file that could not be read or parsed is never written back: QSettings
  // would replace it with only the values it understood, losing the others.
  if (settings->status() != QSettings::NoError || !settings->isWritable()) return nullptr;
  return std::make_unique<QtSettingsKey>(std::move(settings), kIniKeyPath);
}

#ifdef Q_OS_WIN
std::unique_ptr<SettingsKey> RegistrySettingsStore::openKey() {
  auto settings = std::make_unique<QSettings>(QString::fromLatin1(kKey), QSettings::NativeFormat);
  if (settings->status() != QSettings::NoError) return nullptr;
  return std::make_unique<QtSettingsKey>(std::move(settings), QString());
}
#endif

}  // namespace quorrel
