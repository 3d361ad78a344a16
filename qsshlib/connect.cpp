#include "connect.h"

#include <cstdlib>
#include <cstring>

#include "lib_error.h"
#include "local_file.h"
#include "net.h"
#include "operation_support.h"
#include "session_wait.h"

namespace qssh {

namespace {

struct KeyDeleter {
  void operator()(ssh_key key) const { ssh_key_free(key); }
};
using KeyPtr = std::unique_ptr<ssh_key_struct, KeyDeleter>;

struct CharDeleter {
  void operator()(char* text) const { ssh_string_free_char(text); }
};
using SshText = std::unique_ptr<char, CharDeleter>;

// The longest a server may take over each step of the handshake: its
// greeting and the key exchange, the authentication, the start of SFTP. A
// server that answers at all answers these within moments; a player does not
// wait longer for one that stalls. The connection time-out shortens it.
constexpr int32_t kHandshakeStepMs = 10000;

int32_t connectTimeout(const TSshLibContext* ctx) {
  return ctx->connectiontimeoutticks > 0 ? ctx->connectiontimeoutticks : QSSH_DEFAULT_TIMEOUT_TICKS;
}

// The handshake's requests to the server: each is tried until libssh is done
// with it, with a deadline of its own.
class Handshake {
 public:
  Handshake(ContextState& state, ssh_session session)
      : state_(state),
        session_(session),
        limitMs_(std::min(kHandshakeStepMs, connectTimeout(state.ctx))) {}

  // Calls `call` until it answers anything but `again`; when the deadline
  // passes first, the request fails as a time-out: `missing` did not come.
  template <typename Call>
  int run(int again, Call&& call, const std::function<std::string()>& missing) const {
    return untilDone(session_, Deadline::after(limitMs_, callerTurn(state_)), again,
                     std::forward<Call>(call),
                     [&] { return missing() + " within " + secondsText(limitMs_); });
  }
  template <typename Call>
  int run(int again, Call&& call, const std::string& missing) const {
    return run(again, std::forward<Call>(call), [&] { return missing; });
  }

