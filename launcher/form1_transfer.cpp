// What the flows' sessions report: progress, library output, questions.
#include <QCoreApplication>

#include <utility>

#include "form1.h"
#include "progress.h"

namespace quorrel {

namespace {

// Why a key the build does not pin is refused, by the library's verification status.
QString refusalReason(int32_t verificationstatus) {
  switch (verificationstatus) {
    case QSSH_HOSTKEY_CHANGED:
      return QStringLiteral("the server's key has changed since it was first seen");
    case QSSH_HOSTKEY_OTHER_TYPE:
      return QStringLiteral("the server was first seen with a key of another type");
    case QSSH_HOSTKEY_UNREADABLE:
      return QStringLiteral("the file of known keys cannot be read");
    default:
      return QStringLiteral("the key's status %1 is not understood").arg(verificationstatus);
  }
}

}  // namespace

// Each report is the offset reached in the file being fetched, so the bytes
// newly received are the difference to the previous report of that file.
bool TForm1::GameDownloadProgressCalback(int64_t bytescopied, bool) {
  const int64_t previous = flow_ ? std::exchange(flow_->fileOffsetReached, bytescopied) : 0;
  const int64_t received = progress::newBytes(previous, bytescopied);
  downloaded_bytes += received;
  if (flow_) flow_->bytesFetched += received;
  // In the window's log only: one line per block would flood the file.
  Memo1 << QStringLiteral("%1/%2").arg(downloaded_bytes).arg(download_total);
  const int32_t percent = progress::percentOf(downloaded_bytes, download_total);
  customProgressBar(percent);
  // The rate line changes a few times a second at most: often enough to read.
  if (const Clock::TimePoint now = platform_.clock.now();
      now - rateShown_ >= std::chrono::milliseconds(250))
    showTransferRate(now);
  QCoreApplication::processEvents();
  return true;
}

void TForm1::MessageCallback(const std::string& Msg, bool) {
  QString line = QString::fromLocal8Bit(Msg);
  while (line.endsWith(QChar('\n')) || line.endsWith(QChar('\r'))) line.chop(1);
  logLine(line);
}

std::string TForm1::GetInputCallback(bool& cancel) {
  cancel = false;
  logLine(QStringLiteral("Replying with empty line."));
  return std::string();
}

// The patch server's key must be one the build names; without such a list
// the first key seen is taken, only when no key is known for the server and
// on condition that the library stores it (it refuses the key otherwise), and
// a different one is refused.
bool TForm1::VerifyHostKeyCallback(const char* host, int32_t port, const char* fingerprint,
                                   int32_t verificationstatus, bool& storehostkey) {
  const QString seen = QString::fromLatin1(fingerprint);
  QString refusal;
  if (!config_.hostKeySha256.isEmpty()) {
    if (config_.hostKeySha256.contains(seen)) return true;
    refusal = QStringLiteral("not one of the keys this launcher was built for");
  } else if (verificationstatus == QSSH_HOSTKEY_KNOWN) {
    return true;
  } else if (verificationstatus == QSSH_HOSTKEY_UNKNOWN ||
             verificationstatus == QSSH_HOSTKEY_NO_KNOWN_HOSTS) {
    storehostkey = true;
    return true;
  } else {
    refusal = refusalReason(verificationstatus);
  }
  logLine(QStringLiteral("Host key of %1 port %2 refused: %3 (%4)")
              .arg(QString::fromUtf8(host))
              .arg(port)
              .arg(seen, refusal));
  return false;
}

}  // namespace quorrel
