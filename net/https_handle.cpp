#include "https_handle.h"

#include <QFile>

namespace quorrel {

namespace {

// The longest a request waits without letting its caller run.
constexpr int kTurnMs = 100;

}  // namespace

HttpsHandle::HttpsHandle(const QString& url, const QString& caFile,
                         std::chrono::seconds connectTimeout)
    : url_(url) {
  if (!curl_) throw failure(QStringLiteral("the HTTP client cannot be created"));
  set(CURLOPT_URL, url.toUtf8().constData());
  set(CURLOPT_ERRORBUFFER, curlError_);
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_PROTOCOLS_STR, "https");
  set(CURLOPT_REDIR_PROTOCOLS_STR, "https");
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, 5L);
  set(CURLOPT_CONNECTTIMEOUT, static_cast<long>(connectTimeout.count()));
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  if (caFile.isEmpty()) return;
  extraCas_.file = QFile::encodeName(caFile);
  if (!trustExtraCasOf(curl_.get(), extraCas_))
    throw failure(QStringLiteral("the HTTP client cannot trust an extra CA file"));
}

CURLcode HttpsHandle::perform(CURLM* multi, const std::function<void()>& whileWaiting) {
  if (!multi || curl_multi_add_handle(multi, curl_.get()) != CURLM_OK)
    throw failure(QStringLiteral("the HTTP client cannot be created"));
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
  int left = 0;
  while (const CURLMsg* message = curl_multi_info_read(multi, &left))
    if (message->msg == CURLMSG_DONE && message->easy_handle == curl_.get())
      return message->data.result;
  return CURLE_RECV_ERROR;
}

QString HttpsHandle::reason(CURLcode result) const {
  if (!extraCas_.failure.isEmpty()) return extraCas_.failure;
  return QString::fromUtf8(curlError_[0] ? curlError_ : curl_easy_strerror(result));
}

HttpError HttpsHandle::failure(const QString& reason) const {
  return HttpError((url_ + QStringLiteral(": ") + reason).toStdString());
}

long HttpsHandle::status() const {
  long code = 0;
  curl_easy_getinfo(curl_.get(), CURLINFO_RESPONSE_CODE, &code);
  return code;
}

void initialiseCurl() {
  [[maybe_unused]] static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
}

}  // namespace quorrel
