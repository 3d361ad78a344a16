#include "sha256.h"

#include <openssl/evp.h>

#include <QIODevice>

#include <new>

namespace quorrel {

struct Sha256::Context {
  Context() : md(EVP_MD_CTX_new()) {
    if (!md || EVP_DigestInit_ex(md, EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
  }
  ~Context() { EVP_MD_CTX_free(md); }
  EVP_MD_CTX* md;
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {}
Sha256::~Sha256() = default;

void Sha256::addData(QByteArrayView bytes) {
  EVP_DigestUpdate(context_->md, bytes.data(), static_cast<size_t>(bytes.size()));
}

bool Sha256::addData(QIODevice& device) {
  QByteArray buffer(1024 * 1024, Qt::Uninitialized);
  for (;;) {
    const qint64 got = device.read(buffer.data(), buffer.size());
    if (got < 0) return false;
    if (got == 0) return device.atEnd();
    addData(QByteArrayView(buffer.constData(), got));
  }
}

QByteArray Sha256::result() {
  QByteArray digest(EVP_MAX_MD_SIZE, '\0');
  unsigned int length = 0;
  EVP_DigestFinal_ex(context_->md, reinterpret_cast<unsigned char*>(digest.data()), &length);
  EVP_DigestInit_ex(context_->md, EVP_sha256(), nullptr);
  digest.truncate(static_cast<qsizetype>(length));
  return digest;
}

QByteArray Sha256::of(QByteArrayView bytes) {
  Sha256 hash;
  hash.addData(bytes);
  return hash.result();
}

}  // namespace quorrel
