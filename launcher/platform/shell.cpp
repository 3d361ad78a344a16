#include "shell.h"

#include <QDesktopServices>
#include <QDir>
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

}  // namespace

void DesktopShell::openUrl(const QString& url) {
  QDesktopServices::openUrl(QUrl(url));
}

void DesktopShell::openFile(const QString& file) {
  const QString runner = windowsProgramRunner();
  if (!runner.isEmpty())
    QProcess::startDetached(runner, {file}, QDir::currentPath());
  else
    QProcess::startDetached(QStringLiteral("xdg-open"), {file}, QDir::currentPath());
}

}  // namespace quorrel
