// The tree walk: the patch server's tree becomes a flat file list, and every
// remote folder gets its local counterpart under the game folder.
#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QSet>

#include "file_list.h"
#include "form1.h"
#include "game_folder.h"
#include "io_error.h"
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

// Ends the walk and, through the flow's guard around it, the flow.
[[noreturn]] void stopWalk(const QString& bound) {
  throw Exception("Stopped listing the patch server: " + bound.toStdString());
}

}  // namespace

QStringList TForm1::explode(const QString& cDelimiter, const QString& sValue, int32_t iCount) {
  QStringList pieces;
  QString rest = sValue;
  while (!rest.isEmpty()) {
    const qsizetype found = cDelimiter.isEmpty() ? -1 : rest.indexOf(cDelimiter);
    const bool split = found >= 0 && (iCount == 0 || pieces.size() + 1 < iCount);
    if (!split) {
      pieces << rest;
      break;
    }
    pieces << rest.left(found);
    rest = rest.mid(found + cDelimiter.size());
  }
  return pieces;
}

// A link is listed with the size of the file it points to, which is what a
// fetch brings; with the link's own size the file would be fetched on every
// update. Links to folders are not walked, so a link cannot lead the walk in circles.
std::optional<uint64_t> TForm1::listedSize(TSftpSession& session, const fxp_name& entry,
                                           const QString& remotePath) {
  if ((entry.attrs.permissions & QSSH_MODE_TYPE_MASK) != QSSH_MODE_LINK) return entry.attrs.size;
  fxp_attrs target{};
  try {
    session.GetStat(remotePath.toStdString(), target);
  } catch (const SftpSessionException& error) {
    logLine(QStringLiteral("Skipping the link %1: %2")
                .arg(remotePath, QString::fromUtf8(error.what())));
    return std::nullopt;
  }
  if ((target.permissions & QSSH_MODE_TYPE_MASK) != QSSH_MODE_FILE) {
    logLine(QStringLiteral("Skipping the link %1: it does not point to a file").arg(remotePath));
    return std::nullopt;
  }
  return target.size;
}

bool TForm1::ListingCallback(fxp_names* names) {
  return walkListing(names, *sftp_install, remote_file_list);
}

bool TForm1::ListingCallback_update(fxp_names* names) {
  return walkListing(names, *sftp_update, update_memo);
}

// Every batch gives the window its turn, so that closing it ends the walk.
bool TForm1::walkListing(fxp_names* names, TSftpSession& session, QStringList& fileList) {
  QCoreApplication::processEvents();
  if (flow_->closing) return false;
  countListedEntries(names->nnames);
  for (int32_t index = 0; index < names->nnames; ++index) {
    const fxp_name& entry = names->names[index];
    const QString name = QString::fromUtf8(entry.filename);
    if (name == QStringLiteral(".") || name == QStringLiteral("..")) continue;
    if (remote_subdir.isEmpty() && noteManifestFile(name, entry.attrs.size)) continue;
    QString unusable;
    if (!isUsableName(entry.filename, name))
      unusable = QStringLiteral("not a usable file name");
    else if (!GameFolder::canHoldName(name))
      unusable = QStringLiteral("the name is too long for the disk");
    else if (partial_copy::isPartialCopyName(QFile::encodeName(name)))
      unusable = QStringLiteral("the launcher keeps its partial copies under such names");
    if (!unusable.isEmpty()) {
      logLine(QStringLiteral("Skipping \"%1\" in %2%3: %4")
                  .arg(name, remote_root, remote_subdir, unusable));
      continue;
    }
    if ((entry.attrs.permissions & QSSH_MODE_TYPE_MASK) == QSSH_MODE_DIRECTORY) {
      walkInto(name, session);
    } else {
      const QString remotePath = remote_root + remote_subdir + QChar('/') + name;
      const std::optional<uint64_t> size = listedSize(session, entry, remotePath);
      if (size) fileList << file_list::lineOf(remotePath, *size);
    }
  }
  return true;
}

void TForm1::countListedEntries(int32_t count) {
  ActiveFlow& flow = *flow_;
  flow.entriesInFolder.back() += count;
  flow.entriesInAll += count;
  if (flow.entriesInFolder.back() > walkLimits.entriesPerFolder)
    stopWalk(QStringLiteral("more than %1 entries in the folder %2%3")
                 .arg(walkLimits.entriesPerFolder)
                 .arg(remote_root, remote_subdir));
  if (flow.entriesInAll > walkLimits.entriesInAll)
    stopWalk(QStringLiteral("more than %1 entries in all").arg(walkLimits.entriesInAll));
  if (platform_.clock.now() > flow.walkDeadline)
    stopWalk(QStringLiteral("the listing took more than %1 seconds").arg(walkLimits.time.count()));
}

void TForm1::walkInto(const QString& name, TSftpSession& session) {
  ActiveFlow& flow = *flow_;
  if (flow.trail->depth() >= walkLimits.depth)
    stopWalk(QStringLiteral("folders nested more than %1 deep at %2%3/%4")
                 .arg(walkLimits.depth)
                 .arg(remote_root, remote_subdir, name));
  remote_subdir += QChar('/') + name;
  flow.trail->enter(name);
  flow.walkedFolders << remote_subdir.mid(1);
  flow.entriesInFolder.push_back(0);
  session.ListDir((remote_root + remote_subdir).toStdString());
  flow.entriesInFolder.pop_back();
  flow.trail->leave();
  remote_subdir.chop(1 + explode(QStringLiteral("/"), remote_subdir, 0).constLast().size());
}

// Once the whole tree is listed, the partial copies of files the server no
// longer lists are worth nothing: in every folder the walk listed they go,
// with the copies of earlier versions' naming, so they do not pile up. The
// copies of listed files stay for their fetches to go on from. What cannot
// be removed is logged; it costs only disk space.
void TForm1::removeStalePartialCopies(const QStringList& fileList) {
  QHash<QString, QSet<QString>> listed;  // the names of the files in each folder
  for (const QString& line : fileList) {
    QString relative;
    try {
      relative = file_list::parse(line).remotePath.mid(remote_root.size() + 1);
    } catch (const Exception&) {
      return;  // the flow stops at that line; nothing is removed on a guess
    }
    const qsizetype slash = relative.lastIndexOf(QChar('/'));
    listed[slash < 0 ? QString() : relative.left(slash)].insert(relative.mid(slash + 1));
  }
  const GameFolder folder(flow_->gameFolder);
  const auto logRemovalFailure = [this](const InOutError& error) { logFailure(error); };
  for (const QString& walked : flow_->walkedFolders) {
    try {
      folder.removeStalePartialCopies(walked, listed.value(walked), logRemovalFailure);
    } catch (const InOutError& error) {
      logFailure(error);
    }
  }
}

}  // namespace quorrel
