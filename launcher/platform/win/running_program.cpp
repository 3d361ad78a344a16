#include <windows.h>

#include <QCoreApplication>
#include <QDir>
#include <QMetaObject>
#include <vector>

#include "platform/system.h"

namespace quorrel::system {

namespace {

std::function<void()>& terminationHandler() {
  static std::function<void()> handler;
  return handler;
}

// Runs on a thread of the system's; the handler runs in the message loop.
BOOL WINAPI noteConsoleEvent(DWORD) {
  QMetaObject::invokeMethod(
      qApp, [] { terminationHandler()(); }, Qt::QueuedConnection);
  return TRUE;
}

}  // namespace

QString runningProgramPath() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return QString();
    if (length < path.size())
      return QDir::fromNativeSeparators(
          QString::fromWCharArray(path.data(), static_cast<qsizetype>(length)));
    path.resize(path.size() * 2);
  }
}

// A window program hears of the end of the session through the message loop
// (Qt's commit request); a console it was started from may also ask it to stop.
void onTerminationRequest(std::function<void()> handler) {
  terminationHandler() = std::move(handler);
  SetConsoleCtrlHandler(&noteConsoleEvent, TRUE);
}

}  // namespace quorrel::system
