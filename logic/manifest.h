#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

#include "exception.h"

namespace quorrel {

// A manifest that cannot be read, or whose signature is missing or wrong: the
// patch server is not trusted for this run.
class ManifestError : public Exception {
 public:
  using Exception::Exception;
};

// What an operator publishes at the root of the patch tree: every file's
// path, size and SHA-256, so that the launcher can tell a good copy from a
// corrupt one. Plain text, one line per file, sorted by path so that two
// manifests diff well:
//
//   quorrel-manifest 3
//   release <version: a whole number from 1, one above the last release's>
//   expires <UTC time: YYYY-MM-DDTHH:MM:SSZ>
//   mirror <https:// base URL of a host that serves the release's objects>
//   <SHA-256 in 64 lower-case hex digits> <size in decimal> <path below the root>
//
// The path comes last, so it may hold spaces; every line ends with "\n".
// The release lines are inside what is signed, so a server can neither take
// players back to an older release nor keep them on one for ever. Format 2
// is format 3 without mirror lines (zero or more of them, in the order to
// try them); format 1 has no release lines either, and launchers without an
// update key still read it.
namespace manifest {

// Names no game client uses: a dot-file at the root of the tree. The
// signature is the one `tools/sign-update sign` writes beside a file.
inline const QString kFileName = QStringLiteral(".quorrel-manifest");
inline const QString kSignatureFileName = QStringLiteral(".quorrel-manifest.sig");

// Far beyond the manifest of any game client, short of what would exhaust
// the player's memory.
constexpr qint64 kMaxBytes = 96 * 1024 * 1024;
constexpr qint64 kMaxSignatureBytes = 1024;
constexpr qsizetype kMaxPathBytes = 4096;
constexpr qsizetype kMaxMirrors = 16;
constexpr qsizetype kMaxMirrorUrlBytes = 2048;

// Which release a manifest of format 2 describes.
struct Release {
  std::int64_t version = 0;  // 1 and above; only ever goes up
  QDateTime expires;         // UTC, to the second
  bool operator==(const Release&) const = default;
};

struct Entry {
  QString path;  // relative, "/"-separated
  std::int64_t size = 0;
  QByteArray sha256;  // the 32 bytes of the digest
};

class Manifest {
 public:
  // ManifestError naming the line when `text` is not a manifest: a missing
  // header, a line too long, a size or digest that is malformed, a path that
  // is empty, absolute, holds "." or ".." or a control character, or is
  // listed twice; a release version or expiry that is malformed.
  static Manifest parse(const QByteArray& text);

  // The release of a manifest of format 2 or 3; nothing for format 1.
  const std::optional<Release>& release() const { return release_; }
  // The base URLs of the mirrors a manifest of format 3 names, in its order.
  const QStringList& mirrors() const { return mirrors_; }
  // The entry of `path`, or null when the manifest does not name it.
  const Entry* find(const QString& path) const;
  const std::vector<Entry>& entries() const { return entries_; }

 private:
  void add(Entry entry, qsizetype number);
  void addMirror(const QByteArray& url, qsizetype number);

  std::optional<Release> release_;
  QStringList mirrors_;
  std::vector<Entry> entries_;
  QHash<QString, qsizetype> byPath_;
};

// The manifest's text of `entries`, in path order: format 3 with `release`
// and `mirrors`, format 2 with `release` alone, format 1 with neither.
// ManifestError when an entry, the release or a mirror could not be read
// back (see Manifest::parse), or mirrors are given without a release.
QByteArray format(std::vector<Entry> entries, const std::optional<Release>& release = {},
                  const QStringList& mirrors = {});

// Why `url` cannot be a mirror's base URL, or empty when it can: only an
// https:// URL of a host, without user, query or fragment.
QString mirrorUrlProblem(const QString& url);

// Where a mirror keeps the object of the file with digest `sha256` (the 32
// bytes), below its base URL: "objects/ab/abcdef…", the hex digest split
// after its first two digits so that no folder of a static host grows too
// large. The same file has the same name in every release.
QString objectPath(const QByteArray& sha256);
// The object's URL on the mirror at `baseUrl`.
QString objectUrl(const QString& baseUrl, const QByteArray& sha256);

// The text of an expiry time as the manifest holds it.
QString expiryText(const QDateTime& expires);

// The lines that other signed lists of files (the launcher's own release)
// share with the manifest. `document` names the text in an error.
Entry parseEntry(const QByteArray& line, qsizetype number, const QString& document);
// The line "expires <UTC time>"; only the one spelling expiryText() writes,
// so a signed text means one time.
QDateTime parseExpiry(const QByteArray& line, qsizetype number, const QString& document);
QByteArray entryLine(const Entry& entry);

}  // namespace manifest
}  // namespace quorrel
