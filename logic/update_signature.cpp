#include "update_signature.h"

#include <openssl/evp.h>

#include <memory>

namespace quorrel {

namespace {

constexpr qsizetype kPublicKeyBytes = 32;
constexpr qsizetype kSignatureBytes = 64;

QByteArray fromBase64(const QString& text, qsizetype bytes, const char* what) {
  const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
      text.trimmed().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded || decoded.decoded.size() != bytes)
    throw SignatureError(std::string(what) + " is not " + std::to_string(bytes) +
                         " bytes in base64");
  return decoded.decoded;
}

const unsigned char* bytesOf(const QByteArray& data) {
  return reinterpret_cast<const unsigned char*>(data.constData());
}

}  // namespace

bool isUpdateKey(const QString& publicKeyBase64) {
  try {
    fromBase64(publicKeyBase64, kPublicKeyBytes, "the update key");
    return true;
  } catch (const SignatureError&) {
    return false;
  }
}

void verifyUpdateSignature(const QString& publicKeyBase64, const QByteArray& data,
                           const QString& signatureBase64, const std::string& dataName) {
  const QByteArray key = fromBase64(publicKeyBase64, kPublicKeyBytes, "the update key");
  const QByteArray signature = fromBase64(signatureBase64, kSignatureBytes, "the signature");
  const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> publicKey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytesOf(key), key.size()),
      &EVP_PKEY_free);
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        &EVP_MD_CTX_free);
  if (!publicKey || !context ||
      EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, publicKey.get()) != 1)
    throw SignatureError("the update key is not an Ed25519 public key");
  if (EVP_DigestVerify(context.get(), bytesOf(signature), signature.size(), bytesOf(data),
                       data.size()) != 1)
    throw SignatureError("the signature does not match " + dataName);
}

}  // namespace quorrel
