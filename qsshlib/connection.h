#pragma once

#include <libssh/libssh.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qsshlib.h"
#include "sftp_protocol.h"

namespace qssh {

struct SessionDeleter {
  void operator()(ssh_session session) const { ssh_free(session); }
};
struct ChannelDeleter {
  void operator()(ssh_channel channel) const { ssh_channel_free(channel); }
};
using SessionPtr = std::unique_ptr<ssh_session_struct, SessionDeleter>;
using ChannelPtr = std::unique_ptr<ssh_channel_struct, ChannelDeleter>;

class ContextState;

// The SFTP channel as a byte stream. The session is non-blocking: a write the
// server's window does not take yet waits like a read, in the caller's slices.
class ChannelTransport : public Transport {
 public:
  ChannelTransport(ssh_session session, ssh_channel channel, ContextState& state)
      : session_(session), channel_(channel), state_(state) {}
  void write(const std::string& bytes) override;
  size_t read(char* buffer, size_t capacity, int timeoutMs) override;
  void keepAlive() override;

 private:
  ssh_session session_;
  ssh_channel channel_;
  ContextState& state_;
};

// A folder whose listing went out before anyone asked for it: its OPENDIR,
// once the handle came its first two READDIRs, and once they showed the end
// its CLOSE. The listing that asks for the folder takes the answers over.
struct FolderAhead {
  uint32_t openId = 0;
  std::optional<std::string> handle;
  std::vector<uint32_t> reads;
  std::optional<uint32_t> closeId;
};

// An open SSH connection with its SFTP channel.
struct Connection {
  Connection(SessionPtr session, ChannelPtr channel, ContextState& state);
  // SFTP over another byte stream, without SSH.
  Connection(std::unique_ptr<Transport> transport, ContextState& state);
  ~Connection();

  SessionPtr session;
  ChannelPtr channel;
  std::unique_ptr<Transport> transport;
  SftpClient client;
  std::map<std::string, FolderAhead> foldersAhead;  // by path
};

}  // namespace qssh
