#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <memory>

#include "colours.h"
#include "fakes.h"
#include "form1.h"

namespace quorrel::testing {

// The real window with faked dialogs, shell, message box and application, and
// a real settings file in a temporary folder.
class FormHarness {
 public:
  FormHarness() : iniFile_(root_.filePath("config/Quorrel/Quorrel.ini")), store_(iniFile_) {
    log = SupportLog(root_.filePath("state/Quorrel/launcher.log"));
    config_.siteUrl = "https://site.test/";
    config_.communityUrl = "https://community.test/invite";
    config_.talentsUrl = "https://site.test/talents";
    config_.projectUrl = "https://project.test/launcher";
  }

  // Creates the window on the given store, shell and web client (the real
  // store, the fake shell and the fake web client by default) and runs its start-up.
  TForm1& start(SettingsStore* store = nullptr, Shell* realShell = nullptr,
                HttpClient* realHttp = nullptr) {
    form_ = std::make_unique<TForm1>(
        config_, Platform{store ? *store : store_, *dialogService, realShell ? *realShell : shell,
                          *messageBoxService, *applicationService, *windowSleeper,
                          realHttp ? *realHttp : http, *sftpLibrary, clock, log});
    form_->create();
    return *form_;
  }
  TForm1& form() { return *form_; }

  // A folder below the temporary root; with a WoW.exe file when `withGame`.
  // The folder as the system names it, as the folder browser gives it.
  QString makeFolder(const QString& name, bool withGame) {
    const QString path = root_.filePath(name);
    QDir().mkpath(path);
    if (withGame) touch(path + "/WoW.exe");
    return QDir::toNativeSeparators(path);
  }
  QString path(const QString& name) const { return root_.filePath(name); }

  static void touch(const QString& file, const QByteArray& content = {}) {
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly)) << file.toStdString();
    out.write(content);
  }

  // The settings file, written and read as raw INI text.
  const QString& iniFile() const { return iniFile_; }
  void writeIni(const QByteArray& text) {
    QDir().mkpath(QFileInfo(iniFile_).path());
    touch(iniFile_, text);
  }
  QByteArray iniBytes() const {
    QFile in(iniFile_);
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
  }
  void storeSetting(const QString& name, const QString& value) {
    QSettings settings(iniFile_, QSettings::IniFormat);
    settings.setValue("SOFTWARE/Quorrel/" + name, value);
  }
  QVariant storedSetting(const QString& name) const {
    QSettings settings(iniFile_, QSettings::IniFormat);
    return settings.value("SOFTWARE/Quorrel/" + name);
  }

  LauncherConfig& config() { return config_; }

  FakeDialogs dialogs;
  FakeShell shell;
  FakeMessageBox messageBox;
  FakeApplication application;
  FakeSleeper sleeper;
  // The window pauses through this one; a benchmark points it at a real sleeper.
  Sleeper* windowSleeper = &sleeper;
  // The services the window uses: the fakes above, unless a launcher in a
  // process of its own points them at the real ones.
  Dialogs* dialogService = &dialogs;
  MessageBox* messageBoxService = &messageBox;
  Application* applicationService = &application;
  FakeHttpClient http;
  FakeClock clock;
  // The support log of this window, in the temporary folder.
  SupportLog log{QString()};  // set to a file of the temporary folder once it exists
  // The SFTP library the flows load; a test may name one that cannot be loaded.
  QsshlibBinding* sftpLibrary = &QsshlibBinding::instance();

 private:
  QTemporaryDir root_;
  QString iniFile_;
  IniSettingsStore store_;
  LauncherConfig config_;
  std::unique_ptr<TForm1> form_;
};

}  // namespace quorrel::testing