 private:
  ContextState& state_;
  ssh_session session_;
  int32_t limitMs_;
};

void setOption(ssh_session session, ssh_options_e option, const void* value, const char* name) {
  if (ssh_options_set(session, option, value) != SSH_OK)
    fail(QSSH_ERR_INVALID,
         std::string("Invalid value for ") + name + ": " + ssh_get_error(session));
}

void setTextOption(ssh_session session, ssh_options_e option, const ConfigValues& conf, Conf name,
                   const char* label) {
  const std::string& value = conf.stringValue(name);
  if (!value.empty()) setOption(session, option, value.c_str(), label);
}

void setIntOption(ssh_session session, ssh_options_e option, int value, const char* label) {
  setOption(session, option, &value, label);
}

void applyAlgorithmOptions(ssh_session session, const ConfigValues& conf) {
  setTextOption(session, SSH_OPTIONS_CIPHERS_C_S, conf, Conf::CiphersCS, "ciphers_c_s");
  setTextOption(session, SSH_OPTIONS_CIPHERS_S_C, conf, Conf::CiphersSC, "ciphers_s_c");
  setTextOption(session, SSH_OPTIONS_HMAC_C_S, conf, Conf::HmacCS, "hmac_c_s");
  setTextOption(session, SSH_OPTIONS_HMAC_S_C, conf, Conf::HmacSC, "hmac_s_c");
  setTextOption(session, SSH_OPTIONS_KEY_EXCHANGE, conf, Conf::KeyExchange, "key_exchange");
  setTextOption(session, SSH_OPTIONS_HOSTKEYS, conf, Conf::HostKeyAlgorithms, "hostkey_algorithms");
  setTextOption(session, SSH_OPTIONS_PUBLICKEY_ACCEPTED_TYPES, conf, Conf::PubkeyAcceptedTypes,
                "pubkey_accepted_types");
  setOption(session, SSH_OPTIONS_COMPRESSION, conf.boolValue(Conf::Compression) ? "yes" : "no",
            "compression");
  setTextOption(session, SSH_OPTIONS_COMPRESSION_C_S, conf, Conf::CompressionCS, "compression_c_s");
  setTextOption(session, SSH_OPTIONS_COMPRESSION_S_C, conf, Conf::CompressionSC, "compression_s_c");
  setIntOption(session, SSH_OPTIONS_COMPRESSION_LEVEL, conf.intValue(Conf::CompressionLevel),
               "compression_level");
  if (conf.intValue(Conf::RekeyData) > 0) {
    const uint64_t bytes = uint64_t(conf.intValue(Conf::RekeyData)) * 1024 * 1024;
    setOption(session, SSH_OPTIONS_REKEY_DATA, &bytes, "rekey_data");
  }
  if (conf.intValue(Conf::RekeyTime) > 0) {
    const uint32_t seconds = static_cast<uint32_t>(conf.intValue(Conf::RekeyTime));
    setOption(session, SSH_OPTIONS_REKEY_TIME, &seconds, "rekey_time");
  }
  if (conf.intValue(Conf::RsaMinSize) > 0)
    setIntOption(session, SSH_OPTIONS_RSA_MIN_SIZE, conf.intValue(Conf::RsaMinSize),
                 "rsa_min_size");
}

void applyAuthOptions(ssh_session session, const ConfigValues& conf) {
  setIntOption(session, SSH_OPTIONS_PASSWORD_AUTH, conf.boolValue(Conf::AuthPassword),
               "auth_password");
  setIntOption(session, SSH_OPTIONS_KBDINT_AUTH, conf.boolValue(Conf::AuthKbdInt),
               "auth_keyboard_interactive");
  setIntOption(session, SSH_OPTIONS_PUBKEY_AUTH, conf.boolValue(Conf::AuthPublicKey),
               "auth_publickey");
  setIntOption(session, SSH_OPTIONS_GSSAPI_AUTH, conf.boolValue(Conf::GssapiAuth), "gssapi_auth");
  setTextOption(session, SSH_OPTIONS_GSSAPI_SERVER_IDENTITY, conf, Conf::GssapiServerIdentity,
                "gssapi_server_identity");
  setTextOption(session, SSH_OPTIONS_GSSAPI_CLIENT_IDENTITY, conf, Conf::GssapiClientIdentity,
                "gssapi_client_identity");
  if (conf.boolValue(Conf::GssapiAuth))
    setIntOption(session, SSH_OPTIONS_GSSAPI_DELEGATE_CREDENTIALS,
                 conf.boolValue(Conf::GssapiDelegate), "gssapi_delegate_credentials");
  setTextOption(session, SSH_OPTIONS_IDENTITY_AGENT, conf, Conf::IdentityAgent, "identity_agent");
  setTextOption(session, SSH_OPTIONS_SSH_DIR, conf, Conf::SshDir, "ssh_dir");
}

SessionPtr newSession(ContextState& state, NativeSocket fd, const std::string& host, int port,
                      const std::string& user) {
  SessionPtr session(ssh_new());
  if (!session) fail(QSSH_ERR_SSH, "Out of memory");
  const ConfigValues& conf = state.conf;
  const bool processConfig = false;  // the user's ssh config must not change what we do
  setOption(session.get(), SSH_OPTIONS_PROCESS_CONFIG, &processConfig, "process_config");
  setOption(session.get(), SSH_OPTIONS_HOST, host.c_str(), "host");
  setIntOption(session.get(), SSH_OPTIONS_PORT, port, "port");
  setOption(session.get(), SSH_OPTIONS_USER, user.c_str(), "user");
  setIntOption(session.get(), SSH_OPTIONS_NODELAY, conf.boolValue(Conf::TcpNoDelay), "tcp_nodelay");
  const std::string knownHosts = knownHostsFile(conf);
  setOption(session.get(), SSH_OPTIONS_KNOWNHOSTS, knownHosts.c_str(), "known_hosts_file");
  const std::string& global = conf.stringValue(Conf::GlobalKnownHostsFile);
  setOption(session.get(), SSH_OPTIONS_GLOBAL_KNOWNHOSTS,
            global.empty() ? "/dev/null" : global.c_str(), "global_known_hosts_file");
  applyAlgorithmOptions(session.get(), conf);
  applyAuthOptions(session.get(), conf);
  setIntOption(session.get(), SSH_OPTIONS_LOG_VERBOSITY, conf.intValue(Conf::LogVerbosity),
               "log_verbosity");
  const socket_t socketFd = fd;
  setOption(session.get(), SSH_OPTIONS_FD, &socketFd, "fd");
  ssh_set_blocking(session.get(), 0);
  return session;
}

// A missing file holds no entry; a file that is there but cannot be read
// might hold one, so it never counts as a first meeting.
int32_t knownHostsStatus(ContextState& state, ssh_session session, const std::string& knownHosts) {
  std::string reason;
  const LocalFileState file = localFileState(knownHosts, reason);
  if (file == LocalFileState::Missing) return QSSH_HOSTKEY_NO_KNOWN_HOSTS;
  if (file == LocalFileState::Unreadable) {
    state.print("Cannot read the known-hosts file " + knownHosts + ": " + reason, true);
    return QSSH_HOSTKEY_UNREADABLE;
  }
  switch (ssh_session_is_known_server(session)) {
    case SSH_KNOWN_HOSTS_OK:
      return QSSH_HOSTKEY_KNOWN;
    case SSH_KNOWN_HOSTS_UNKNOWN:
      return QSSH_HOSTKEY_UNKNOWN;
    case SSH_KNOWN_HOSTS_CHANGED:
      return QSSH_HOSTKEY_CHANGED;
    case SSH_KNOWN_HOSTS_OTHER:
      return QSSH_HOSTKEY_OTHER_TYPE;
    case SSH_KNOWN_HOSTS_NOT_FOUND:
      return QSSH_HOSTKEY_NO_KNOWN_HOSTS;
    default:
      state.print("Cannot read the known-hosts file " + knownHosts + ": " + ssh_get_error(session),
                  true);
      return QSSH_HOSTKEY_UNREADABLE;
  }
}

std::string fingerprintOf(ssh_key key, const std::string& hashName) {
  const ssh_publickey_hash_type type = hashName == "md5"    ? SSH_PUBLICKEY_HASH_MD5
                                       : hashName == "sha1" ? SSH_PUBLICKEY_HASH_SHA1
                                                            : SSH_PUBLICKEY_HASH_SHA256;
  unsigned char* hash = nullptr;
  size_t length = 0;
  if (ssh_get_publickey_hash(key, type, &hash, &length) != SSH_OK)
    fail(QSSH_ERR_SSH, "Cannot compute the host key's fingerprint");
  SshText text(ssh_get_fingerprint_hash(type, hash, length));
  ssh_clean_pubkey_hash(&hash);
  return text ? text.get() : "";
}

void verifyHostKey(ContextState& state, ssh_session session, const std::string& host, int port) {
  ssh_key rawKey = nullptr;
  if (ssh_get_server_publickey(session, &rawKey) != SSH_OK)
    fail(QSSH_ERR_SSH, std::string("No host key from the server: ") + ssh_get_error(session));
  KeyPtr key(rawKey);
  const ConfigValues& conf = state.conf;
  const std::string fingerprint = fingerprintOf(key.get(), conf.stringValue(Conf::FingerprintHash));
  char* rawBase64 = nullptr;
  ssh_pki_export_pubkey_base64(key.get(), &rawBase64);
  SshText base64(rawBase64);
  const std::string keyType = ssh_key_type_to_char(ssh_key_type(key.get()));
  const int32_t status = knownHostsStatus(state, session, knownHostsFile(conf));
  state.print("Host key " + keyType + " " + fingerprint + ", known-hosts status " +
              std::to_string(status));

  bool accepted = false;
  qssh_bool store = 0;
  if (conf.boolValue(Conf::StrictHostKeyChecking)) {
    accepted = status == QSSH_HOSTKEY_KNOWN;
  } else if (status == QSSH_HOSTKEY_KNOWN && !conf.boolValue(Conf::HostKeyAskKnown)) {
    accepted = true;
  } else if (state.ctx->verify_host_key_callback) {
    accepted = state.ctx->verify_host_key_callback(host.c_str(), port, keyType.c_str(),
                                                   base64 ? base64.get() : "", fingerprint.c_str(),
                                                   status, &store, state.ctx) != 0;
  }
  if (!accepted)
    fail(QSSH_ERR_HOSTKEY_REJECTED, "Host key rejected: " + keyType + " " + fingerprint + " of " +
                                        host + " port " + std::to_string(port));
  // A key accepted on condition that it is remembered is refused when it
  // cannot be: otherwise the next connection would meet any key as a first one.
  if (store) {
    const std::string file = knownHostsFile(conf);
    makeParentFolders(file);
    if (ssh_session_update_known_hosts(session) != SSH_OK)
      fail(QSSH_ERR_HOSTKEY_REJECTED,
           "Host key refused: it cannot be stored in " + file + ": " + ssh_get_error(session));
    state.print("Host key stored in " + file);
  }
}

// Asks the caller for a secret; nothing when the caller gives up.
std::optional<std::string> askSecret(ContextState& state, const std::string& prompt,
                                     const std::string& name, const char* password, bool& asked) {
  if (!state.ctx->getpassword_callback) {
    if (asked || !password) return std::nullopt;
    asked = true;
    return std::string(password);
  }
  qssh_bool cancel = 0;
  const char* answer =
      state.ctx->getpassword_callback(prompt.c_str(), name.c_str(), &cancel, state.ctx);
  if (!answer || cancel) return std::nullopt;
  return std::string(answer);
}

struct AuthContext {
  ContextState& state;
  ssh_session session;
  const Handshake& handshake;
  std::string user;
  std::string host;
  const char* password;
  bool passwordArgumentUsed = false;
  bool cancelled = false;

