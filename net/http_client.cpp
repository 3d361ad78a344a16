#include "http_client.h"

#include "extra_ca.h"

#include <curl/curl.h>

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <algorithm>
#include <chrono>
#include <memory>

namespace quorrel {

namespace {

// A text answer is a version number or an error page; anything larger is no
// answer of the distribution server and is not held in memory.
constexpr qint64 kMaxTextBytes = 1024 * 1024;
// The longest a request waits without letting its caller run.
constexpr int kTurnMs = 100;

HttpError failure(const QString& url, const QString& reason) {
  return HttpError((url + QStringLiteral(": ") + reason).toStdString());
}

// The charset parameter of a Content-Type such as `text/plain; charset="utf-16"`;
// empty when it names none.
QByteArray charsetOf(const QByteArray& contentType) {
  const QList<QByteArray> parts = contentType.split(';');
  for (qsizetype i = 1; i < parts.size(); ++i) {
    const QByteArray parameter = parts[i].trimmed();
    const qsizetype equals = parameter.indexOf('=');
    if (equals < 0 || parameter.left(equals).trimmed().toLower() != "charset") continue;
    QByteArray value = parameter.mid(equals + 1).trimmed();
    if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
      value = value.mid(1, value.size() - 2);
    return value;
  }
  return {};
}

QString decodeText(const QString& url, const QByteArray& body, const QByteArray& contentType) {
  const QByteArray charset = charsetOf(contentType);
  QStringDecoder decoder(charset.isEmpty() ? "UTF-8" : charset.constData());
  if (!decoder.isValid())
    throw failure(url, QStringLiteral("unknown charset \"%1\"").arg(QString::fromLatin1(charset)));
  return decoder.decode(body);
}

// One transfer of one fresh curl handle. The callbacks stop the transfer with
// a reason of their own, which then stands in the error.
class Request {
 public:
  // A request slower than `minimumBytesPerSecond` over the stall time, or
  // longer than `deadline` in all, fails.
  Request(const QString& url, const CurlHttpClient::Options& options, QIODevice& body,
          qint64 maxBodyBytes, std::chrono::milliseconds deadline, long minimumBytesPerSecond)
      : url_(url),
        caFile_(QFile::encodeName(options.caFile)),
        body_(body),
        maxBodyBytes_(maxBodyBytes) {
    if (!curl_) throw failure(url_, QStringLiteral("the HTTP client cannot be created"));
    set(CURLOPT_URL, url.toUtf8().constData());
    set(CURLOPT_ERRORBUFFER, curlError_);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_PROTOCOLS_STR, "https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "https");
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, 5L);
    set(CURLOPT_CONNECTTIMEOUT, static_cast<long>(options.connectTimeout.count()));
    set(CURLOPT_LOW_SPEED_LIMIT, std::max(minimumBytesPerSecond, 1L));
    set(CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.stallTimeout.count()));
    set(CURLOPT_TIMEOUT_MS, static_cast<long>(deadline.count()));
    set(CURLOPT_COOKIEFILE, "");  // cookies kept in memory for the redirects of this request
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBodyBytes));
    set(CURLOPT_WRITEFUNCTION, &Request::writeBody);
    set(CURLOPT_WRITEDATA, this);
    if (!caFile_.isEmpty()) trustExtraCas();
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  void acceptEncodings(const char* encodings) { set(CURLOPT_ACCEPT_ENCODING, encodings); }

  // Runs the transfer in turns of at most 100 ms, with `whileWaiting` called
  // between them.
  void perform(const std::function<void()>& whileWaiting) {
    const std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curl_multi_init(),
                                                                      &curl_multi_cleanup);
    if (!multi || curl_multi_add_handle(multi.get(), curl_.get()) != CURLM_OK)
      throw failure(url_, QStringLiteral("the HTTP client cannot be created"));
    struct Detach {
      CURLM* multi;
      CURL* easy;
      ~Detach() { curl_multi_remove_handle(multi, easy); }
    } detach{multi.get(), curl_.get()};
    for (int running = 1;;) {
      if (curl_multi_perform(multi.get(), &running) != CURLM_OK || running == 0) break;
      curl_multi_poll(multi.get(), nullptr, 0, kTurnMs, nullptr);
      if (whileWaiting) whileWaiting();
    }
    int left = 0;
    const CURLMsg* done = curl_multi_info_read(multi.get(), &left);
    const CURLcode result =
        done && done->msg == CURLMSG_DONE ? done->data.result : CURLE_RECV_ERROR;
    if (result == CURLE_OK) return;
    if (!reason_.isEmpty()) throw failure(url_, reason_);
    if (extraCas_ && !extraCas_->failure.isEmpty()) throw failure(url_, extraCas_->failure);
    throw failure(url_, QString::fromUtf8(curlError_[0] ? curlError_ : curl_easy_strerror(result)));
  }

  long status() {
    long code = 0;
    curl_easy_getinfo(curl_.get(), CURLINFO_RESPONSE_CODE, &code);
    return code;
  }
  QByteArray contentType() {
    const char* type = nullptr;
    curl_easy_getinfo(curl_.get(), CURLINFO_CONTENT_TYPE, &type);
    return QByteArray(type);
  }
  // -1 when the answer announced no length.
  curl_off_t announcedLength() {
    curl_off_t length = -1;
    curl_easy_getinfo(curl_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    return length;
  }
  qint64 received() const { return received_; }
  const QString& url() const { return url_; }

 private:
  template <typename Value>
  void set(CURLoption option, Value value) {
    if (curl_easy_setopt(curl_.get(), option, value) != CURLE_OK)
      throw failure(url_, QStringLiteral("the HTTP client does not support option %1").arg(option));
  }

  static size_t writeBody(char* data, size_t, size_t count, void* opaque) {
    Request& request = *static_cast<Request*>(opaque);
    const auto bytes = static_cast<qint64>(count);  // curl's item size is always 1
    if (request.received_ + bytes > request.maxBodyBytes_) {
      request.reason_ =
          QStringLiteral("the body is larger than %1 bytes").arg(request.maxBodyBytes_);
      return 0;
    }
    if (request.body_.write(data, bytes) != bytes) {
      request.reason_ = request.body_.errorString();
      return 0;
    }
    request.received_ += bytes;
    return count;
  }

  void trustExtraCas() {
    extraCas_ = std::make_unique<ExtraCas>(ExtraCas{caFile_, {}});
    if (!trustExtraCasOf(curl_.get(), *extraCas_))
      throw failure(url_, QStringLiteral("the HTTP client cannot trust an extra CA file"));
  }

  QString url_;
  QByteArray caFile_;
  std::unique_ptr<ExtraCas> extraCas_;  // the callbacks of the TLS context read it
  QIODevice& body_;
  qint64 maxBodyBytes_;
  qint64 received_ = 0;
  QString reason_;
  char curlError_[CURL_ERROR_SIZE] = {};
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl_{curl_easy_init(), &curl_easy_cleanup};
};

