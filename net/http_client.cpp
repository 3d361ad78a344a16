#include "http_client.h"

#include "https_handle.h"

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
      : handle_(url, options.caFile, options.connectTimeout),
        body_(body),
        maxBodyBytes_(maxBodyBytes) {
    handle_.set(CURLOPT_LOW_SPEED_LIMIT, std::max(minimumBytesPerSecond, 1L));
    handle_.set(CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.stallTimeout.count()));
    handle_.set(CURLOPT_TIMEOUT_MS, static_cast<long>(deadline.count()));
    handle_.set(CURLOPT_COOKIEFILE,
                "");  // cookies kept in memory for the redirects of this request
    handle_.set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBodyBytes));
    handle_.set(CURLOPT_WRITEFUNCTION, &Request::writeBody);
    handle_.set(CURLOPT_WRITEDATA, this);
  }

  void acceptEncodings(const char* encodings) { handle_.set(CURLOPT_ACCEPT_ENCODING, encodings); }

  // Runs the transfer in turns of at most 100 ms, with `whileWaiting` called
  // between them.
  void perform(const std::function<void()>& whileWaiting) {
    const std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curl_multi_init(),
                                                                      &curl_multi_cleanup);
    const CURLcode result = handle_.perform(multi.get(), whileWaiting);
    if (result == CURLE_OK) return;
    throw handle_.failure(reason_.isEmpty() ? handle_.reason(result) : reason_);
  }

  long status() const { return handle_.status(); }
  QByteArray contentType() {
    const char* type = nullptr;
    curl_easy_getinfo(handle_.get(), CURLINFO_CONTENT_TYPE, &type);
    return QByteArray(type);
  }
  // -1 when the answer announced no length.
  curl_off_t announcedLength() {
    curl_off_t length = -1;
    curl_easy_getinfo(handle_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    return length;
  }
  qint64 received() const { return received_; }
  const QString& url() const { return handle_.url(); }

 private:
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

  HttpsHandle handle_;
  QIODevice& body_;
  qint64 maxBodyBytes_;
  qint64 received_ = 0;
  QString reason_;
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
  initialiseCurl();
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
