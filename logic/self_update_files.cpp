#include "self_update_files.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include "exception.h"

namespace quorrel {

namespace {

constexpr qint64 kCopyBlockBytes = 1024 * 1024;
constexpr QFile::Permissions kExecutable =
    QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther;

}  // namespace

QString ownProgramName(const QString& executablePath) {
  return QString(executablePath)
      .remove(QDir::currentPath() + QLatin1Char('/'), Qt::CaseInsensitive);
}

void makeExecutable(const QString& file) {
  QFile::setPermissions(file, QFile::permissions(file) | kExecutable);
}

bool replaceMainExecutable(const QString& updateFile, const QString& mainExecutable) {
  QFile update(updateFile);
  QSaveFile main(mainExecutable);
  if (!update.open(QIODevice::ReadOnly) || !main.open(QIODevice::WriteOnly)) return false;
  for (QByteArray block; !(block = update.read(kCopyBlockBytes)).isEmpty();) main.write(block);
  if (update.error() != QFile::NoError) main.cancelWriting();
  main.setPermissions(main.permissions() | kExecutable);
  return main.commit();
}

QByteArray contentOf(const QString& file) {
  QFile in(file);
  if (!in.open(QIODevice::ReadOnly))
    throw Exception((file + QStringLiteral(": ") + in.errorString()).toStdString());
  return in.readAll();
}

}  // namespace quorrel
