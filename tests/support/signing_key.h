#pragma once

#include <openssl/evp.h>

#include <QByteArray>
#include <QString>
#include <memory>
#include <string>

namespace quorrel::testing {

// An Ed25519 key pair of the test's own, signing as tools/sign-update does.
class SigningKey {
 public:
  SigningKey() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), &EVP_PKEY_free) {}

  // The form QUORREL_UPDATE_PUBKEY takes: the key's 32 bytes in base64.
  QString publicKey() const {
    unsigned char raw[32];
    size_t length = sizeof raw;
    EVP_PKEY_get_raw_public_key(key_.get(), raw, &length);
    return QString::fromLatin1(QByteArray(reinterpret_cast<char*>(raw), length).toBase64());
  }
  // The signature file's content: the signature in base64 and a line break.
  std::string signatureFile(const std::string& data) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    unsigned char signature[64];
    size_t length = sizeof signature;
    EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get());
    EVP_DigestSign(context.get(), signature, &length,
                   reinterpret_cast<const unsigned char*>(data.data()), data.size());
    return QByteArray(reinterpret_cast<char*>(signature), length).toBase64().toStdString() + "\n";
  }

 private:
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key_;
};

}  // namespace quorrel::testing
