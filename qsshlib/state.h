#pragma once

#include <libssh/libssh.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
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

// The SFTP channel as a byte stream.
class ChannelTransport : public Transport {
 public:
  ChannelTransport(ssh_session session, ssh_channel channel)
      : session_(session), channel_(channel) {}
  void write(const std::string& bytes) override;
  size_t read(char* buffer, size_t capacity, int timeoutMs) override;
  void keepAlive() override;

 private:
  ssh_session session_;
  ssh_channel channel_;
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

// What the library keeps for one context, reached through the context's
// reserved bytes.
class ContextState {
 public:
  explicit ContextState(TSshLibContext* ctx, bool verbose) : ctx(ctx), verbose(verbose) {}

  static ContextState* of(TSshLibContext* ctx);
  void attach();
  static void detach(TSshLibContext* ctx);

  // A line of output: always for errors, otherwise only when verbose.
  void print(const std::string& line, bool isError = false);
  bool isVerbose() const;
  // Steps out of the library's critical section and back in, through the
  // caller's callbacks when it set them: while the library waits for the
  // network, a single-threaded caller gets its turn this way.
  void letCallerRun();

  Connection& connection();
  // A remote path with the working folder before it when it is relative.
  std::string resolve(const char* path) const;
  void setWorkDir(std::string pwd);
  void setHomeDir(std::string home);
  void setError(int32_t code, const std::string& message);
  void flushLibsshLog();

  static constexpr uint64_t kMagic = 0x71737368'636f6e74ull;
  uint64_t magic = kMagic;
  TSshLibContext* ctx;
  bool verbose;
  ConfigValues conf;
  std::unique_ptr<Connection> open;
  std::vector<std::string> libsshLog;

 private:
  std::string pwd_;
  std::string home_;
  std::string errorMessage_;
};

// While it lives, the lines libssh logs on this thread are kept for the
// context, to be printed from the library's own code: a message callback that
// throws must never unwind through libssh.
class LibsshLogScope {
 public:
  explicit LibsshLogScope(ContextState& state);
  ~LibsshLogScope();
  LibsshLogScope(const LibsshLogScope&) = delete;
  LibsshLogScope& operator=(const LibsshLogScope&) = delete;

 private:
  ContextState* previous_;
};

}  // namespace qssh
