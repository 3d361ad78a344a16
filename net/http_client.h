#pragma once

#include <QString>
#include <chrono>
#include <functional>

#include "exception.h"

namespace quorrel {

// A request that brought no usable answer: no connection, a rejected
// certificate, too many redirects, a time-out, a body that cannot be read.
class HttpError : public Exception {
 public:
  using Exception::Exception;
};

// The answer to a GET: its status, whatever it is, and its body as text.
struct HttpText {
  long status = 0;
  QString text;
};

// The web client of the launcher's distribution server. Every request is a
// fresh client of its own; redirects are followed.
class HttpClient {
 public:
  virtual ~HttpClient() = default;
  // The body is decoded by the charset of the answer's Content-Type, UTF-8
  // when none is named. HttpError when no answer arrives or it cannot be decoded.
  virtual HttpText get(const QString& url) = 0;
  // Saves the body to `file`, replacing it. HttpError unless the server
  // answered 200 and the whole body, at most `maxBytes`, reached the file;
  // whatever was written is removed then.
  virtual void download(const QString& url, const QString& file, qint64 maxBytes) = 0;
};

// libcurl over HTTPS only, with the certificate and the host name always
// verified, and the proxy of the usual environment variables.
class CurlHttpClient : public HttpClient {
 public:
  // The check runs before the window shows, so no request may keep the
  // player waiting long: each has an overall deadline.
  struct Options {
    QString caFile;  // CAs trusted beside the system's; empty for none
    std::chrono::seconds connectTimeout{10};
    std::chrono::seconds stallTimeout{20};  // a transfer that moves no byte for this long fails
    std::chrono::milliseconds textDeadline{5000};  // a whole text answer, such as the version
    // A build must arrive at this average speed at least, so that even the
    // largest accepted build ends within `buildDeadline`.
    long minimumBuildBytesPerSecond = 32 * 1024;
    std::chrono::seconds buildDeadline{30 * 60};
    // Called at least every 100 ms while a request waits for the network; it
    // may throw to end the request.
    std::function<void()> whileWaiting = {};
  };

  explicit CurlHttpClient(Options options);

  HttpText get(const QString& url) override;
  void download(const QString& url, const QString& file, qint64 maxBytes) override;

 private:
  Options options_;
};

}  // namespace quorrel
