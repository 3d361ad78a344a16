#include "support_log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "log_file.h"

namespace quorrel {

SupportLog::SupportLog(QString file, qint64 maxBytes)
    : file_(std::move(file)), maxBytes_(maxBytes) {}

QString SupportLog::defaultFile() {
  return log_file::defaultPath();
}

namespace {

bool mustEscape(char16_t unit) {
  return unit < 0x20 || (unit >= 0x7f && unit <= 0x9f) || unit == 0x2028 || unit == 0x2029 ||
         (unit >= 0x202a && unit <= 0x202e) || (unit >= 0x2066 && unit <= 0x2069);
}

}  // namespace

QString SupportLog::escaped(const QString& text) {
  // Every character escaped lies in the Basic Multilingual Plane, so a
  // surrogate is never one of them and pairs pass through whole.
  const auto plain = [](QChar character) { return !mustEscape(character.unicode()); };
  if (std::all_of(text.begin(), text.end(), plain)) return text;
  QString result;
  result.reserve(text.size() + 16);
  for (const QChar character : text) {
    const char16_t unit = character.unicode();
    if (!mustEscape(unit)) {
      result += character;
    } else if (unit == '\t') {
      result += QStringLiteral("\\t");
    } else if (unit == '\n') {
      result += QStringLiteral("\\n");
    } else if (unit == '\r') {
      result += QStringLiteral("\\r");
    } else if (unit <= 0xff) {
      result += QStringLiteral("\\x%1").arg(uint{unit}, 2, 16, QChar('0'));
    } else {
      result += QStringLiteral("\\u%1").arg(uint{unit}, 4, 16, QChar('0'));
    }
  }
  return result;
}

QByteArray SupportLog::stamped(const QString& line) {
  return (QDateTime::currentDateTime().toString(Qt::ISODateWithMs) + QChar(' ') + escaped(line) +
          QChar('\n'))
      .toUtf8();
}

// The file is opened without following a link at its name: a link there,
// put by whoever could write the state folder, is replaced by a fresh log
// rather than written through, and the line is still written, since the
// player who sends the log to support wants it whole. The fresh file says
// so, for support to know why the older lines are missing.
QString SupportLog::stateFolder() const {
  return QFileInfo(file_).absolutePath();
}

void SupportLog::write(const QString& line) {
  if (!folderMade_) folderMade_ = QDir().mkpath(QFileInfo(file_).path());
  QFile out;
  bool replacedLink = false;
  QString error;
  if (!log_file::openForAppend(out, file_, false, replacedLink, error)) return;
  QByteArray notes;
  if (replacedLink)
    notes += stamped(QStringLiteral("Replaced a link at %1 with a fresh log").arg(file_));
  if (out.size() >= maxBytes_) {
    out.close();
    // The current file becomes the one older copy, replacing the copy
    // before it. When it cannot, a fresh file starts all the same, so the
    // log never grows past its bound; it says once why the older lines went.
    const QString older = file_ + QStringLiteral(".1");
    const bool kept = log_file::replace(file_, older, error);
    if (!kept)
      notes += stamped(QStringLiteral("Cannot keep the older log %1: %2").arg(older, error));
    if (!log_file::openForAppend(out, file_, !kept, replacedLink, error)) return;
  }
  out.write(notes + stamped(line));
}

}  // namespace quorrel
