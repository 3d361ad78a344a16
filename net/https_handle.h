#pragma once

#include <curl/curl.h>

#include <QByteArray>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>

#include "extra_ca.h"
#include "http_client.h"

namespace quorrel {

// A curl handle for one request as the launcher makes every request: over
// HTTPS only, also after a redirect (at most 5), with the certificate and the
// host name always verified, the extra CAs trusted beside the system's, and
// no signals. Failures are HttpErrors naming the URL.
class HttpsHandle {
 public:
  HttpsHandle(const QString& url, const QString& caFile, std::chrono::seconds connectTimeout);
  HttpsHandle(const HttpsHandle&) = delete;
  HttpsHandle& operator=(const HttpsHandle&) = delete;

  template <typename Value>
  void set(CURLoption option, Value value) {
    if (curl_easy_setopt(curl_.get(), option, value) != CURLE_OK)
      throw failure(QStringLiteral("the HTTP client does not support option %1").arg(option));
  }

  // Runs the request in `multi` in turns of at most 100 ms, with
  // `whileWaiting` called between them (it may throw to end the request),
  // and gives curl's result.
  CURLcode perform(CURLM* multi, const std::function<void()>& whileWaiting);

  // Why a request with `result` failed, in the words of what found out:
  // the CA file, curl's message.
  QString reason(CURLcode result) const;
  HttpError failure(const QString& reason) const;

  CURL* get() const { return curl_.get(); }
  const QString& url() const { return url_; }
  long status() const;

 private:
  QString url_;
  ExtraCas extraCas_;  // the callbacks of the TLS context read it
  char curlError_[CURL_ERROR_SIZE] = {};
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl_{curl_easy_init(), &curl_easy_cleanup};
};

// Once per process, before the first handle; should it fail, no handle can
// be created and every request reports that.
void initialiseCurl();

}  // namespace quorrel
