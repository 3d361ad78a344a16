#include "mirror_client.h"

#include <QByteArray>
#include <algorithm>
#include <deque>
#include <exception>

#include "https_handle.h"

namespace quorrel {

namespace {

// A large object comes in ranges of this size, two at once, each on a
// connection of its own: on a link with a long round trip and some loss one
// connection rarely fills the link, and a lost packet slows one range, not
// all. The range after the one being written waits in memory, so a range is
// as large as keeps the wait between two requests small beside its transfer,
// and no larger.
constexpr std::int64_t kRangeBytes = 16 * 1024 * 1024;
constexpr int kRangesInFlight = 2;
// The longest a fetch waits without letting its caller run.
constexpr int kTurnMs = 100;

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

// One range [first, end) of a `size`-byte object, fetched on a handle of its
// own. Its bytes go straight into the stream once it is the first range not
// yet written (the head); until then it holds them, so the stream is always
// written in order and a partial copy never has a hole.
class RangeFetch {
 public:
  // `open`: the range runs to the object's end and may be asked for as
  // "from `first` on", so that a mirror that answers with the whole object
  // (as one without ranges does) is taken too.
  RangeFetch(const QString& url, std::int64_t first, std::int64_t end, std::int64_t size,
             const MirrorClient::Options& options, std::int64_t speedLimit, bool open)
      : handle_(url, options.caFile, options.connectTimeout),
        first_(first),
        end_(end),
        size_(size),
        open_(open),
        stopped_(options.stopped) {
    handle_.set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    handle_.set(CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.stallTimeout.count()));
    if (speedLimit > 0)
      handle_.set(CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(speedLimit));
    if (!open_)
      handle_.set(CURLOPT_RANGE,
                  (QByteArray::number(first_) + '-' + QByteArray::number(end_ - 1)).constData());
    else if (first_ > 0)
      handle_.set(CURLOPT_RANGE, (QByteArray::number(first_) + '-').constData());
    handle_.set(CURLOPT_WRITEFUNCTION, &RangeFetch::writeBody);
    handle_.set(CURLOPT_WRITEDATA, this);
  }
  ~RangeFetch() {
    if (multi_) curl_multi_remove_handle(multi_, handle_.get());
  }
  RangeFetch(const RangeFetch&) = delete;
  RangeFetch& operator=(const RangeFetch&) = delete;

  void start(CURLM* multi) {
    if (curl_multi_add_handle(multi, handle_.get()) != CURLM_OK)
      throw handle_.failure(QStringLiteral("the HTTP client cannot be created"));
    multi_ = multi;
  }
  CURL* easy() const { return handle_.get(); }

  // The range is the first not yet written: what it holds goes into `into`,
  // and so does every byte from now on.
  void becomeHead(TStream& into) {
    into_ = &into;
    if (held_.isEmpty()) return;
    if (into.write(held_.constData(), held_.size()) != held_.size())
      throw handle_.failure(QStringLiteral("the bytes could not all be written"));
    held_ = QByteArray();
  }

  // The transfer ended with `result`: an error unless the range arrived whole.
  void finished(CURLcode result) {
    if (writeError_) std::rethrow_exception(writeError_);
    if (result != CURLE_OK) {
      if (!reason_.isEmpty()) throw handle_.failure(reason_);  // a fault of the answer
      if (refusesTrust(result))
        throw MirrorUntrusted(handle_.failure(handle_.reason(result)).what());
      throw handle_.failure(handle_.reason(result));
    }
    checkAnswer();
    if (received_ != end_ - first_)
      throw handle_.failure(QStringLiteral("%1 of the %2 bytes from byte %3 arrived")
                                .arg(received_)
                                .arg(end_ - first_)
                                .arg(first_));
    done_ = true;
  }
  bool done() const { return done_; }

 private:
  QByteArray expectedRange() const {
    return "bytes " + QByteArray::number(first_) + '-' + QByteArray::number(end_ - 1) + '/' +
           QByteArray::number(size_);
  }

