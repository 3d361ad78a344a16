#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <vector>

#include "manifest.h"

namespace quorrel {

// The launcher's own release as the distribution server publishes it, signed
// as a whole: the version, until when it may be trusted, the key that signs
// after this one (when the operator replaces the key), and every file of the
// package with its size and SHA-256, by its path below the launcher's folder.
//
//   quorrel-launcher-release 1
//   version <the launcher's version, as version.txt holds it>
//   expires <UTC time: YYYY-MM-DDTHH:MM:SSZ>
//   next-key <Ed25519 public key, 32 bytes in base64>      (only when named)
//   <SHA-256 in 64 lower-case hex digits> <size in decimal> <path>
//
// The files' lines are the manifest's; every line ends with "\n". The files
// lie on the server below "launcher/<version>/", by the same paths.
struct LauncherRelease {
  // Far beyond a package's few hundred files.
  static constexpr qint64 kMaxBytes = 1024 * 1024;

  QString version;
  QDateTime expires;
  QString nextKey;  // empty: the key stays
  std::vector<manifest::Entry> files;

  // ManifestError naming the line when `text` is not such a release: beside
  // what the manifest refuses, a path with a colon or one listed twice in
  // any letter case.
  static LauncherRelease parse(const QByteArray& text);
  // The entry of `path`, or null when the release does not name it.
  const manifest::Entry* find(const QString& path) const;
};

}  // namespace quorrel
