#include "platform/shell.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace quorrel {

namespace {

QString windowsProgramRunner() {
  const QString named = qEnvironmentVariable("WINE");
  if (!named.isEmpty()) {
    const QString found = QStandardPaths::findExecutable(named);
    if (!found.isEmpty()) return found;
  }
  return QStandardPaths::findExecutable(QStringLiteral("wine"));
}

// Executable, and no Windows program: those begin with "MZ" and may carry
// execute permission when copied from other systems.
bool isNativeProgram(const QString& file) {
  const QFileInfo info(file);
  if (!info.isFile() || !info.isExecutable()) return false;
  QFile program(file);
  return program.open(QIODevice::ReadOnly) && program.read(2) != "MZ";
}

}  // namespace

void DesktopShell::openUrl(const QString& url) {
  QDesktopServices::openUrl(QUrl(url));
}

bool DesktopShell::openFile(const QString& file) {
  // Absolute, so that a bare name is not looked up in PATH.
  if (isNativeProgram(file))
    return QProcess::startDetached(QFileInfo(file).absoluteFilePath(), {}, QDir::currentPath());
  const QString runner = windowsProgramRunner();
  if (!runner.isEmpty()) return QProcess::startDetached(runner, {file}, QDir::currentPath());
  return QProcess::startDetached(QStringLiteral("xdg-open"), {file}, QDir::currentPath());
}

}  // namespace quorrel
