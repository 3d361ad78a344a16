#pragma once

#include <QByteArray>
#include <QString>

#include "exception.h"

namespace quorrel {

// A signed file (a launcher build, the patch server's manifest) whose
// signature is missing, malformed or not the update key's.
class SignatureError : public Exception {
 public:
  using Exception::Exception;
};

// Whether `publicKeyBase64` can be an update key: 32 bytes in base64.
bool isUpdateKey(const QString& publicKeyBase64);

// Checks that `signatureBase64` (64 bytes in base64) is the Ed25519 signature
// of `data` by `publicKeyBase64` (the key's 32 bytes in base64); surrounding
// white space is ignored. SignatureError with the reason otherwise, where
// `dataName` ("the build") names what was signed.
void verifyUpdateSignature(const QString& publicKeyBase64, const QByteArray& data,
                           const QString& signatureBase64, const std::string& dataName);

}  // namespace quorrel
