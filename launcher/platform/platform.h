#pragma once

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
  SystemSettingsStore settings;
  QtDialogs dialogs;
  DesktopShell shell;
  QtMessageBox messageBox;
  QtApplication application;
  ThreadSleeper sleeper;
  CurlHttpClient http{{.caFile = LauncherConfig::fromBuild().caFile}};
  SteadyClock clock;
  SupportLog log{SupportLog::defaultFile()};

  Platform services() {
    return {settings,    dialogs, shell, messageBox,
            application, sleeper, http,  QsshlibBinding::instance(),
            clock,       log};
  }
};

}  // namespace quorrel
