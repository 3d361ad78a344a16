#include "hash_cache.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>
#include <vector>

#include "exception.h"

namespace quorrel {

namespace {

const QByteArray kHeader = QByteArrayLiteral("quorrel-hash-cache 1");
constexpr qsizetype kDigestBytes = 32;

// The game folder's own name, as a digest so that any path makes a short file name.
QString cacheFileName(const QString& gameFolder) {
  const QString folder = QFileInfo(gameFolder).canonicalFilePath();
  const QByteArray digest = QCryptographicHash::hash(
      (folder.isEmpty() ? gameFolder : folder).toUtf8(), QCryptographicHash::Sha256);
  return QStringLiteral("hashes-") + QString::fromLatin1(digest.toHex().left(16)) +
         QStringLiteral(".txt");
}

// "<digest> <size> <modified> <changed> <path>": the path last, since it may hold spaces.
std::optional<std::pair<QString, FileStamp>> parseLine(const QByteArray& line, QByteArray& sha256) {
  const QList<QByteArray> fields = line.split(' ');
  if (fields.size() < 5) return std::nullopt;
  bool sizeOk = false;
  bool modifiedOk = false;
  bool changedOk = false;
  const FileStamp stamp{fields[1].toLongLong(&sizeOk), fields[2].toLongLong(&modifiedOk),
                        fields[3].toLongLong(&changedOk)};
  sha256 = QByteArray::fromHex(fields[0]);
  qsizetype pathStart = 0;
  for (int field = 0; field < 4; ++field) pathStart += fields[field].size() + 1;
  if (!sizeOk || !modifiedOk || !changedOk || sha256.size() != kDigestBytes) return std::nullopt;
  return std::pair{QString::fromUtf8(line.mid(pathStart)), stamp};
}

}  // namespace

HashCache::HashCache(const QString& stateFolder, const QString& gameFolder)
    : file_(stateFolder + QChar('/') + cacheFileName(gameFolder)) {
  load();
}

// Lines it cannot read are left out: the files they stood for are hashed
// again. Neither the file nor a line of it is taken whole into memory
// beyond the bounds of a cache the launcher writes.
void HashCache::load() {
  if (QFileInfo(file_).isSymLink()) return;
  QFile in(file_);
  if (!in.open(QIODevice::ReadOnly)) return;
  if (in.size() > kMaxFileBytes) {
    discarded_ = true;
    return;
  }
  // A line, its line feed and readLine()'s terminating zero.
  std::vector<char> buffer(static_cast<size_t>(kMaxLineBytes) + 2);
  const auto readLine = [&] { return in.readLine(buffer.data(), qint64(buffer.size())); };
  qint64 got = readLine();
  if (got <= 0 || QByteArray(buffer.data(), got).trimmed() != kHeader) return;
  bool inLongLine = false;  // the rest of a line too long to be ours is passed over
  while ((got = readLine()) > 0) {
    const bool ended = buffer[static_cast<size_t>(got) - 1] == '\n';
    if (inLongLine || !ended) {
      if (!ended && in.atEnd()) break;  // cut short while it was written
      inLongLine = !ended;
      continue;
    }
    const QByteArray line(buffer.data(), got - 1);
    QByteArray sha256;
    if (const auto entry = parseLine(line, sha256))
      entries_.insert(entry->first, Cached{entry->second, sha256});
  }
}

std::optional<QByteArray> HashCache::find(const QString& path, const FileStamp& stamp) {
  const auto found = entries_.find(path);
  if (found == entries_.end() || found->stamp != stamp) return std::nullopt;
  found->used = true;
  return found->sha256;
}

void HashCache::record(const QString& path, const FileStamp& stamp, const QByteArray& sha256) {
  entries_.insert(path, Cached{stamp, sha256, true});
  recorded_ = true;
}

bool HashCache::changed() const {
  return recorded_ || discarded_ ||
         std::any_of(entries_.cbegin(), entries_.cend(),
                     [](const Cached& entry) { return !entry.used; });
}

void HashCache::save() const {
  if (!changed()) return;
  QDir().mkpath(QFileInfo(file_).path());
  // A link in the cache's place is replaced, never written through.
  if (QFileInfo(file_).isSymLink()) QFile::remove(file_);
  QSaveFile out(file_);
  QByteArray text = kHeader + '\n';
  for (auto entry = entries_.cbegin(); entry != entries_.cend(); ++entry)
    if (entry->used)
      text += entry->sha256.toHex() + ' ' + QByteArray::number(entry->stamp.size) + ' ' +
              QByteArray::number(entry->stamp.modifiedNs) + ' ' +
              QByteArray::number(entry->stamp.changedNs) + ' ' + entry.key().toUtf8() + '\n';
  if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit())
    throw Exception("Cannot write the hash cache " + file_.toStdString() + ": " +
                    out.errorString().toStdString());
}

}  // namespace quorrel
