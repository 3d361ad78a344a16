#pragma once

#include <QCoreApplication>

#include "application.h"
#include "clock.h"
#include "dialogs.h"
#include "http_client.h"
#include "launcher_config.h"
#include "message_box.h"
#include "qsshlib_binding.h"
#include "settings_store.h"
#include "shell.h"
#include "sleeper.h"
#include "support_log.h"

namespace quorrel {

// The services the window uses, each behind an interface so tests can answer
// them with fakes.
struct Platform {
  SettingsStore& settings;
  Dialogs& dialogs;
  Shell& shell;
  MessageBox& messageBox;
  Application& application;
  Sleeper& sleeper;
  HttpClient& http;
  QsshlibBinding& sftpLibrary;
  Clock& clock;
  SupportLog& log;
};

// The real services, for main().
struct DesktopPlatform {
  QtApplication application;
  SystemSettingsStore settings;
  QtDialogs dialogs{application};
  DesktopShell shell;
  QtMessageBox messageBox{application};
  ThreadSleeper sleeper;
  // A request the launcher waits for keeps the window and the signals served,
  // and ends once the program is ending.
  CurlHttpClient http{{.caFile = LauncherConfig::fromBuild().caFile, .whileWaiting = [this] {
                         QCoreApplication::processEvents();
                         if (application.quitRequested())
                           throw HttpError("The launcher is closing");
                       }}};
  SteadyClock clock;
  SupportLog log{SupportLog::defaultFile()};

  Platform services() {
    return {settings,    dialogs, shell, messageBox,
            application, sleeper, http,  QsshlibBinding::instance(),
            clock,       log};
  }
};

}  // namespace quorrel
