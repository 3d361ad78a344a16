#include "extra_ca.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <QFile>

namespace quorrel {

namespace {

// The extra CAs join the system's store that curl has loaded already.
CURLcode loadExtraCas(CURL*, void* sslContext, void* opaque) {
  ExtraCas& cas = *static_cast<ExtraCas*>(opaque);
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
  if (X509_STORE_load_file(store, cas.file.constData()) == 1) return CURLE_OK;
  cas.failure = QStringLiteral("the CA file %1 cannot be read").arg(QFile::decodeName(cas.file));
  return CURLE_SSL_CACERT_BADFILE;
}

}  // namespace

// A shared cached store would keep the extra CAs beyond this request.
bool trustExtraCasOf(CURL* curl, ExtraCas& cas) {
  return curl_easy_setopt(curl, CURLOPT_CA_CACHE_TIMEOUT, 0L) == CURLE_OK &&
         curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &loadExtraCas) == CURLE_OK &&
         curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, &cas) == CURLE_OK;
}

}  // namespace quorrel
