#include "extra_ca.h"

#include <QFile>
#include <QFileInfo>

namespace quorrel {

// Windows' own TLS (Schannel) takes a CA file only in place of the system's
// store, not beside it: with an extra CA the launcher trusts that CA alone.
// A file it cannot read fails the request, with the reason in our words.
bool trustExtraCasOf(CURL* curl, ExtraCas& cas) {
  if (!QFileInfo(QFile::decodeName(cas.file)).isReadable())
    cas.failure = QStringLiteral("the CA file %1 cannot be read").arg(QFile::decodeName(cas.file));
  return curl_easy_setopt(curl, CURLOPT_CAINFO, cas.file.constData()) == CURLE_OK &&
         curl_easy_setopt(curl, CURLOPT_SSL_OPTIONS,
                          static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT)) == CURLE_OK;
}

}  // namespace quorrel
