#include "sync_plan.h"

#include "file_list.h"
#include "io_error.h"
#include "sync_observer.h"

namespace quorrel {

SyncPlan::SyncPlan(const GameFolder& folder, const QString& remoteRoot,
                   const std::optional<manifest::Manifest>& manifest,
                   std::optional<HashCache>& hashes, SyncObserver& observer,
                   std::function<bool()> stopped)
    : folder_(folder),
      remoteRoot_(remoteRoot),
      manifest_(manifest),
      hashes_(hashes),
      observer_(observer),
      stopped_(std::move(stopped)) {}

std::vector<FileToSync> SyncPlan::make(const QStringList& fileList) {
  std::vector<FileToSync> files;
  for (const QString& line : fileList) {
    if (stopped_()) break;
    FileToSync file;
    file.line = line;
    try {
      const file_list::Line listed = file_list::parse(line);
      file.remotePath = listed.remotePath;
      file.listedSize = listed.size;
    } catch (const Exception& error) {
      file.error = error.what();
      files.push_back(file);
      break;
    }
    file.relativePath = file.remotePath.mid(remoteRoot_.size() + 1);
    if (!manifest_) {
      file.fetch = file_list::needsFetch(folder_.fileSize(file.relativePath), file.listedSize);
    } else if (const manifest::Entry* entry = manifest_->find(file.relativePath)) {
      file.sha256 = entry->sha256;
      file.fetch = !holdsManifestCopy(*entry);
    } else {
      // What the manifest does not name is no file the operator published.
      observer_.log(QStringLiteral("Skipping %1: the patch server's manifest does not name it")
                        .arg(file.relativePath));
      continue;
    }
    files.push_back(file);
  }
  return files;
}

// A file that cannot be read is fetched again; its replacement reports what
// goes wrong with it.
bool SyncPlan::holdsManifestCopy(const manifest::Entry& entry) {
  const std::optional<FileStamp> stamp = folder_.stampOf(entry.path);
  if (!stamp || stamp->size != entry.size) return false;
  if (const std::optional<QByteArray> known = hashes_->find(entry.path, *stamp))
    return *known == entry.sha256;
  observer_.yield();  // reading a large file takes a while
  QByteArray digest;
  try {
    digest = folder_.sha256Of(entry.path, hashedBytes_);
  } catch (const InOutError& error) {
    logFailure(observer_, error);
    return false;
  }
  hashes_->record(entry.path, *stamp, digest);
  return digest == entry.sha256;
}

}  // namespace quorrel
