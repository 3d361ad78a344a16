#pragma once

#include "application.h"
#include "dialogs.h"
#include "message_box.h"
#include "settings_store.h"
#include "shell.h"

namespace quorrel {

// The services the window uses, each behind an interface so tests can answer
// them with fakes.
struct Platform {
  SettingsStore& settings;
  Dialogs& dialogs;
  Shell& shell;
  MessageBox& messageBox;
  Application& application;
};

// The real services, for main().
struct DesktopPlatform {
  IniSettingsStore settings{IniSettingsStore::userIniFile()};
  QtDialogs dialogs;
  DesktopShell shell;
  QtMessageBox messageBox;
  QtApplication application;

  Platform services() { return {settings, dialogs, shell, messageBox, application}; }
};

}  // namespace quorrel
