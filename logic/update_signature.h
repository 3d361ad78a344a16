#pragma once

#include <QByteArray>
#include <QString>

#include "exception.h"

namespace quorrel {

// A launcher build whose signature is missing, malformed or not the update key's.
class SignatureError : public Exception {
 public:
  using Exception::Exception;
};

// Checks that `signatureBase64` (64 bytes in base64) is the Ed25519 signature
// of `build` by `publicKeyBase64` (the key's 32 bytes in base64); surrounding
// white space is ignored. SignatureError with the reason otherwise.
void verifyUpdateSignature(const QString& publicKeyBase64, const QByteArray& build,
                           const QString& signatureBase64);

}  // namespace quorrel
