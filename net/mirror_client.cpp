#include "mirror_client.h"

#include <curl/curl.h>

#include <QByteArray>
#include <QFile>
#include <exception>

#include "extra_ca.h"

namespace quorrel {

namespace {

// The longest a fetch waits without letting its caller run.
constexpr int kTurnMs = 100;

HttpError failure(const QString& url, const QString& reason) {
  return HttpError((url + QStringLiteral(": ") + reason).toStdString());
}

// The range header of a partial answer that holds exactly bytes `from` to
// the end of a `size`-byte object.
QByteArray expectedRange(std::int64_t from, std::int64_t size) {
  return "bytes " + QByteArray::number(from) + '-' + QByteArray::number(size - 1) + '/' +
         QByteArray::number(size);
}

// One fetch of one object, on an easy handle of its own, in the client's
// multi handle, whose cache keeps the connection for the next.
class ObjectFetch {
 public:
  ObjectFetch(const QString& url, std::int64_t from, std::int64_t size, TStream& into,
              const MirrorClient::Options& options)
      : url_(url),
        caFile_(QFile::encodeName(options.caFile)),
        from_(from),
        size_(size),
        into_(into) {
    if (!curl_) throw failure(url_, QStringLiteral("the HTTP client cannot be created"));
    set(CURLOPT_URL, url.toUtf8().constData());
    set(CURLOPT_ERRORBUFFER, curlError_);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_PROTOCOLS_STR, "https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "https");
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, 5L);
    set(CURLOPT_CONNECTTIMEOUT, static_cast<long>(options.connectTimeout.count()));
    set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.stallTimeout.count()));
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    if (options.speedLimitBytesPerSecond > 0)
      set(CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(options.speedLimitBytesPerSecond));
    if (from_ > 0) set(CURLOPT_RANGE, (QByteArray::number(from_) + '-').constData());
    set(CURLOPT_WRITEFUNCTION, &ObjectFetch::writeBody);
    set(CURLOPT_WRITEDATA, this);
    if (!caFile_.isEmpty()) {
      extraCas_.file = caFile_;
      if (!trustExtraCasOf(curl_.get(), extraCas_))
        throw failure(url_, QStringLiteral("the HTTP client cannot trust an extra CA file"));
    }
  }
  ObjectFetch(const ObjectFetch&) = delete;
  ObjectFetch& operator=(const ObjectFetch&) = delete;

  // Runs the fetch in turns of at most 100 ms, with `whileWaiting` between them.
  void perform(CURLM* multi, const std::function<void()>& whileWaiting) {
    if (curl_multi_add_handle(multi, curl_.get()) != CURLM_OK)
      throw failure(url_, QStringLiteral("the HTTP client cannot be created"));
    struct Detach {
      CURLM* multi;
      CURL* easy;
      ~Detach() { curl_multi_remove_handle(multi, easy); }
    } detach{multi, curl_.get()};
    for (int running = 1;;) {
      if (curl_multi_perform(multi, &running) != CURLM_OK || running == 0) break;
      curl_multi_poll(multi, nullptr, 0, kTurnMs, nullptr);
      if (whileWaiting) whileWaiting();
    }
    throwIfFailed(resultOf(multi));
    checkAnswer();
    if (written_ != size_ - from_)
      throw failure(url_, QStringLiteral("%1 of the %2 bytes from byte %3 arrived")
                              .arg(written_)
                              .arg(size_ - from_)
                              .arg(from_));
  }

 private:
  template <typename Value>
  void set(CURLoption option, Value value) {
    if (curl_easy_setopt(curl_.get(), option, value) != CURLE_OK)
      throw failure(url_, QStringLiteral("the HTTP client does not support option %1").arg(option));
  }

  CURLcode resultOf(CURLM* multi) {
    int left = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi, &left))
      if (message->msg == CURLMSG_DONE && message->easy_handle == curl_.get())
        return message->data.result;
    return CURLE_RECV_ERROR;
  }

  void throwIfFailed(CURLcode result) {
    if (writeError_) std::rethrow_exception(writeError_);
    if (result == CURLE_OK) return;
    if (!reason_.isEmpty()) throw failure(url_, reason_);
    const QString reason = !extraCas_.failure.isEmpty() ? extraCas_.failure
                           : curlError_[0]              ? QString::fromUtf8(curlError_)
                                           : QString::fromUtf8(curl_easy_strerror(result));
    throw MirrorUnreachable((url_ + QStringLiteral(": ") + reason).toStdString());
  }

  // Why the answer is not the bytes asked for, or empty when it is. A mirror
  // that ignores the range and sends the whole object is taken, its first
  // bytes skipped.
  QString answerProblem() {
    long status = 0;
    curl_easy_getinfo(curl_.get(), CURLINFO_RESPONSE_CODE, &status);
    curl_off_t announced = -1;
    curl_easy_getinfo(curl_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    std::int64_t bodyBytes = size_;
    if (status == 206 && from_ > 0) {
      curl_header* range = nullptr;
      if (curl_easy_header(curl_.get(), "Content-Range", 0, CURLH_HEADER, -1, &range) !=
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
    if (const QString problem = answerProblem(); !problem.isEmpty()) throw failure(url_, problem);
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
      fetch.reason_ = QString::fromUtf8(error.what()).mid(fetch.url_.size() + 2);
    } catch (...) {
      fetch.writeError_ = std::current_exception();
    }
    return 0;
  }

  void write(const char* data, std::int64_t count) {
    checkAnswer();
    const std::int64_t skipped = std::min(skip_, count);
    skip_ -= skipped;
    data += skipped;
    count -= skipped;
    if (written_ + count > size_ - from_)
      throw failure(url_,
                    QStringLiteral("the answer is longer than the object's %1 bytes").arg(size_));
    if (count > 0 && into_.write(data, count) != count)
      throw failure(url_, QStringLiteral("the bytes could not all be written"));
    written_ += count;
  }

  QString url_;
  QByteArray caFile_;
  ExtraCas extraCas_;  // the callbacks of the TLS context read it
  std::int64_t from_;
  std::int64_t size_;
  TStream& into_;
  bool checked_ = false;
  std::int64_t skip_ = 0;  // of a whole object sent instead of its range
  std::int64_t written_ = 0;
  QString reason_;
  std::exception_ptr writeError_;
  char curlError_[CURL_ERROR_SIZE] = {};
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl_{curl_easy_init(), &curl_easy_cleanup};
};

}  // namespace

struct MirrorClient::Connections {
  std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi{curl_multi_init(),
                                                              &curl_multi_cleanup};
};

MirrorClient::MirrorClient(Options options)
    : options_(std::move(options)), connections_(std::make_unique<Connections>()) {
  // Once per process, before the first handle; should it fail, no handle can
  // be created and every fetch reports that.
  [[maybe_unused]] static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
}

MirrorClient::~MirrorClient() = default;

void MirrorClient::fetch(const QString& url, std::int64_t from, std::int64_t size, TStream& into) {
  if (from >= size) return;  // the kept copy holds the whole object already
  if (!connections_->multi) throw failure(url, QStringLiteral("the HTTP client cannot be created"));
  ObjectFetch fetch(url, from, size, into, options_);
  fetch.perform(connections_->multi.get(), options_.whileWaiting);
}

}  // namespace quorrel
