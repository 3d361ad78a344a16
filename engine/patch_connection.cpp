#include "patch_connection.h"

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

PatchConnection::PatchConnection(const LauncherConfig& config, int32_t speedLimitKiB,
                                 QsshlibBinding& library, SyncObserver& observer)
    : config_(config),
      speedLimitKiB_(speedLimitKiB),
      library_(library),
      observer_(observer),
      session_(newSession()) {}

void PatchConnection::connect() {
  session_->Connect();
}

void PatchConnection::abort() {
  aborted_ = true;
  if (session_) session_->SetAborted(true);
}

std::unique_ptr<TSftpSession> PatchConnection::newSession() {
  auto session = std::make_unique<TSftpSession>(true, library_);
  session->OnMessage = [this](const std::string& text, bool) {
    QString line = QString::fromLocal8Bit(text);
    while (line.endsWith(QChar('\n')) || line.endsWith(QChar('\r'))) line.chop(1);
    observer_.log(line);
  };
  session->OnGetInput = [this](bool& cancel) {
    cancel = false;
    observer_.log(QStringLiteral("Replying with empty line."));
    return std::string();
  };
  session->OnVerifyHostKey = [this](const char* host, int32_t port, const char* fingerprint,
                                    int32_t status, bool& store) {
    return verifyHostKey(host, port, fingerprint, status, store);
  };
  // The caller repaints and takes a close while the patch server is silent.
  session->OnIdle = [this] { observer_.yield(); };
  session->SetHostName(config_.patchHost.toStdString());
  session->SetUserName(config_.patchAccount.toStdString());
  session->SetPassword(config_.patchAccount.toStdString());
  session->SetPort(config_.patchPort);
  session->SetRateLimit(speedLimitKiB_);
  session->SetAborted(aborted_);
  return session;
}

// The patch server's key must be one the build names; without such a list
// the first key seen is taken, only when no key is known for the server and
// on condition that the library stores it (it refuses the key otherwise), and
// a different one is refused.
bool PatchConnection::verifyHostKey(const char* host, int32_t port, const char* fingerprint,
                                    int32_t status, bool& store) {
  const QString seen = QString::fromLatin1(fingerprint);
  QString refusal;
  if (!config_.hostKeySha256.isEmpty()) {
    if (config_.hostKeySha256.contains(seen)) return true;
    refusal = QStringLiteral("not one of the keys this launcher was built for");
  } else if (status == QSSH_HOSTKEY_KNOWN) {
    return true;
  } else if (status == QSSH_HOSTKEY_UNKNOWN || status == QSSH_HOSTKEY_NO_KNOWN_HOSTS) {
    store = true;
    return true;
  } else {
    refusal = refusalReason(status);
  }
  observer_.log(QStringLiteral("Host key of %1 port %2 refused: %3 (%4)")
                    .arg(QString::fromUtf8(host))
                    .arg(port)
                    .arg(seen, refusal));
  return false;
}

// Nothing when the server does not tell the file's size and time; then no
// partial copy is gone on with. A file the server refuses to describe is left
// to the fetch to report in its own words; a lost connection is a lost
// connection.
std::optional<partial_copy::Source> PatchConnection::version(const QString& remotePath) {
  fxp_attrs attrs{};
  try {
    session_->GetStat(remotePath.toStdString(), attrs);
  } catch (const SftpSessionException& error) {
    if (lostConnection(error)) throw;
    observer_.log(QString::fromUtf8(error.what()));
    return std::nullopt;
  }
  if (!(attrs.flags & QSSH_ATTR_SIZE) || !(attrs.flags & QSSH_ATTR_ACMODTIME)) return std::nullopt;
  return partial_copy::Source{static_cast<int64_t>(attrs.size), attrs.mtime};
}

void PatchConnection::fetch(const QString& remotePath, TStream& into, int64_t from) {
  const std::string path = remotePath.toStdString();
  if (from > 0)
    session_->DownloadStreamFrom(path, into, from);
  else
    session_->DownloadStream(path, into, false);
}

bool PatchConnection::lostConnection(const std::exception& error) const {
  if (!session_ || !dynamic_cast<const SftpSessionException*>(&error)) return false;
  switch (session_->ErrorCode()) {
    case QSSH_ERR_CONNECT:
    case QSSH_ERR_SSH:
    case QSSH_ERR_TIMEOUT:
    case QSSH_ERR_NOT_CONNECTED:
    case QSSH_ERR_CONNECTION_LOST:
      return true;
    default:
      return false;
  }
}

void PatchConnection::reconnect() {
  session_.reset();  // the lost connection is freed before the new one is made
  session_ = newSession();
  session_->Connect();
}

}  // namespace quorrel
