#include "error_box.h"

namespace quorrel {

QString applicationTitle(const QString& executableFileName) {
  const QString name = executableFileName.section('.', 0, 0);
  if (name.isEmpty()) return name;
  return name.left(1) + name.mid(1).toLower();
}

QString errorBoxText(const QString& message) {
  if (!message.isEmpty() && message.back() > QChar('.')) return message + '.';
  return message;
}

}  // namespace quorrel