// The file counts only when it holds exactly the body of a 200 answer.
void requireWholeBuild(Request& request) {
  if (request.status() != 200)
    throw failure(request.url(), QStringLiteral("HTTP status %1").arg(request.status()));
  const curl_off_t announced = request.announcedLength();
  if (announced >= 0 && announced != request.received())
    throw failure(request.url(),
                  QStringLiteral("%1 of %2 bytes received").arg(request.received()).arg(announced));
}

}  // namespace

CurlHttpClient::CurlHttpClient(Options options) : options_(std::move(options)) {
  // Once per process, before the first handle; should it fail, no handle can
  // be created and every request reports that.
  [[maybe_unused]] static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
}

HttpText CurlHttpClient::get(const QString& url) {
  QBuffer body;
  body.open(QIODevice::WriteOnly);
  Request request(url, options_, body, kMaxTextBytes, options_.textDeadline, 1);
  request.acceptEncodings("gzip, deflate");
  request.perform(options_.whileWaiting);
  return {request.status(), decodeText(url, body.data(), request.contentType())};
}

// Asked for without a content coding, so that the bytes written can be
// checked against the announced length.
void CurlHttpClient::download(const QString& url, const QString& file, qint64 maxBytes) {
  QFile out(file);
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) throw failure(file, out.errorString());
  try {
    Request request(url, options_, out, maxBytes, options_.buildDeadline,
                    options_.minimumBuildBytesPerSecond);
    request.perform(options_.whileWaiting);
    requireWholeBuild(request);
    if (!out.flush()) throw failure(file, out.errorString());
  } catch (...) {
    out.remove();
    throw;
  }
}

}  // namespace quorrel
