// The patch server's manifest: the path, size and SHA-256 of every game file.
// When the root of the tree holds one, every fetched file is checked before it
// is put in place, and local files are compared by digest as well as by size,
// so a corrupt copy of the right size is fetched again.
#include <QCoreApplication>
#include <QFileInfo>

#include <cstring>
#include <utility>

#include "form1.h"
#include "io_error.h"
#include "update_signature.h"

namespace quorrel {

// The digest cache's bound on the files it may hold counts on the walk's.
static_assert(TForm1::WalkLimits{}.entriesInAll <= HashCache::kMostFiles);

namespace {

// A small file of the patch server read into memory, never past its bound.
class BoundedBuffer : public TStream {
 public:
  BoundedBuffer(QString name, qint64 maxBytes) : name_(std::move(name)), maxBytes_(maxBytes) {}
  void setPosition(int64_t position) override { position_ = position; }
  int64_t read(void*, int64_t) override { return 0; }  // a fetch only writes
  int64_t write(const void* buffer, int64_t count) override {
    if (position_ < 0 || count > maxBytes_ - position_) throw tooLarge(name_, maxBytes_);
    if (data_.size() < position_ + count) data_.resize(position_ + count);
    std::memcpy(data_.data() + position_, buffer, count);
    position_ += count;
    return count;
  }
  const QByteArray& data() const { return data_; }

  static ManifestError tooLarge(const QString& name, qint64 maxBytes) {
    return ManifestError(QStringLiteral("The patch server's %1 is larger than %2 bytes")
                             .arg(name)
                             .arg(maxBytes)
                             .toStdString());
  }

 private:
  QString name_;
  qint64 maxBytes_;
  int64_t position_ = 0;
  QByteArray data_;
};

// The bar, the rate and the transfer log count game files only: the session's
// progress handler is away while another file is fetched.
class ProgressMuted {
 public:
  explicit ProgressMuted(TSftpSession& session)
      : session_(session), saved_(std::exchange(session.OnProgress, nullptr)) {}
  ~ProgressMuted() { session_.OnProgress = std::move(saved_); }
  ProgressMuted(const ProgressMuted&) = delete;
  ProgressMuted& operator=(const ProgressMuted&) = delete;

 private:
  TSftpSession& session_;
  TOnProgress saved_;
};

}  // namespace

// The manifest and its signature lie at the root of the tree; they are read
// by the flow, never fetched into the game folder.
bool TForm1::noteManifestFile(const QString& name, uint64_t size) {
  if (name == manifest::kFileName)
    flow_->manifestSize = size;
  else if (name == manifest::kSignatureFileName)
    flow_->signatureSize = size;
  else
    return false;
  return true;
}

// With an update key, only a manifest signed by it is trusted: a patch server
// in other hands cannot make the launcher accept files of its own.
void TForm1::loadManifest(TSftpSession& session) {
  if (!flow_->manifestSize) return;
  const QByteArray text =
      fetchSmallFile(session, manifest::kFileName, *flow_->manifestSize, manifest::kMaxBytes);
  if (!config_.updatePublicKey.isEmpty()) {
    if (!flow_->signatureSize) throw ManifestError("The patch server's manifest is not signed");
    const QByteArray signature = fetchSmallFile(
        session, manifest::kSignatureFileName, *flow_->signatureSize, manifest::kMaxSignatureBytes);
    try {
      verifyUpdateSignature(config_.updatePublicKey, text, QString::fromLatin1(signature),
                            "the manifest");
    } catch (const SignatureError& error) {
      throw ManifestError(std::string("The patch server's manifest is refused: ") + error.what());
    }
  }
  flow_->manifest = manifest::Manifest::parse(text);
  // The state folder is the one of the support log.
  flow_->hashes.emplace(QFileInfo(platform_.log.file()).absolutePath(), flow_->gameFolder);
  logLine(QStringLiteral("The patch server's manifest names %1 files")
              .arg(flow_->manifest->entries().size()));
}

QByteArray TForm1::fetchSmallFile(TSftpSession& session, const QString& name, uint64_t size,
                                  qint64 maxBytes) {
  if (size > static_cast<uint64_t>(maxBytes)) throw BoundedBuffer::tooLarge(name, maxBytes);
  BoundedBuffer buffer(name, maxBytes);
  const ProgressMuted muted(session);
  session.DownloadStream((remote_root + QChar('/') + name).toStdString(), buffer, false);
  return buffer.data();
}

// A file that cannot be read is fetched again; its replacement reports what
// goes wrong with it.
bool TForm1::holdsManifestCopy(const GameFolder& folder, const manifest::Entry& entry) {
  const std::optional<FileStamp> stamp = folder.stampOf(entry.path);
  if (!stamp || stamp->size != entry.size) return false;
  if (const std::optional<QByteArray> known = flow_->hashes->find(entry.path, *stamp))
    return *known == entry.sha256;
  QCoreApplication::processEvents();  // reading a large file takes a while
  QByteArray digest;
  try {
    digest = folder.sha256Of(entry.path, hashed_bytes);
  } catch (const InOutError& error) {
    logFailure(error);
    return false;
  }
  flow_->hashes->record(entry.path, *stamp, digest);
  return digest == entry.sha256;
}

// A file just checked against the manifest needs no reading at the next run.
void TForm1::rememberFetchedDigest(const GameFolder& folder, const QString& relative,
                                   const QByteArray& sha256) {
  if (!flow_->hashes || sha256.isEmpty()) return;
  if (const std::optional<FileStamp> stamp = folder.stampOf(relative))
    flow_->hashes->record(relative, *stamp, sha256);
}

// The cache only saves time: a cache that cannot be written is logged, and
// the flow ends as it would have.
void TForm1::saveHashCache() {
  if (!flow_ || !flow_->hashes) return;
  try {
    flow_->hashes->save();
  } catch (const Exception& error) {
    logLine(QString::fromUtf8(error.what()));
  }
}

}  // namespace quorrel
