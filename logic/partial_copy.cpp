#include "partial_copy.h"

#include <QCryptographicHash>
#include <QList>
#include <algorithm>

namespace quorrel::partial_copy {

namespace {

const QByteArray kPrefix = QByteArrayLiteral(".quorrel-");
const QByteArray kCopySuffix = QByteArrayLiteral(".part");
const QByteArray kRecordSuffix = QByteArrayLiteral(".source");
const QByteArray kRecordTitle = QByteArrayLiteral("partial copy of");

QByteArray nameHash(const QByteArray& name) {
  return QCryptographicHash::hash(name, QCryptographicHash::Sha256).left(16).toHex();
}

// A count of the record: decimal digits only, no sign, no spaces.
std::optional<std::int64_t> countOf(const QByteArray& field) {
  if (field.isEmpty() || field.size() > 18) return std::nullopt;
  for (const char digit : field)
    if (digit < '0' || digit > '9') return std::nullopt;
  return field.toLongLong();
}

// A flow's number: 16 lower-case hex digits, never 0 (which is written as none).
std::optional<std::uint64_t> flowOf(const QByteArray& field) {
  if (field.size() != 16) return std::nullopt;
  for (const char digit : field)
    if (!((digit >= '0' && digit <= '9') || (digit >= 'a' && digit <= 'f'))) return std::nullopt;
  const std::uint64_t flow = field.toULongLong(nullptr, 16);
  return flow == 0 ? std::nullopt : std::optional(flow);
}

}  // namespace

QByteArray copyName(const QByteArray& name) {
  return kPrefix + nameHash(name) + kCopySuffix;
}

QByteArray recordName(const QByteArray& name) {
  return kPrefix + nameHash(name) + kRecordSuffix;
}

bool isPartialCopyName(const QByteArray& name) {
  constexpr qsizetype kHashLength = 32;
  if (!name.startsWith(kPrefix)) return false;
  const QByteArray rest = name.mid(kPrefix.size());
  return rest.size() > kHashLength &&
         (rest.mid(kHashLength) == kCopySuffix || rest.mid(kHashLength) == kRecordSuffix);
}

bool isOldStyleCopyName(const QByteArray& name) {
  if (!name.startsWith(kPrefix) || !name.endsWith(kCopySuffix)) return false;
  const QByteArray numbers =
      name.mid(kPrefix.size(), name.size() - kPrefix.size() - kCopySuffix.size());
  const qsizetype dash = numbers.indexOf('-');
  const auto digits = [](const QByteArray& field) {
    return !field.isEmpty() &&
           std::all_of(field.begin(), field.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  return dash > 0 && digits(numbers.left(dash)) && digits(numbers.mid(dash + 1));
}

QByteArray recordText(const Source& source) {
  QByteArray text = kRecordTitle + ' ' + QByteArray::number(source.size) + ' ' +
                    QByteArray::number(source.modified);
  if (source.flow != 0) text += ' ' + QByteArray::number(source.flow, 16).rightJustified(16, '0');
  return text + '\n';
}

std::optional<Source> parseRecord(const QByteArray& text) {
  if (!text.startsWith(kRecordTitle + ' ') || !text.endsWith('\n')) return std::nullopt;
  const QList<QByteArray> fields = text.mid(kRecordTitle.size() + 1).chopped(1).split(' ');
  if (fields.size() != 2 && fields.size() != 3) return std::nullopt;
  const std::optional<std::int64_t> size = countOf(fields[0]);
  const std::optional<std::int64_t> modified = countOf(fields[1]);
  const std::optional<std::uint64_t> flow = fields.size() == 3 ? flowOf(fields[2]) : 0;
  if (!size || !modified || !flow) return std::nullopt;
  return Source{*size, *modified, *flow};
}

std::int64_t resumeOffset(std::int64_t copyLength, const std::optional<Source>& recorded,
                          const Source& now, std::int64_t listedSize) {
  if (!recorded || *recorded != now) return 0;
  if (copyLength <= 0 || copyLength > listedSize || copyLength > now.size) return 0;
  return copyLength;
}

}  // namespace quorrel::partial_copy
