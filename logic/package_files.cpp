#include "package_files.h"

#include <QFile>
#include <QSaveFile>

#include "exception.h"
#include "sha256.h"

namespace quorrel::package_files {

namespace {

// Far beyond the few hundred files of a package.
constexpr qint64 kMaxJournalBytes = 1024 * 1024;

QStringList journalPaths() {
  QFile in(kJournal);
  if (!in.open(QIODevice::ReadOnly) || in.size() > kMaxJournalBytes) return {};
  return QString::fromUtf8(in.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void writeJournal(const QStringList& paths) {
  QSaveFile out(kJournal);
  const QByteArray text = (paths.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
  if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit())
    throw Exception("Cannot write " + kJournal.toStdString() + ": " +
                    out.errorString().toStdString());
}

void place(const QString& path) {
  const QString old = path + kOldSuffix;
  QFile::remove(old);
  if (QFile::exists(path) && !QFile::rename(path, old))
    throw Exception("Cannot move " + path.toStdString() + " aside");
  if (!QFile::rename(path + kNewSuffix, path))
    throw Exception("Cannot put the new " + path.toStdString() + " in place");
}

}  // namespace

bool matches(const QString& file, const manifest::Entry& entry) {
  QFile in(file);
  if (!in.open(QIODevice::ReadOnly) || in.size() != entry.size) return false;
  Sha256 hash;
  return hash.addData(in) && hash.result() == entry.sha256;
}

void placeNewFiles(const QStringList& paths) {
  if (paths.isEmpty()) return;
  writeJournal(paths);
  try {
    for (const QString& path : paths) place(path);
  } catch (const Exception&) {
    restoreReplacedFiles();
    throw;
  }
}

void restoreReplacedFiles() {
  const QStringList paths = journalPaths();
  for (auto path = paths.crbegin(); path != paths.crend(); ++path) {
    const QString old = *path + kOldSuffix;
    if (!QFile::exists(old)) continue;
    QFile::remove(*path);
    QFile::rename(old, *path);
  }
  QFile::remove(kJournal);
}

void removeReplacedFiles() {
  for (const QString& path : journalPaths()) QFile::remove(path + kOldSuffix);
  QFile::remove(kJournal);
}

void discardNewFiles(const QStringList& paths) {
  for (const QString& path : paths) QFile::remove(path + kNewSuffix);
}

}  // namespace quorrel::package_files
