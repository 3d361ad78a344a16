#include "release_state.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>

#include "exception.h"

namespace quorrel {

namespace {

// One line per server: "<release> <server>", the server last so that it may
// hold spaces.
const QByteArray kHeader = QByteArrayLiteral("quorrel-releases 1");

}  // namespace

ReleaseState::ReleaseState(const QString& stateFolder)
    : file_(stateFolder + QStringLiteral("/releases")) {
  load();
}

std::int64_t ReleaseState::highest(const QString& server) const {
  return highest_.value(server, 0);
}

void ReleaseState::accept(const QString& server, std::int64_t version) {
  if (version <= highest(server)) return;
  highest_.insert(server, version);
  save();
}

// Lines it cannot read are left out; a link in the file's place is not
// followed.
void ReleaseState::load() {
  if (QFileInfo(file_).isSymLink()) return;
  QFile in(file_);
  if (!in.open(QIODevice::ReadOnly) || in.size() > kMaxFileBytes) return;
  const QList<QByteArray> lines = in.readAll().split('\n');
  if (lines.isEmpty() || lines.first() != kHeader) return;
  for (qsizetype i = 1; i < lines.size(); ++i) {
    const QByteArray& line = lines[i];
    const qsizetype space = line.indexOf(' ');
    bool ok = false;
    const std::int64_t version = space > 0 ? line.left(space).toLongLong(&ok) : 0;
    const QString server = QString::fromUtf8(line.mid(space + 1));
    if (ok && version > 0 && !server.isEmpty())
      highest_.insert(server, std::max(version, highest_.value(server, 0)));
  }
}

void ReleaseState::save() const {
  QDir().mkpath(QFileInfo(file_).path());
  // A link in the file's place is replaced, never written through.
  if (QFileInfo(file_).isSymLink()) QFile::remove(file_);
  QByteArray text = kHeader + '\n';
  QStringList servers = highest_.keys();
  servers.sort();
  for (const QString& server : servers)
    text += QByteArray::number(highest_.value(server)) + ' ' + server.toUtf8() + '\n';
  QSaveFile out(file_);
  if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit())
    throw Exception("Cannot write the release record " + file_.toStdString() + ": " +
                    out.errorString().toStdString());
}

}  // namespace quorrel