  // The server's answer to one authentication request.
  template <typename Call>
  int answer(Call&& call) const {
    return handshake.run(SSH_AUTH_AGAIN, std::forward<Call>(call),
                         "The server did not answer the authentication");
  }
};

bool authenticateWithKeyFile(AuthContext& auth, const std::string& path) {
  std::string reason;
  if (localFileState(path, reason) != LocalFileState::Readable)
    fail(QSSH_ERR_LOCAL_FILE, "Cannot read the key file " + path + ": " + reason);
  ssh_key rawKey = nullptr;
  int result = ssh_pki_import_privkey_file(path.c_str(), nullptr, nullptr, nullptr, &rawKey);
  for (int attempt = 0; result != SSH_OK; ++attempt) {
    if (attempt >= auth.state.conf.intValue(Conf::AuthMaxAttempts)) return false;
    const std::optional<std::string> passphrase =
        askSecret(auth.state, "Passphrase for key \"" + path + "\": ", path, nullptr,
                  auth.passwordArgumentUsed);
    if (!passphrase) {
      auth.cancelled = true;
      return false;
    }
    result =
        ssh_pki_import_privkey_file(path.c_str(), passphrase->c_str(), nullptr, nullptr, &rawKey);
    if (result != SSH_OK) auth.state.print("Wrong passphrase for " + path, true);
  }
  KeyPtr key(rawKey);
  const int answer =
      auth.answer([&] { return ssh_userauth_publickey(auth.session, nullptr, key.get()); });
  if (answer == SSH_AUTH_ERROR)
    fail(QSSH_ERR_SSH, std::string("Authentication failed: ") + ssh_get_error(auth.session));
  return answer == SSH_AUTH_SUCCESS;
}

bool authenticateWithPassword(AuthContext& auth) {
  for (int attempt = 0; attempt < auth.state.conf.intValue(Conf::AuthMaxAttempts); ++attempt) {
    const std::optional<std::string> secret =
        askSecret(auth.state, auth.user + "@" + auth.host + "'s password: ", "", auth.password,
                  auth.passwordArgumentUsed);
    if (!secret) {
      auth.cancelled = true;
      return false;
    }
    const int answer =
        auth.answer([&] { return ssh_userauth_password(auth.session, nullptr, secret->c_str()); });
    if (answer == SSH_AUTH_SUCCESS) return true;
    if (answer == SSH_AUTH_ERROR)
      fail(QSSH_ERR_AUTH, std::string("Authentication failed: ") + ssh_get_error(auth.session));
    auth.state.print("Access denied", true);
  }
  return false;
}

bool authenticateWithKeyboard(AuthContext& auth) {
  int denied = 0;
  const auto next = [&] {
    return auth.answer([&] { return ssh_userauth_kbdint(auth.session, nullptr, nullptr); });
  };
  int answer = next();
  while (denied < auth.state.conf.intValue(Conf::AuthMaxAttempts)) {
    if (answer == SSH_AUTH_SUCCESS) return true;
    if (answer == SSH_AUTH_ERROR)
      fail(QSSH_ERR_AUTH, std::string("Authentication failed: ") + ssh_get_error(auth.session));
    if (answer == SSH_AUTH_DENIED || answer == SSH_AUTH_PARTIAL) {
      if (answer == SSH_AUTH_DENIED) auth.state.print("Access denied", true);
      ++denied;
      answer = next();
      continue;
    }
    const std::string name = ssh_userauth_kbdint_getname(auth.session);
    const int prompts = ssh_userauth_kbdint_getnprompts(auth.session);
    for (int index = 0; index < prompts; ++index) {
      char echo = 0;
      const std::string prompt = ssh_userauth_kbdint_getprompt(auth.session, index, &echo);
      const std::optional<std::string> secret =
          askSecret(auth.state, prompt, name, auth.password, auth.passwordArgumentUsed);
      if (!secret) {
        auth.cancelled = true;
        return false;
      }
      ssh_userauth_kbdint_setanswer(auth.session, index, secret->c_str());
    }
    answer = next();
  }
  return false;
}

void authenticate(AuthContext& auth) {
  const ConfigValues& conf = auth.state.conf;
  const int answer = auth.answer([&] { return ssh_userauth_none(auth.session, nullptr); });
  if (answer == SSH_AUTH_ERROR)
    fail(QSSH_ERR_SSH, std::string("Authentication failed: ") + ssh_get_error(auth.session));
  if (answer == SSH_AUTH_SUCCESS) return;
  const int methods = ssh_userauth_list(auth.session, nullptr);
  const std::string& keyFile = conf.stringValue(Conf::KeyFile);
  bool done = false;
  if (!done && !auth.cancelled && (methods & SSH_AUTH_METHOD_PUBLICKEY) &&
      conf.boolValue(Conf::AuthPublicKey) && !keyFile.empty())
    done = authenticateWithKeyFile(auth, keyFile);
#ifndef _WIN32  // libssh reaches no agent on Windows
  if (!done && !auth.cancelled && (methods & SSH_AUTH_METHOD_PUBLICKEY) &&
      conf.boolValue(Conf::AuthAgent))
    done =
        auth.answer([&] { return ssh_userauth_agent(auth.session, nullptr); }) == SSH_AUTH_SUCCESS;
#endif
  if (!done && !auth.cancelled && (methods & SSH_AUTH_METHOD_PASSWORD) &&
      conf.boolValue(Conf::AuthPassword))
    done = authenticateWithPassword(auth);
  if (!done && !auth.cancelled && (methods & SSH_AUTH_METHOD_INTERACTIVE) &&
      conf.boolValue(Conf::AuthKbdInt))
    done = authenticateWithKeyboard(auth);
  if (!done)
    fail(QSSH_ERR_AUTH, auth.cancelled ? "Authentication cancelled" : "Authentication failed");
  auth.state.print("Authenticated as " + auth.user);
}

void printLoginBanner(ContextState& state, ssh_session session) {
  if (!state.conf.boolValue(Conf::AuthShowBanner)) return;
  SshText banner(ssh_get_issue_banner(session));
  if (banner && *banner) state.print(banner.get());
}

ChannelPtr openSftpChannel(ContextState& state, ssh_session session) {
  const Handshake step(state, session);
  const std::string missing = "The server did not start SFTP";
  ChannelPtr channel(ssh_channel_new(session));
  const std::string& subsystem = state.conf.stringValue(Conf::SftpSubsystem);
  if (!channel ||
      step.run(
          SSH_AGAIN, [&] { return ssh_channel_open_session(channel.get()); }, missing) != SSH_OK ||
      step.run(
          SSH_AGAIN,
          [&] { return ssh_channel_request_subsystem(channel.get(), subsystem.c_str()); },
          missing) != SSH_OK)
    fail(QSSH_ERR_SFTP_START, std::string("Cannot start SFTP: ") + ssh_get_error(session));
  return channel;
}

void startSftp(ContextState& state, Connection& connection) {
  connection.client.start();
  state.print("SFTP protocol version 3");
  std::string home = "/";
  if (state.conf.boolValue(Conf::SftpResolveHome))
    home = connection.client.singleName(
        connection.client.wait(connection.client.send(FXP_REALPATH, Writer().str("."))));
  state.setHomeDir(home);
  state.setWorkDir(home);
  const std::string& start = state.conf.stringValue(Conf::SftpStartDir);
  if (!start.empty())
    state.setWorkDir(connection.client.singleName(connection.client.wait(
        connection.client.send(FXP_REALPATH, Writer().str(state.resolve(start.c_str()))))));
  state.print("Remote working folder " + std::string(state.ctx->pwd));
}

}  // namespace

std::string knownHostsFile(const ConfigValues& conf) {
  const std::string& configured = conf.stringValue(Conf::KnownHostsFile);
  if (!configured.empty()) return configured;
  return userDataFolder() + kPathSeparator + "known_hosts";
}

void connectSession(ContextState& state, const char* hostText, const char* userText, int32_t port,
                    const char* password) {
  state.open.reset();
  const std::string host = hostText ? hostText : "";
  const std::string user = userText ? userText : "";
  if (host.empty()) fail(QSSH_ERR_INVALID, "No host name given");
  if (port <= 0) port = state.conf.intValue(Conf::DefaultPort);

  const Deadline deadline = Deadline::after(connectTimeout(state.ctx), callerTurn(state));
  Socket socket = connectTo(host, port, state.conf, deadline,
                            [&state](const std::string& line) { state.print(line); });
  SessionPtr session = newSession(state, socket.fd(), host, port, user);
  socket.release();  // libssh owns the socket from here on, also when connecting fails
  const Handshake handshake(state, session.get());
  if (handshake.run(
          SSH_AGAIN, [&] { return ssh_connect(session.get()); },
          [&] {
            return ssh_get_serverbanner(session.get())
                       ? "The server did not finish the key exchange"
                       : "The server sent no SSH greeting";
          }) != SSH_OK)
    fail(QSSH_ERR_SSH, std::string("SSH connection failed: ") + ssh_get_error(session.get()));
  state.flushLibsshLog();
  if (state.conf.boolValue(Conf::PrintServerBanner))
    if (const char* banner = ssh_get_serverbanner(session.get()))
      state.print(std::string("Server version: ") + banner);

  verifyHostKey(state, session.get(), host, port);
  AuthContext auth{state, session.get(), handshake, user, host, password};
  authenticate(auth);
  printLoginBanner(state, session.get());

  ChannelPtr channel = openSftpChannel(state, session.get());
  auto connection = std::make_unique<Connection>(std::move(session), std::move(channel), state);
  startSftp(state, *connection);
  state.open = std::move(connection);
  state.flushLibsshLog();
}

}  // namespace qssh
