#include "support_log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace quorrel {

SupportLog::SupportLog(QString file, qint64 maxBytes)
    : file_(std::move(file)), maxBytes_(maxBytes) {}

QString SupportLog::defaultFile() {
#ifdef Q_OS_WIN
  // %LOCALAPPDATA%: the per-user folder of data that stays on this machine.
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
         QStringLiteral("/Quorrel/launcher.log");
#else
  QString state = qEnvironmentVariable("XDG_STATE_HOME");
  if (state.isEmpty() || QDir::isRelativePath(state))
    state = QDir::homePath() + QStringLiteral("/.local/state");
  return state + QStringLiteral("/Quorrel/launcher.log");
#endif
}

void SupportLog::write(const QString& line) {
  if (!folderMade_) folderMade_ = QDir().mkpath(QFileInfo(file_).path());
  rotateIfFull();
  QFile out(file_);
  if (!out.open(QIODevice::WriteOnly | QIODevice::Append)) return;
  const QString stamped =
      QDateTime::currentDateTime().toString(Qt::ISODateWithMs) + QChar(' ') + line + QChar('\n');
  out.write(stamped.toUtf8());
}

// The current file becomes the one older copy, replacing the copy before it.
void SupportLog::rotateIfFull() {
  if (QFileInfo(file_).size() < maxBytes_) return;
  const QString older = file_ + QStringLiteral(".1");
  QFile::remove(older);
  QFile::rename(file_, older);
}

}  // namespace quorrel