  // Why the answer is not the bytes asked for, or empty when it is.
  QString answerProblem() {
    const long status = handle_.status();
    std::int64_t bodyBytes = end_ - first_;
    if (status == 206) {
      curl_header* range = nullptr;
      if (curl_easy_header(handle_.get(), "Content-Range", 0, CURLH_HEADER, -1, &range) !=
              CURLHE_OK ||
          QByteArray(range->value).trimmed() != expectedRange())
        return QStringLiteral("the answer is not the range asked for (%1)")
            .arg(QString::fromLatin1(expectedRange()));
    } else if (status == 200 && open_) {
      skip_ = first_;  // the whole object: the bytes before the range are dropped
      bodyBytes = size_;
    } else if (status == 200) {
      return QStringLiteral("HTTP status 200 to a range request: the mirror does not answer them");
    } else {
      return QStringLiteral("HTTP status %1").arg(status);
    }
    curl_off_t announced = -1;
    curl_easy_getinfo(handle_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    if (announced >= 0 && announced != bodyBytes)
      return QStringLiteral("the answer announces %1 bytes, not %2").arg(announced).arg(bodyBytes);
    return {};
  }

  void checkAnswer() {
    if (checked_) return;
    checked_ = true;
    if (const QString problem = answerProblem(); !problem.isEmpty()) throw handle_.failure(problem);
  }

  // Nothing past the range's end is taken; the caller's stream and every
  // error of it stay out of curl's C code.
  static size_t writeBody(char* data, size_t, size_t count, void* opaque) {
    auto& range = *static_cast<RangeFetch*>(opaque);
    try {
      range.take(data, static_cast<std::int64_t>(count));  // curl's item size is always 1
      return count;
    } catch (const HttpError& error) {
      range.reason_ = QString::fromUtf8(error.what()).mid(range.handle_.url().size() + 2);
    } catch (...) {
      range.writeError_ = std::current_exception();
    }
    return 0;
  }

  void take(const char* data, std::int64_t count) {
    if (stopped_ && stopped_()) throw handle_.failure(QStringLiteral("the fetch was stopped"));
    checkAnswer();
    const std::int64_t skipped = std::min(skip_, count);
    skip_ -= skipped;
    data += skipped;
    count -= skipped;
    if (received_ + count > end_ - first_)
      throw handle_.failure(
          open_ ? QStringLiteral("the answer is longer than the object's %1 bytes").arg(size_)
                : QStringLiteral("the answer is longer than the range asked for"));
    if (count > 0 && into_ && into_->write(data, count) != count)
      throw handle_.failure(QStringLiteral("the bytes could not all be written"));
    if (count > 0 && !into_) held_.append(data, count);
    received_ += count;
  }

  HttpsHandle handle_;
  CURLM* multi_ = nullptr;
  std::int64_t first_;
  std::int64_t end_;
  std::int64_t size_;
  bool open_;
  std::function<bool()> stopped_;
  TStream* into_ = nullptr;
  QByteArray held_;  // what arrived before the ranges in front of it were written
  bool checked_ = false;
  bool done_ = false;
  std::int64_t skip_ = 0;
  std::int64_t received_ = 0;
  QString reason_;
  std::exception_ptr writeError_;
};

// The ranges of one object's fetch, in order, with a few in flight at once.
class ObjectFetch {
 public:
  ObjectFetch(const QString& url, std::int64_t from, std::int64_t size, CURLM* multi,
              const MirrorClient::Options& options)
      : url_(url), first_(from), next_(from), size_(size), multi_(multi), options_(options) {}

  void run(TStream& into) {
    into.setPosition(next_);
    // A small object, or the rest of one, comes in one piece.
    const bool inRanges = size_ - next_ > kRangeBytes;
    rangeBytes_ = inRanges ? kRangeBytes : size_ - next_;
    speedShare_ = options_.speedLimitBytesPerSecond / (inRanges ? kRangesInFlight : 1);
    if (options_.speedLimitBytesPerSecond > 0) speedShare_ = std::max<std::int64_t>(speedShare_, 1);
    startRanges();
    ranges_.front()->becomeHead(into);
    for (;;) {
      int running = 0;
      if (curl_multi_perform(multi_, &running) != CURLM_OK)
        throw HttpError((url_ + QStringLiteral(": the HTTP client failed")).toStdString());
      takeFinished();
      while (!ranges_.empty() && ranges_.front()->done()) {
        ranges_.pop_front();
        if (options_.stopped && options_.stopped())
          throw HttpError((url_ + QStringLiteral(": the fetch was stopped")).toStdString());
        startRanges();
        if (!ranges_.empty()) ranges_.front()->becomeHead(into);
      }
      if (ranges_.empty()) return;  // every range was asked for, and all are written
      curl_multi_poll(multi_, nullptr, 0, kTurnMs, nullptr);
      if (options_.whileWaiting) options_.whileWaiting();
    }
  }

 private:
  // As many ranges in flight as allowed, while some of the object is not
  // asked for yet.
  void startRanges() {
    while (static_cast<int>(ranges_.size()) < kRangesInFlight && next_ < size_) {
      const std::int64_t end = std::min(next_ + rangeBytes_, size_);
      ranges_.push_back(std::make_unique<RangeFetch>(url_, next_, end, size_, options_, speedShare_,
                                                     rangeBytes_ == size_ - first_));
      ranges_.back()->start(multi_);
      next_ = end;
    }
  }

  // The first failed range ends the fetch: the ranges in front of it are
  // written, and what they hold is where the next fetch goes on.
  void takeFinished() {
    int left = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      for (const std::unique_ptr<RangeFetch>& range : ranges_)
        if (range->easy() == message->easy_handle) range->finished(message->data.result);
    }
  }

  QString url_;
  std::int64_t first_;  // the first byte to fetch
  std::int64_t next_;   // the first byte no range asks for yet
  std::int64_t size_;
  CURLM* multi_;
  const MirrorClient::Options& options_;
  std::int64_t rangeBytes_ = 0;
  std::int64_t speedShare_ = 0;
  std::deque<std::unique_ptr<RangeFetch>> ranges_;
};

}  // namespace

struct MirrorClient::Connections {
  std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi{curl_multi_init(),
                                                              &curl_multi_cleanup};
};

MirrorClient::MirrorClient(Options options) : options_(std::move(options)) {
  initialiseCurl();
  connections_ = std::make_unique<Connections>();
  // Each range on a connection of its own rather than as streams of one
  // HTTP/2 connection, which would share one window of the link.
  if (connections_->multi)
    curl_multi_setopt(connections_->multi.get(), CURLMOPT_PIPELINING, CURLPIPE_NOTHING);
}

MirrorClient::~MirrorClient() = default;

void MirrorClient::fetch(const QString& url, std::int64_t from, std::int64_t size, TStream& into) {
  if (from >= size) return;  // the kept copy holds the whole object already
  if (!connections_->multi)
    throw HttpError((url + QStringLiteral(": the HTTP client cannot be created")).toStdString());
  ObjectFetch(url, from, size, connections_->multi.get(), options_).run(into);
}

}  // namespace quorrel
