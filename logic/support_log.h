#pragma once

#include <QString>

namespace quorrel {

// The log a player can send to support: what the flows did and why they
// ended, each line with its time, in a file of a few MiB at most with one
// older copy beside it ("<file>.1"). Writing it is best effort: a log that
// cannot be written never stops the launcher.
class SupportLog {
 public:
  static constexpr qint64 kMaxBytes = 4 * 1024 * 1024;

  explicit SupportLog(QString file, qint64 maxBytes = kMaxBytes);
  // The per-user state folder's log: $XDG_STATE_HOME/Quorrel/launcher.log,
  // or ~/.local/state/Quorrel/launcher.log without that variable; on Windows
  // %LOCALAPPDATA%/Quorrel/launcher.log.
  static QString defaultFile();

  void write(const QString& line);
  const QString& file() const { return file_; }

 private:
  void rotateIfFull();
  QString file_;
  qint64 maxBytes_;
  bool folderMade_ = false;
};

}  // namespace quorrel
