#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <cstdint>
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
//   quorrel-manifest 1
//   <SHA-256 in 64 lower-case hex digits> <size in decimal> <path below the root>
//
// The path comes last, so it may hold spaces; every line ends with "\n".
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
  // listed twice.
  static Manifest parse(const QByteArray& text);

  // The entry of `path`, or null when the manifest does not name it.
  const Entry* find(const QString& path) const;
  const std::vector<Entry>& entries() const { return entries_; }

 private:
  std::vector<Entry> entries_;
  QHash<QString, qsizetype> byPath_;
};

// The manifest's text of `entries`, in path order. ManifestError when an
// entry could not be read back (see Manifest::parse).
QByteArray format(std::vector<Entry> entries);

}  // namespace manifest
}  // namespace quorrel
