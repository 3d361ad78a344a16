#include "server_manifest.h"

#include <cstring>
#include <utility>

#include "release_check.h"
#include "update_signature.h"

namespace quorrel {

namespace {

ManifestError tooLarge(const QString& name, qint64 maxBytes) {
  return ManifestError(QStringLiteral("The patch server's %1 is larger than %2 bytes")
                           .arg(name)
                           .arg(maxBytes)
                           .toStdString());
}

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

 private:
  QString name_;
  qint64 maxBytes_;
  int64_t position_ = 0;
  QByteArray data_;
};

QByteArray fetchSmallFile(TSftpSession& session, const QString& remoteRoot, const QString& name,
                          uint64_t size, qint64 maxBytes) {
  if (size > static_cast<uint64_t>(maxBytes)) throw tooLarge(name, maxBytes);
  BoundedBuffer buffer(name, maxBytes);
  session.DownloadStream((remoteRoot + QChar('/') + name).toStdString(), buffer, false);
  return buffer.data();
}

}  // namespace

std::optional<manifest::Manifest> readServerManifest(TSftpSession& session,
                                                     const QString& remoteRoot,
                                                     const ManifestListing& listed,
                                                     UpdateKeys& keys) {
  if (!listed.manifestSize) return std::nullopt;
  const QByteArray text = fetchSmallFile(session, remoteRoot, manifest::kFileName,
                                         *listed.manifestSize, manifest::kMaxBytes);
  if (keys.enabled()) {
    if (!listed.signatureSize)
      throw ReleaseRefused("The patch server's manifest is not signed",
                           {.reason = ReleaseRefusal::Reason::Unsigned});
    const QByteArray signature =
        fetchSmallFile(session, remoteRoot, manifest::kSignatureFileName, *listed.signatureSize,
                       manifest::kMaxSignatureBytes);
    try {
      keys.verify(text, QString::fromLatin1(signature), "the manifest");
    } catch (const SignatureError& error) {
      throw ReleaseRefused(std::string("The patch server's manifest is refused: ") + error.what(),
                           {.reason = ReleaseRefusal::Reason::Unsigned});
    }
  }
  return manifest::Manifest::parse(text);
}

}  // namespace quorrel
