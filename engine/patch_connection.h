#pragma once

#include <QString>
#include <memory>

#include "file_source.h"
#include "launcher_config.h"
#include "sftp_session.h"
#include "sync_observer.h"

namespace quorrel {

// A flow's connection to the patch server: an SFTP session set up as the
// launcher's (the account, the rule for the server's host key, the speed
// cap), which the walk lists through, and which fetches game files as a
// FileSource. A lost connection is replaced by a new one with the same
// settings.
class PatchConnection : public FileSource {
 public:
  PatchConnection(const LauncherConfig& config, int32_t speedLimitKiB, QsshlibBinding& library,
                  SyncObserver& observer);

  void connect();
  // Ends whatever the session waits for now, and every later call: the
  // player closed the launcher.
  void abort();
  // The session, to list the tree and read the manifest through.
  TSftpSession& session() { return *session_; }

  std::optional<partial_copy::Source> version(const QString& remotePath) override;
  void fetch(const QString& remotePath, TStream& into, int64_t from) override;
  bool lostConnection(const std::exception& error) const override;
  void reconnect() override;

 private:
  std::unique_ptr<TSftpSession> newSession();
  bool verifyHostKey(const char* host, int32_t port, const char* fingerprint, int32_t status,
                     bool& store);

  const LauncherConfig& config_;
  int32_t speedLimitKiB_;
  QsshlibBinding& library_;
  SyncObserver& observer_;
  bool aborted_ = false;
  std::unique_ptr<TSftpSession> session_;
};

}  // namespace quorrel
