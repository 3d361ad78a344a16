#pragma once

#include <QString>

namespace quorrel {

// The log a player can send to support: what the flows did and why they
// ended, each line with its time, in a file of a few MiB at most with one
// older copy beside it ("<file>.1"). Writing it is best effort: a log that
// cannot be written never stops the launcher. A link at the log's name is
// never written through.
class SupportLog {
 public:
  static constexpr qint64 kMaxBytes = 4 * 1024 * 1024;

  explicit SupportLog(QString file, qint64 maxBytes = kMaxBytes);
  // The per-user state folder's log: $XDG_STATE_HOME/Quorrel/launcher.log,
  // or ~/.local/state/Quorrel/launcher.log without that variable; on Windows
  // %LOCALAPPDATA%/Quorrel/launcher.log.
  static QString defaultFile();

  // Writes `line` with its time. Its control characters are escaped (see
  // escaped()), so that no text from elsewhere, a file name from the patch
  // server say, can end a line early, forge one, or drive the terminal or
  // the text direction of whoever reads the log.
  void write(const QString& line);
  const QString& file() const { return file_; }
  // The per-user state folder the launcher keeps beside the log: the digest
  // caches, the releases and keys it accepted.
  QString stateFolder() const;

  // `text` with every character that could break or disguise a line written
  // as an escape: tab, line feed and carriage return as \t, \n and \r; the
  // other C0 controls, DEL and the C1 controls as \x1b, \x7f, \x85; the line
  // and paragraph separators and the bidirectional controls as \u2028,
  // \u202e and so on. Everything else is kept as it is.
  static QString escaped(const QString& text);

 private:
  static QByteArray stamped(const QString& line);
  QString file_;
  qint64 maxBytes_;
  bool folderMade_ = false;
};

}  // namespace quorrel
