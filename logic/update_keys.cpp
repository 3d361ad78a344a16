#include "update_keys.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "update_signature.h"

namespace quorrel {

namespace {

// "<field> <key in base64>" lines: the build's key the rotation began from,
// the current key, and the next one when one is named.
const QByteArray kHeader = QByteArrayLiteral("quorrel-update-keys 1");
const QByteArray kBuiltIn = QByteArrayLiteral("built-in ");
const QByteArray kCurrent = QByteArrayLiteral("current ");
const QByteArray kNext = QByteArrayLiteral("next ");

QString valueOf(const QList<QByteArray>& lines, const QByteArray& field) {
  for (const QByteArray& line : lines)
    if (line.startsWith(field)) return QString::fromLatin1(line.mid(field.size()));
  return {};
}

}  // namespace

UpdateKeys::UpdateKeys(const QString& stateFolder, const QString& builtInKey)
    : file_(stateFolder + QStringLiteral("/update-keys")),
      builtIn_(builtInKey.trimmed()),
      current_(builtIn_) {
  if (enabled()) load(builtIn_);
}

QStringList UpdateKeys::trusted() const {
  QStringList keys{current_};
  if (!next_.isEmpty()) keys.append(next_);
  return keys;
}

void UpdateKeys::verify(const QByteArray& data, const QString& signatureBase64,
                        const std::string& dataName) {
  if (!next_.isEmpty()) {
    try {
      verifyUpdateSignature(next_, data, signatureBase64, dataName);
      current_ = next_;
      next_.clear();
      save();
      return;
    } catch (const SignatureError&) {
      // Until the operator signs with the next key, the current one signs.
    }
  }
  verifyUpdateSignature(current_, data, signatureBase64, dataName);
}

void UpdateKeys::expectNext(const QString& key) {
  const QString next = key.trimmed();
  if (next == current_ || next == next_) return;
  next_ = next;
  save();
}

// A link in the file's place is not followed.
void UpdateKeys::load(const QString& builtInKey) {
  if (QFileInfo(file_).isSymLink()) return;
  QFile in(file_);
  if (!in.open(QIODevice::ReadOnly) || in.size() > kMaxFileBytes) return;
  const QList<QByteArray> lines = in.readAll().split('\n');
  if (lines.isEmpty() || lines.first() != kHeader) return;
  const QString from = valueOf(lines, kBuiltIn), current = valueOf(lines, kCurrent),
                next = valueOf(lines, kNext);
  if (current.isEmpty() || (builtInKey != from && builtInKey != current && builtInKey != next))
    return;
  current_ = current;
  next_ = next;
}

void UpdateKeys::save() const {
  QDir().mkpath(QFileInfo(file_).path());
  if (QFileInfo(file_).isSymLink()) QFile::remove(file_);
  QByteArray text = kHeader + '\n' + kBuiltIn + builtIn_.toLatin1() + '\n' + kCurrent +
                    current_.toLatin1() + '\n';
  if (!next_.isEmpty()) text += kNext + next_.toLatin1() + '\n';
  QSaveFile out(file_);
  if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit())
    throw Exception("Cannot write the update keys " + file_.toStdString() + ": " +
                    out.errorString().toStdString());
}

}  // namespace quorrel
