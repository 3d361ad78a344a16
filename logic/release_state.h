#pragma once

#include <QHash>
#include <QString>
#include <cstdint>

namespace quorrel {

// The highest release of each patch server's game files that this launcher
// has accepted, kept in the player's state folder between runs, so that no
// server (or anyone who takes its place) can take a player back to an older
// release. A file that cannot be read loses only that memory: the signature
// and the expiry still hold.
class ReleaseState {
 public:
  // Far beyond the few servers a player uses; a larger file is not read.
  static constexpr qint64 kMaxFileBytes = 1024 * 1024;

  explicit ReleaseState(const QString& stateFolder);

  // The highest release accepted from `server`; 0 when none was.
  std::int64_t highest(const QString& server) const;
  // Records `version` of `server` when it is above the highest, and writes
  // the file at once. Exception when it cannot be written.
  void accept(const QString& server, std::int64_t version);

  const QString& file() const { return file_; }

 private:
  void load();
  void save() const;

  QString file_;
  QHash<QString, std::int64_t> highest_;
};

}  // namespace quorrel
