#include "tree_walk.h"

#include <QFile>

#include "file_list.h"
#include "manifest.h"
#include "partial_copy.h"

namespace quorrel {

namespace {

// Names that could reach outside the folder being walked are never made into
// paths, nor are names that do not survive as text: the launcher would ask
// the server for another file than the one it listed.
bool isUsableName(const char* raw, const QString& name) {
  return !name.isEmpty() && !name.contains(QChar('/')) && !name.contains(QChar('\\')) &&
         !name.contains(QChar(0)) && name.toUtf8() == QByteArray(raw);
}

// Ends the walk and with it the flow.
[[noreturn]] void stopWalk(const QString& bound) {
  throw Exception("Stopped listing the patch server: " + bound.toStdString());
}

}  // namespace

TreeWalk::TreeWalk(TSftpSession& session, const QString& gameFolder, QString remoteRoot,
                   const WalkLimits& limits, Clock& clock, SyncObserver& observer, FlowKind kind,
                   std::function<bool()> stopped)
    : session_(session),
      remoteRoot_(std::move(remoteRoot)),
      limits_(limits),
      clock_(clock),
      observer_(observer),
      kind_(kind),
      stopped_(std::move(stopped)),
      trail_(gameFolder) {}

void TreeWalk::walk() {
  deadline_ = clock_.now() + limits_.time;
  session_.OnListing = [this](fxp_names* names) { return take(names); };
  session_.ListDir(remoteRoot_.toStdString());
}

// Every batch gives the caller its turn, so that a close ends the walk.
bool TreeWalk::take(fxp_names* names) {
  observer_.listed(kind_, names);
  if (stopped_()) return false;
  count(names->nnames);
  for (int32_t index = 0; index < names->nnames; ++index) {
    const fxp_name& entry = names->names[index];
    const QString name = QString::fromUtf8(entry.filename);
    if (name == QStringLiteral(".") || name == QStringLiteral("..")) continue;
    if (subdir_.isEmpty() && noteManifestFile(name, entry.attrs.size)) continue;
    QString unusable;
    if (!isUsableName(entry.filename, name))
      unusable = QStringLiteral("not a usable file name");
    else if (!GameFolder::canHoldName(name))
      unusable = QStringLiteral("the name is too long for the disk");
    else if (partial_copy::isPartialCopyName(QFile::encodeName(name)))
      unusable = QStringLiteral("the launcher keeps its partial copies under such names");
    if (!unusable.isEmpty()) {
      observer_.log(
          QStringLiteral("Skipping \"%1\" in %2%3: %4").arg(name, remoteRoot_, subdir_, unusable));
      continue;
    }
    if ((entry.attrs.permissions & QSSH_MODE_TYPE_MASK) == QSSH_MODE_DIRECTORY) {
      enter(name);
    } else {
      const QString remotePath = remoteRoot_ + subdir_ + QChar('/') + name;
      if (const std::optional<uint64_t> size = listedSize(entry, remotePath))
        fileList_ << file_list::lineOf(remotePath, *size);
    }
  }
  return true;
}

void TreeWalk::count(int32_t entries) {
  entriesInFolder_.back() += entries;
  entriesInAll_ += entries;
  if (entriesInFolder_.back() > limits_.entriesPerFolder)
    stopWalk(QStringLiteral("more than %1 entries in the folder %2%3")
                 .arg(limits_.entriesPerFolder)
                 .arg(remoteRoot_, subdir_));
  if (entriesInAll_ > limits_.entriesInAll)
    stopWalk(QStringLiteral("more than %1 entries in all").arg(limits_.entriesInAll));
  if (clock_.now() > deadline_)
    stopWalk(QStringLiteral("the listing took more than %1 seconds").arg(limits_.time.count()));
}

void TreeWalk::enter(const QString& name) {
  if (trail_.depth() >= limits_.depth)
    stopWalk(QStringLiteral("folders nested more than %1 deep at %2%3/%4")
                 .arg(limits_.depth)
                 .arg(remoteRoot_, subdir_, name));
  subdir_ += QChar('/') + name;
  trail_.enter(name);
  folders_ << subdir_.mid(1);
  entriesInFolder_.push_back(0);
  session_.ListDir((remoteRoot_ + subdir_).toStdString());
  entriesInFolder_.pop_back();
  trail_.leave();
  subdir_.chop(1 + file_list::explode(QStringLiteral("/"), subdir_, 0).constLast().size());
}

// The manifest and its signature lie at the root of the tree; they are read
// by the flow, never fetched into the game folder.
bool TreeWalk::noteManifestFile(const QString& name, uint64_t size) {
  if (name == manifest::kFileName)
    manifest_.manifestSize = size;
  else if (name == manifest::kSignatureFileName)
    manifest_.signatureSize = size;
  else
    return false;
  return true;
}

// A link is listed with the size of the file it points to, which is what a
// fetch brings; with the link's own size the file would be fetched on every
// update. Links to folders are not walked, so a link cannot lead the walk in circles.
std::optional<uint64_t> TreeWalk::listedSize(const fxp_name& entry, const QString& remotePath) {
  if ((entry.attrs.permissions & QSSH_MODE_TYPE_MASK) != QSSH_MODE_LINK) return entry.attrs.size;
  fxp_attrs target{};
  try {
    session_.GetStat(remotePath.toStdString(), target);
  } catch (const SftpSessionException& error) {
    observer_.log(QStringLiteral("Skipping the link %1: %2")
                      .arg(remotePath, QString::fromUtf8(error.what())));
    return std::nullopt;
  }
  if ((target.permissions & QSSH_MODE_TYPE_MASK) != QSSH_MODE_FILE) {
    observer_.log(
        QStringLiteral("Skipping the link %1: it does not point to a file").arg(remotePath));
    return std::nullopt;
  }
  return target.size;
}

}  // namespace quorrel
