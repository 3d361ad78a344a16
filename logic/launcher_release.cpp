#include "launcher_release.h"

#include <QSet>

#include "update_signature.h"
#include "version_number.h"

namespace quorrel {

namespace {

const QString kDocument = QStringLiteral("the launcher release");
const QByteArray kHeader = QByteArrayLiteral("quorrel-launcher-release 1");
const QByteArray kVersionKey = QByteArrayLiteral("version ");
const QByteArray kNextKeyKey = QByteArrayLiteral("next-key ");
// version.txt's bound: a longer version is never announced.
constexpr qsizetype kMaxVersionLength = 9;

[[noreturn]] void refuseLine(qsizetype number, const QString& reason) {
  throw ManifestError(
      QStringLiteral("Line %1 of %2: %3").arg(number).arg(kDocument, reason).toStdString());
}

QString parseVersion(const QByteArray& line, qsizetype number) {
  const QString version = QString::fromLatin1(line.mid(kVersionKey.size()));
  bool readable =
      line.startsWith(kVersionKey) && !version.isEmpty() && version.size() <= kMaxVersionLength;
  try {
    if (readable) versionNumber(version);
  } catch (const ConvertError&) {
    readable = false;
  }
  if (!readable) refuseLine(number, QStringLiteral("not \"version\" and a launcher version"));
  return version;
}

QString parseNextKey(const QByteArray& line, qsizetype number) {
  const QString key = QString::fromLatin1(line.mid(kNextKeyKey.size()));
  if (!isUpdateKey(key) || key != key.trimmed())
    refuseLine(number, QStringLiteral("the next key is not 32 bytes in base64"));
  return key;
}

QList<QByteArray> linesOf(const QByteArray& text) {
  if (text.size() > LauncherRelease::kMaxBytes)
    throw ManifestError("The launcher release is larger than " +
                        std::to_string(LauncherRelease::kMaxBytes) + " bytes");
  if (text.isEmpty() || !text.endsWith('\n'))
    throw ManifestError("The launcher release is empty or ends in the middle of a line");
  QList<QByteArray> lines = text.split('\n');
  lines.removeLast();
  if (lines.size() < 3) throw ManifestError("The launcher release ends before its files");
  return lines;
}

}  // namespace

LauncherRelease LauncherRelease::parse(const QByteArray& text) {
  const QList<QByteArray> lines = linesOf(text);
  if (lines[0] != kHeader)
    refuseLine(1, QStringLiteral("not \"%1\"").arg(QString::fromLatin1(kHeader)));
  LauncherRelease release;
  release.version = parseVersion(lines[1], 2);
  release.expires = manifest::parseExpiry(lines[2], 3, kDocument);
  qsizetype number = 4;
  if (lines.size() > 3 && lines[3].startsWith(kNextKeyKey))
    release.nextKey = parseNextKey(lines[3], number++);
  QSet<QString> paths;
  for (; number <= lines.size(); ++number) {
    manifest::Entry entry = manifest::parseEntry(lines[number - 1], number, kDocument);
    // On Windows "C:/..." names another drive and "a:b" a stream of the file "a".
    if (entry.path.contains(QLatin1Char(':')))
      refuseLine(number, QStringLiteral("the path holds a colon"));
    if (paths.contains(entry.path.toLower()))
      refuseLine(number, QStringLiteral("%1 is listed twice").arg(entry.path));
    paths.insert(entry.path.toLower());
    release.files.push_back(std::move(entry));
  }
  return release;
}

const manifest::Entry* LauncherRelease::find(const QString& path) const {
  for (const manifest::Entry& entry : files)
    if (entry.path == path) return &entry;
  return nullptr;
}

}  // namespace quorrel
