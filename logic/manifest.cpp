#include "manifest.h"

#include <QTimeZone>
#include <QUrl>
#include <algorithm>

namespace quorrel::manifest {

namespace {

const QByteArray kHeader1 = QByteArrayLiteral("quorrel-manifest 1");
const QByteArray kHeader2 = QByteArrayLiteral("quorrel-manifest 2");
const QByteArray kHeader3 = QByteArrayLiteral("quorrel-manifest 3");
const QByteArray kMirrorKey = QByteArrayLiteral("mirror ");
const QByteArray kReleaseKey = QByteArrayLiteral("release ");
const QByteArray kExpiresKey = QByteArrayLiteral("expires ");
constexpr qsizetype kDigestHexDigits = 64;
constexpr qsizetype kMaxSizeDigits = 19;  // the largest signed 64-bit count
constexpr qsizetype kMaxLineBytes = kDigestHexDigits + 1 + kMaxSizeDigits + 1 + kMaxPathBytes;

bool isLowerHex(const QByteArray& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool isDecimal(const QByteArray& text) {
  return !text.isEmpty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A count in plain decimal, without sign or leading zeros, that fits 64 bits.
std::optional<std::int64_t> countOf(const QByteArray& text) {
  if (!isDecimal(text) || text.size() > kMaxSizeDigits || (text.size() > 1 && text.startsWith('0')))
    return std::nullopt;
  bool ok = false;
  const std::int64_t count = text.toLongLong(&ok);
  return ok ? std::optional(count) : std::nullopt;
}

// Why `path` cannot name a file below the game folder, or empty when it can.
// A path must lead to the same place on every system, and never out of the folder.
QString pathProblem(const QByteArray& path) {
  if (path.isEmpty()) return QStringLiteral("the path is empty");
  if (path.size() > kMaxPathBytes)
    return QStringLiteral("the path is longer than %1 bytes").arg(kMaxPathBytes);
  if (QString::fromUtf8(path).toUtf8() != path) return QStringLiteral("the path is not UTF-8");
  if (std::any_of(path.begin(), path.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
    return QStringLiteral("the path holds a control character");
  if (path.contains('\\')) return QStringLiteral("the path holds a backslash");
  if (path.startsWith('/')) return QStringLiteral("the path is absolute");
  for (const QByteArray& component : path.split('/')) {
    if (component.isEmpty()) return QStringLiteral("the path holds an empty folder name");
    if (component == "." || component == "..")
      return QStringLiteral("the path holds \"%1\"").arg(QString::fromLatin1(component));
  }
  return {};
}

const QString kManifest = QStringLiteral("the manifest");

[[noreturn]] void refuseLine(const QString& document, qsizetype number, const QString& reason) {
  throw ManifestError(
      QStringLiteral("Line %1 of %2: %3").arg(number).arg(document, reason).toStdString());
}

[[noreturn]] void refuseLine(qsizetype number, const QString& reason) {
  refuseLine(kManifest, number, reason);
}

std::int64_t parseVersion(const QByteArray& line, qsizetype number) {
  const std::optional<std::int64_t> version =
      line.startsWith(kReleaseKey) ? countOf(line.mid(kReleaseKey.size())) : std::nullopt;
  if (!version || *version < 1)
    refuseLine(number, QStringLiteral("not \"release\" and a whole number from 1"));
  return *version;
}

QByteArray releaseLines(const Release& release) {
  return kReleaseKey + QByteArray::number(release.version) + '\n' + kExpiresKey +
         expiryText(release.expires).toLatin1() + '\n';
}

}  // namespace

Manifest Manifest::parse(const QByteArray& text) {
  if (text.size() > kMaxBytes)
    throw ManifestError("The manifest is larger than " + std::to_string(kMaxBytes) + " bytes");
  if (!text.isEmpty() && !text.endsWith('\n'))
    throw ManifestError("The manifest ends in the middle of a line");
  Manifest manifest;
  qsizetype number = 0;
  qsizetype firstEntry = 2;  // the number of the first file's line, or of a mirror's
  bool mayNameMirrors = false;
  for (qsizetype start = 0; start < text.size();) {
    const qsizetype end = text.indexOf('\n', start);
    const QByteArray line = text.mid(start, end - start);
    start = end + 1;
    ++number;
    if (line.size() > kMaxLineBytes)
      refuseLine(number, QStringLiteral("longer than %1 bytes").arg(kMaxLineBytes));
    if (number == 1) {
      if (line == kHeader2 || line == kHeader3) {
        manifest.release_.emplace();
        firstEntry = 4;
        mayNameMirrors = line == kHeader3;
      } else if (line != kHeader1) {
        refuseLine(number, QStringLiteral("not \"%1\", \"%2\" or \"%3\"")
                               .arg(QString::fromLatin1(kHeader1), QString::fromLatin1(kHeader2),
                                    QString::fromLatin1(kHeader3)));
      }
    } else if (number < firstEntry) {
      if (number == 2)
        manifest.release_->version = parseVersion(line, number);
      else
        manifest.release_->expires = parseExpiry(line, number, kManifest);
    } else if (mayNameMirrors && line.startsWith(kMirrorKey)) {
      manifest.addMirror(line.mid(kMirrorKey.size()), number);
    } else {
      mayNameMirrors = false;  // the mirrors come before the files
      manifest.add(parseEntry(line, number, kManifest), number);
    }
  }
  if (number == 0) throw ManifestError("The manifest is empty");
  if (number < firstEntry - 1) throw ManifestError("The manifest ends before its release lines");
  return manifest;
}

void Manifest::addMirror(const QByteArray& url, qsizetype number) {
  if (mirrors_.size() == kMaxMirrors)
    refuseLine(number, QStringLiteral("more than %1 mirrors").arg(kMaxMirrors));
  const QString text = QString::fromUtf8(url);
  if (text.toUtf8() != url) refuseLine(number, QStringLiteral("the mirror's URL is not UTF-8"));
  if (const QString problem = mirrorUrlProblem(text); !problem.isEmpty())
    refuseLine(number, problem);
  if (mirrors_.contains(text)) refuseLine(number, QStringLiteral("%1 is named twice").arg(text));
  mirrors_.append(text);
}

void Manifest::add(Entry entry, qsizetype number) {
  if (byPath_.contains(entry.path))
    refuseLine(number, QStringLiteral("%1 is listed twice").arg(entry.path));
  byPath_.insert(entry.path, qsizetype(entries_.size()));
  entries_.push_back(std::move(entry));
}

const Entry* Manifest::find(const QString& path) const {
  const auto found = byPath_.constFind(path);
  return found == byPath_.constEnd() ? nullptr : &entries_[*found];
}

QByteArray format(std::vector<Entry> entries, const std::optional<Release>& release,
                  const QStringList& mirrors) {
  if (!mirrors.isEmpty() && !release)
    throw ManifestError("A manifest names mirrors only with its release");
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.path.toUtf8() < b.path.toUtf8(); });
  QByteArray text = (!release ? kHeader1 : mirrors.isEmpty() ? kHeader2 : kHeader3) + '\n';
  if (release) text += releaseLines(*release);
  for (const QString& mirror : mirrors) {
    if (const QString problem = mirrorUrlProblem(mirror); !problem.isEmpty())
      throw ManifestError(mirror.toStdString() + ": " + problem.toStdString());
    text += kMirrorKey + mirror.toUtf8() + '\n';
  }
  for (const Entry& entry : entries) {
    if (const QString problem = pathProblem(entry.path.toUtf8()); !problem.isEmpty())
      throw ManifestError(entry.path.toStdString() + ": " + problem.toStdString());
    text += entryLine(entry);
  }
  Manifest::parse(text);  // what the launcher would refuse is never published
  return text;
}

// A mirror is reached over HTTPS only, so that nobody on the way can delay
// or drop its objects unseen; the URL names a place, nothing more.
QString mirrorUrlProblem(const QString& url) {
  if (url.toUtf8().size() > kMaxMirrorUrlBytes)
    return QStringLiteral("the mirror's URL is longer than %1 bytes").arg(kMaxMirrorUrlBytes);
  const QUrl parsed(url, QUrl::StrictMode);
  if (!parsed.isValid() || parsed.scheme() != QStringLiteral("https") || parsed.host().isEmpty() ||
      !url.startsWith(QStringLiteral("https://")))
    return QStringLiteral("the mirror's URL is not an https:// URL of a host");
  if (!parsed.userInfo().isEmpty() || parsed.hasQuery() || parsed.hasFragment())
    return QStringLiteral("the mirror's URL holds a user, a query or a fragment");
  if (std::any_of(url.begin(), url.end(),
                  [](QChar c) { return c.isSpace() || c.unicode() < 0x20; }))
    return QStringLiteral("the mirror's URL holds a space or a control character");
  return {};
}

QString objectPath(const QByteArray& sha256) {
  const QString hex = QString::fromLatin1(sha256.toHex());
  return QStringLiteral("objects/%1/%2").arg(hex.left(2), hex);
}

QString objectUrl(const QString& baseUrl, const QByteArray& sha256) {
  QString base = baseUrl;
  while (base.endsWith(QChar('/'))) base.chop(1);
  return base + QChar('/') + objectPath(sha256);
}

Entry parseEntry(const QByteArray& line, qsizetype number, const QString& document) {
  const qsizetype firstSpace = line.indexOf(' ');
  const qsizetype secondSpace = firstSpace < 0 ? -1 : line.indexOf(' ', firstSpace + 1);
  if (secondSpace < 0)
    refuseLine(document, number, QStringLiteral("not a digest, a size and a path"));
  const QByteArray digest = line.left(firstSpace);
  const QByteArray size = line.mid(firstSpace + 1, secondSpace - firstSpace - 1);
  const QByteArray path = line.mid(secondSpace + 1);
  if (digest.size() != kDigestHexDigits || !isLowerHex(digest))
    refuseLine(document, number, QStringLiteral("the digest is not 64 lower-case hex digits"));
  const std::optional<std::int64_t> bytes = countOf(size);
  if (!bytes) refuseLine(document, number, QStringLiteral("the size is not a decimal byte count"));
  if (const QString problem = pathProblem(path); !problem.isEmpty())
    refuseLine(document, number, problem);
  return {QString::fromUtf8(path), *bytes, QByteArray::fromHex(digest)};
}

// Only the one spelling expiryText() writes, so the signed text means one time.
QDateTime parseExpiry(const QByteArray& line, qsizetype number, const QString& document) {
  const QString text = QString::fromLatin1(line.mid(kExpiresKey.size()));
  const QDateTime expires(QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd")),
                          QTime::fromString(text.mid(11, 8), QStringLiteral("HH:mm:ss")),
                          QTimeZone::utc());
  if (!line.startsWith(kExpiresKey) || !expires.isValid() || expiryText(expires) != text)
    refuseLine(document, number,
               QStringLiteral("not \"expires\" and a UTC time as 2027-01-31T12:00:00Z"));
  return expires;
}

QByteArray entryLine(const Entry& entry) {
  return entry.sha256.toHex() + ' ' + QByteArray::number(entry.size) + ' ' + entry.path.toUtf8() +
         '\n';
}

QString expiryText(const QDateTime& expires) {
  return expires.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

}  // namespace quorrel::manifest
