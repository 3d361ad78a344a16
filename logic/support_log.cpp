#include "support_log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <algorithm>

namespace quorrel {

SupportLog::SupportLog(QString file, qint64 maxBytes)
    : file_(std::move(file)), maxBytes_(maxBytes) {}

QString SupportLog::defaultFile() {
#ifdef Q_OS_WIN
  // %LOCALAPPDATA%: the per-user folder of data that stays on this machine.
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
         QStringLiteral("/Quorrel/launcher.log");
#else
  QString state = qEnvironmentVariable("XDG_STATE_HOME");
  if (state.isEmpty() || QDir::isRelativePath(state))
    state = QDir::homePath() + QStringLiteral("/.local/state");
  return state + QStringLiteral("/Quorrel/launcher.log");
#endif
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

void SupportLog::write(const QString& line) {
  if (!folderMade_) folderMade_ = QDir().mkpath(QFileInfo(file_).path());
  rotateIfFull();
  QFile out(file_);
  if (!out.open(QIODevice::WriteOnly | QIODevice::Append)) return;
  const QString stamped = QDateTime::currentDateTime().toString(Qt::ISODateWithMs) + QChar(' ') +
                          escaped(line) + QChar('\n');
  out.write(stamped.toUtf8());
}

// The current file becomes the one older copy, replacing the copy before it.
void SupportLog::rotateIfFull() {
  if (QFileInfo(file_).size() < maxBytes_) return;
  const QString older = file_ + QStringLiteral(".1");
  QFile::remove(older);
  QFile::rename(file_, older);
}

}  // namespace quorrel
