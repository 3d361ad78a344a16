#include "connection.h"

#include <algorithm>
#include <optional>

#include "context_state.h"
#include "lib_error.h"
#include "operation_support.h"
#include "session_wait.h"

namespace qssh {

void ChannelTransport::write(const std::string& bytes) {
  size_t written = 0;
  std::optional<Deadline> deadline;
  while (written < bytes.size()) {
    const int result = ssh_channel_write(channel_, bytes.data() + written,
                                         static_cast<uint32_t>(bytes.size() - written));
    if (result == SSH_ERROR)
      fail(QSSH_ERR_CONNECTION_LOST, std::string("Connection lost: ") + ssh_get_error(session_));
    written += static_cast<size_t>(result);
    if (written == bytes.size()) break;
    if (!deadline) deadline = Deadline::after(operationTimeout(state_), callerTurn(state_));
    if (deadline->passed()) fail(QSSH_ERR_TIMEOUT, "The server took no more data in time");
    awaitSocket(session_, *deadline);
  }
}

size_t ChannelTransport::read(char* buffer, size_t capacity, int timeoutMs) {
  const int result =
      ssh_channel_read_timeout(channel_, buffer, static_cast<uint32_t>(capacity), 0, timeoutMs);
  if (result == SSH_ERROR)
    fail(QSSH_ERR_CONNECTION_LOST, std::string("Connection lost: ") + ssh_get_error(session_));
  if (result == 0 && (ssh_channel_is_eof(channel_) || ssh_channel_is_closed(channel_)))
    fail(QSSH_ERR_CONNECTION_LOST, "Connection lost: the server closed the SFTP channel");
  return static_cast<size_t>(result);
}

void ChannelTransport::keepAlive() {
  ssh_send_ignore(session_, "keepalive");
}

namespace {

SftpClient clientFor(Transport& transport, ContextState& state) {
  return SftpClient(transport,
                    WaitRules{[&state] { return operationTimeout(state); },
                              [&state] { return state.ctx->aborted != 0; },
                              [&state] { return state.conf.intValue(Conf::KeepAliveInterval); },
                              [&state] { state.letCallerRun(); }},
                    static_cast<size_t>(std::max(state.conf.intValue(Conf::SftpMaxPacket), 65536)),
                    static_cast<size_t>(std::max(state.conf.intValue(Conf::SftpMaxWindow), 0)));
}

}  // namespace

Connection::Connection(SessionPtr sessionIn, ChannelPtr channelIn, ContextState& state)
    : session(std::move(sessionIn)),
      channel(std::move(channelIn)),
      transport(std::make_unique<ChannelTransport>(session.get(), channel.get(), state)),
      client(clientFor(*transport, state)) {}

Connection::Connection(std::unique_ptr<Transport> transportIn, ContextState& state)
    : transport(std::move(transportIn)), client(clientFor(*transport, state)) {}

Connection::~Connection() {
  if (!session) return;
  // The channel goes before the connection it belongs to.
  ssh_channel_send_eof(channel.get());
  ssh_channel_close(channel.get());
  channel.reset();
  ssh_disconnect(session.get());
}

}  // namespace qssh
