#include "transfer_rate.h"

#include <cmath>

namespace quorrel {

void TransferRate::begin(std::int64_t total, TimePoint start) {
  samples_.clear();
  total_ = total;
  done_ = 0;
  samples_.push_back({start, 0});
}

void TransferRate::update(std::int64_t done, TimePoint now) {
  done_ = done;
  samples_.push_back({now, done});
  // Keep one sample older than the window, so the window is always spanned.
  while (samples_.size() > 2 && now - samples_[1].at >= kWindow) samples_.pop_front();
}

void TransferRate::skip(std::int64_t bytes) {
  done_ += bytes;
  for (Sample& sample : samples_) sample.done += bytes;
}

std::optional<double> TransferRate::bytesPerSecond() const {
  if (samples_.size() < 2) return std::nullopt;
  const std::chrono::duration<double> span = samples_.back().at - samples_.front().at;
  if (span.count() <= 0) return std::nullopt;
  return static_cast<double>(samples_.back().done - samples_.front().done) / span.count();
}

std::optional<std::chrono::seconds> TransferRate::timeLeft() const {
  const std::optional<double> speed = bytesPerSecond();
  if (!speed || *speed <= 0) return std::nullopt;
  const double rest = static_cast<double>(std::max<std::int64_t>(0, total_ - done_));
  return std::chrono::seconds(static_cast<std::int64_t>(std::ceil(rest / *speed)));
}

QString TransferRate::text() const {
  QString text = QStringLiteral("%1 of %2").arg(byteCountText(done_), byteCountText(total_));
  if (const std::optional<double> speed = bytesPerSecond())
    text = byteCountText(static_cast<std::int64_t>(*speed)) + QStringLiteral("/s, ") + text;
  if (const std::optional<std::chrono::seconds> left = timeLeft())
    text += QStringLiteral(", ") + durationText(*left) + QStringLiteral(" left");
  return text;
}

QString byteCountText(std::int64_t bytes) {
  const char* const units[] = {"kB", "MB", "GB", "TB"};
  if (bytes < 1000) return QStringLiteral("%1 B").arg(bytes);
  double value = static_cast<double>(bytes);
  int unit = -1;
  while (value >= 1000 && unit < 3) {
    value /= 1000;
    ++unit;
  }
  return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString durationText(std::chrono::seconds duration) {
  const std::int64_t seconds = duration.count();
  if (seconds < 60) return QStringLiteral("%1 s").arg(seconds);
  const std::int64_t minutes = (seconds + 59) / 60;
  if (minutes < 60) return QStringLiteral("%1 min").arg(minutes);
  return QStringLiteral("%1 h %2 min").arg(minutes / 60).arg(minutes % 60, 2, 10, QChar('0'));
}

}  // namespace quorrel
