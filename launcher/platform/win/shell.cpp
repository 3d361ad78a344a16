#include <windows.h>
// shellapi.h needs windows.h first
#include <shellapi.h>

#include <QDir>
#include <QFileInfo>

#include "platform/shell.h"

namespace quorrel {

namespace {

// Verb "open", no parameters, no working folder of its own (a started program
// inherits the launcher's current folder), a normal window, no owner window.
// ShellExecuteW reports success with a value above 32.
bool shellOpen(const QString& target) {
  const auto result = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", reinterpret_cast<const wchar_t*>(target.utf16()), nullptr,
                    nullptr, SW_SHOWNORMAL));
  return result > 32;
}

}  // namespace

void DesktopShell::openUrl(const QString& url) {
  shellOpen(url);
}

// A bare name is the current folder's file: the shell would look in the
// launcher's own folder first, and start the file of that name there.
bool DesktopShell::openFile(const QString& file) {
  return shellOpen(QDir::toNativeSeparators(QFileInfo(file).absoluteFilePath()));
}

}  // namespace quorrel
