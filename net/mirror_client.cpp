#include "mirror_client.h"

#include <QByteArray>
#include <algorithm>
#include <exception>

#include "https_handle.h"

namespace quorrel {

namespace {

// Whether curl's `result` says the mirror cannot be trusted at all, as
// opposed to busy, slow or gone for a moment, which the next object may find
// otherwise.
bool refusesTrust(CURLcode result) {
  switch (result) {
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_UNSUPPORTED_PROTOCOL:  // a redirect away from HTTPS
    case CURLE_TOO_MANY_REDIRECTS:
      return true;
    default:
      return false;
  }
}

// The range header of a partial answer that holds exactly bytes `from` to
// the end of a `size`-byte object.
QByteArray expectedRange(std::int64_t from, std::int64_t size) {
  return "bytes " + QByteArray::number(from) + '-' + QByteArray::number(size - 1) + '/' +
         QByteArray::number(size);
}

// One fetch of one object, on a handle of its own in the client's multi
// handle, whose cache keeps the connection for the next. One request per
// object: on a link with a long round trip, ranges on connections of their
// own were slower than one request (every range a round trip idle, and a
// connection idle for a moment starts slowly again) and held their bytes in
// memory until the ranges before them were written.
class ObjectFetch {
 public:
  ObjectFetch(const QString& url, std::int64_t from, std::int64_t size, TStream& into,
              const MirrorClient::Options& options)
      : handle_(url, options.caFile, options.connectTimeout),
        from_(from),
        size_(size),
        into_(into),
        stopped_(options.stopped) {
    handle_.set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    handle_.set(CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.stallTimeout.count()));
    if (options.speedLimitBytesPerSecond > 0)
      handle_.set(CURLOPT_MAX_RECV_SPEED_LARGE,
                  static_cast<curl_off_t>(options.speedLimitBytesPerSecond));
    if (from_ > 0) handle_.set(CURLOPT_RANGE, (QByteArray::number(from_) + '-').constData());
    handle_.set(CURLOPT_WRITEFUNCTION, &ObjectFetch::writeBody);
    handle_.set(CURLOPT_WRITEDATA, this);
  }

  void perform(CURLM* multi, const std::function<void()>& whileWaiting) {
    throwIfFailed(handle_.perform(multi, whileWaiting));
    checkAnswer();
    if (written_ != size_ - from_)
      throw handle_.failure(QStringLiteral("%1 of the %2 bytes from byte %3 arrived")
                                .arg(written_)
                                .arg(size_ - from_)
                                .arg(from_));
  }

 private:
  // The bytes' own errors (of the answer, or of the stream) come out as they
  // are.
  void throwIfFailed(CURLcode result) {
    if (writeError_) std::rethrow_exception(writeError_);
    if (result == CURLE_OK) return;
    if (!reason_.isEmpty()) throw handle_.failure(reason_);
    if (refusesTrust(result)) throw MirrorUntrusted(handle_.failure(handle_.reason(result)).what());
    throw handle_.failure(handle_.reason(result));
  }

  // Why the answer is not the bytes asked for, or empty when it is. A mirror
  // that ignores the range and sends the whole object is taken, its first
  // bytes skipped.
  QString answerProblem() {
    const long status = handle_.status();
    curl_off_t announced = -1;
    curl_easy_getinfo(handle_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    std::int64_t bodyBytes = size_;
    if (status == 206 && from_ > 0) {
      curl_header* range = nullptr;
      if (curl_easy_header(handle_.get(), "Content-Range", 0, CURLH_HEADER, -1, &range) !=
              CURLHE_OK ||
          QByteArray(range->value).trimmed() != expectedRange(from_, size_))
        return QStringLiteral("the answer is not the range asked for (%1)")
            .arg(QString::fromLatin1(expectedRange(from_, size_)));
      bodyBytes = size_ - from_;
    } else if (status == 200) {
      skip_ = from_;
    } else {
      return QStringLiteral("HTTP status %1").arg(status);
    }
    if (announced >= 0 && announced != bodyBytes)
      return QStringLiteral("the answer announces %1 bytes, not %2").arg(announced).arg(bodyBytes);
    return {};
  }

  void checkAnswer() {
    if (checked_) return;
    checked_ = true;
    if (const QString problem = answerProblem(); !problem.isEmpty()) throw handle_.failure(problem);
    into_.setPosition(from_);
  }

  // Nothing past the object's end is written; the caller's stream and every
  // error of it stay out of curl's C code.
  static size_t writeBody(char* data, size_t, size_t count, void* opaque) {
    auto& fetch = *static_cast<ObjectFetch*>(opaque);
    try {
      fetch.write(data, static_cast<std::int64_t>(count));  // curl's item size is always 1
      return count;
    } catch (const HttpError& error) {
      fetch.reason_ = QString::fromUtf8(error.what()).mid(fetch.handle_.url().size() + 2);
    } catch (...) {
      fetch.writeError_ = std::current_exception();
    }
    return 0;
  }

  void write(const char* data, std::int64_t count) {
    if (stopped_ && stopped_()) throw handle_.failure(QStringLiteral("the fetch was stopped"));
    checkAnswer();
    const std::int64_t skipped = std::min(skip_, count);
    skip_ -= skipped;
    data += skipped;
    count -= skipped;
    if (written_ + count > size_ - from_)
      throw handle_.failure(
          QStringLiteral("the answer is longer than the object's %1 bytes").arg(size_));
    if (count > 0 && into_.write(data, count) != count)
      throw handle_.failure(QStringLiteral("the bytes could not all be written"));
    written_ += count;
  }

  HttpsHandle handle_;
  std::int64_t from_;
  std::int64_t size_;
  TStream& into_;
  std::function<bool()> stopped_;
  bool checked_ = false;
  std::int64_t skip_ = 0;  // of a whole object sent instead of its range
  std::int64_t written_ = 0;
  QString reason_;
  std::exception_ptr writeError_;
};

}  // namespace

struct MirrorClient::Connections {
  std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi{curl_multi_init(),
                                                              &curl_multi_cleanup};
};

MirrorClient::MirrorClient(Options options) : options_(std::move(options)) {
  initialiseCurl();
  connections_ = std::make_unique<Connections>();
}

MirrorClient::~MirrorClient() = default;

void MirrorClient::fetch(const QString& url, std::int64_t from, std::int64_t size, TStream& into) {
  if (from >= size) return;  // the kept copy holds the whole object already
  ObjectFetch fetch(url, from, size, into, options_);
  fetch.perform(connections_->multi.get(), options_.whileWaiting);
}

}  // namespace quorrel
