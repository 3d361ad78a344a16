// The tree walk: the patch server's tree becomes a flat file list, and every
// remote folder gets its local counterpart under the game folder.
#include "form1.h"
#include "game_folder.h"

namespace quorrel {

namespace {

// Names that could reach outside the folder being walked are never made into paths.
bool isUsableName(const QString& name) {
  return !name.isEmpty() && !name.contains(QChar('/')) && !name.contains(QChar('\\')) &&
         !name.contains(QChar(0));
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
    Memo1 << QStringLiteral("Skipping the link %1: %2")
                 .arg(remotePath, QString::fromUtf8(error.what()));
    return std::nullopt;
  }
  if ((target.permissions & QSSH_MODE_TYPE_MASK) != QSSH_MODE_FILE) {
    Memo1 << QStringLiteral("Skipping the link %1: it does not point to a file").arg(remotePath);
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

bool TForm1::walkListing(fxp_names* names, TSftpSession& session, QStringList& fileList) {
  const GameFolder folder(flow_ ? flow_->gameFolder : wow_path);
  for (int32_t index = 0; index < names->nnames; ++index) {
    const fxp_name& entry = names->names[index];
    const QString name = QString::fromUtf8(entry.filename);
    if (name == QStringLiteral(".") || name == QStringLiteral("..")) continue;
    if (!isUsableName(name)) {
      Memo1 << QStringLiteral("Skipping \"%1\" in %2%3: not a usable file name")
                   .arg(name, remote_root, remote_subdir);
      continue;
    }
    if ((entry.attrs.permissions & QSSH_MODE_TYPE_MASK) == QSSH_MODE_DIRECTORY) {
      remote_subdir += QChar('/') + name;
      folder.makeFolder(remote_subdir);
      session.ListDir((remote_root + remote_subdir).toStdString());
      remote_subdir.chop(1 + explode(QStringLiteral("/"), remote_subdir, 0).constLast().size());
    } else {
      const QString remotePath = remote_root + remote_subdir + QChar('/') + name;
      const std::optional<uint64_t> size = listedSize(session, entry, remotePath);
      if (size) fileList << remotePath + QChar('|') + QString::number(*size);
    }
  }
  return true;
}

}  // namespace quorrel
