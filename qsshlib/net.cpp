#include "net.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "lib_error.h"
#include "socket_system.h"

namespace qssh {

namespace {

using Clock = std::chrono::steady_clock;
namespace sys = socket_system;

std::string systemError(int error) {
  return sys::errorText(error);
}

[[noreturn]] void failConnect(const std::string& what) {
  fail(QSSH_ERR_CONNECT, what);
}
[[noreturn]] void failProxy(const std::string& what) {
  fail(QSSH_ERR_PROXY, what);
}

struct AddressList {
  addrinfo* head = nullptr;
  ~AddressList() {
    if (head) freeaddrinfo(head);
  }
};

addrinfo lookupHints(int family, int flags) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_family = family == 4 ? AF_INET : family == 6 ? AF_INET6 : AF_UNSPEC;
  hints.ai_flags = flags;
  return hints;
}

// A name lookup on a thread of its own: the system's resolver can be neither
// stopped nor given a deadline, and a name server that never answers must not
// hold the caller. A lookup given up on goes on alone and frees what it finds.
class NameLookup {
 public:
  NameLookup(const std::string& host, const std::string& service, const addrinfo& hints)
      : shared_(std::make_shared<Shared>()) {
    try {
      std::thread([shared = shared_, host, service, hints] {
        addrinfo* head = nullptr;
        const int result = getaddrinfo(host.c_str(), service.c_str(), &hints, &head);
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->result = result;
        shared->head = result == 0 ? head : nullptr;
        shared->finished = true;
        if (shared->abandoned && shared->head) freeaddrinfo(shared->head);
        shared->done.notify_all();
      }).detach();
    } catch (const std::system_error& error) {
      failConnect(std::string("Cannot start the name lookup: ") + error.what());
    }
  }
  ~NameLookup() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->abandoned = !shared_->taken;
    if (shared_->finished && shared_->abandoned && shared_->head) freeaddrinfo(shared_->head);
  }
  NameLookup(const NameLookup&) = delete;
  NameLookup& operator=(const NameLookup&) = delete;

  // The lookup's result (0 or an error of getaddrinfo), once it came within
  // the deadline; the addresses become `list`'s.
  std::optional<int> await(AddressList& list, const Deadline& deadline) {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    while (!shared_->finished) {
      lock.unlock();
      const int slice = deadline.nextSliceMs();
      lock.lock();
      if (slice == 0) break;
      shared_->done.wait_for(lock, std::chrono::milliseconds(slice));
    }
    if (!shared_->finished) return std::nullopt;
    shared_->taken = true;
    list.head = shared_->head;
    return shared_->result;
  }

 private:
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    bool taken = false;
    int result = 0;
    addrinfo* head = nullptr;
  };
  std::shared_ptr<Shared> shared_;
};

// An address given as digits needs no name server; a name is looked up
// without holding the caller past the deadline.
void resolve(AddressList& list, const std::string& host, int port, int family,
             const Deadline& deadline) {
  const std::string service = std::to_string(port);
  const addrinfo numeric = lookupHints(family, AI_NUMERICHOST);
  if (getaddrinfo(host.c_str(), service.c_str(), &numeric, &list.head) == 0) return;
  list.head = nullptr;
  NameLookup lookup(host, service, lookupHints(family, 0));
  const std::optional<int> result = lookup.await(list, deadline);
  if (!result) failConnect("Cannot resolve host name " + host + ": no answer in time");
  if (*result != 0)
    failConnect("Cannot resolve host name " + host + ": " + sys::resolveErrorText(*result));
}

// Socket options tune the connection; best effort: a system that refuses one
// still gives a working connection.
void setIntOption(NativeSocket fd, int level, int name, int value) {
  setsockopt(fd, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

void applySocketOptions(NativeSocket fd, const ConfigValues& conf) {
  if (conf.boolValue(Conf::TcpNoDelay)) setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  if (conf.boolValue(Conf::TcpKeepAlive)) setIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
  if (conf.intValue(Conf::SendBufferSize) > 0)
    setIntOption(fd, SOL_SOCKET, SO_SNDBUF, conf.intValue(Conf::SendBufferSize));
  if (conf.intValue(Conf::ReceiveBufferSize) > 0)
    setIntOption(fd, SOL_SOCKET, SO_RCVBUF, conf.intValue(Conf::ReceiveBufferSize));
  if (conf.intValue(Conf::SocketLinger) >= 0) {
    linger value{};
    value.l_onoff = 1;
    value.l_linger = static_cast<decltype(value.l_linger)>(conf.intValue(Conf::SocketLinger));
    setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value), sizeof value);
  }
}

void bindLocal(NativeSocket fd, const addrinfo& target, const std::string& bindAddress,
               const Deadline& deadline) {
  if (bindAddress.empty()) return;
  AddressList local;
  resolve(local, bindAddress, 0, target.ai_family == AF_INET6 ? 6 : 4, deadline);
  if (bind(fd, local.head->ai_addr, static_cast<int>(local.head->ai_addrlen)) != 0)
    failConnect("Cannot bind to " + bindAddress + ": " + systemError(sys::lastError()));
}

// A socket left in the wrong mode would make every later wait wrong, so a
// failure here ends the connect.
void setBlocking(NativeSocket fd, bool blocking) {
  if (!sys::setBlocking(fd, blocking))
    failConnect("Cannot set up the socket: " + systemError(sys::lastError()));
}

// Waits for the socket to become readable or writable; false on time-out.
bool waitFor(NativeSocket fd, short events, const Deadline& deadline) {
  for (;;) {
    const int result = sys::waitReady(fd, events, deadline.nextSliceMs());
    if (result > 0) return true;
    if (result < 0 && !sys::interrupted(sys::lastError())) return false;
    if (deadline.passed()) return false;
  }
}

// One address; the error text when it fails, the socket otherwise.
Socket tryAddress(const addrinfo& address, const ConfigValues& conf, const Deadline& deadline,
                  std::string& error) {
  Socket socket = sys::open(address.ai_family, address.ai_socktype, address.ai_protocol);
  if (!socket.valid()) {
    error = systemError(sys::lastError());
    return {};
  }
  applySocketOptions(socket.fd(), conf);
  bindLocal(socket.fd(), address, conf.stringValue(Conf::BindAddress), deadline);
  setBlocking(socket.fd(), false);
  if (::connect(socket.fd(), address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0 &&
      !sys::connectPending(sys::lastError())) {
    error = systemError(sys::lastError());
    return {};
  }
  if (!waitFor(socket.fd(), POLLOUT, deadline)) {
    error = "Connection timed out";
    return {};
  }
  int socketError = 0;
  socklen_t length = sizeof socketError;
  if (getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&socketError),
                 &length) != 0)
    socketError = sys::lastError();
  if (socketError != 0) {
    error = systemError(socketError);
    return {};
  }
  setBlocking(socket.fd(), true);
  return socket;
}

Socket openTcp(const std::string& host, int port, const ConfigValues& conf,
               const Deadline& deadline) {
  sys::startUp();
  const int attempts = std::max(1, conf.intValue(Conf::ConnectAttempts));
  std::string error = "no address";
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (attempt > 0) deadline.pause(conf.intValue(Conf::ConnectRetryDelay));
    AddressList addresses;
    resolve(addresses, host, port, conf.intValue(Conf::AddressFamily), deadline);
    for (addrinfo* address = addresses.head; address; address = address->ai_next) {
      Socket socket = tryAddress(*address, conf, deadline, error);
      if (socket.valid()) return socket;
      if (deadline.passed()) failConnect(error);
    }
  }
  failConnect(error);
}

void sendAll(NativeSocket fd, const std::string& bytes, const Deadline& deadline) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    if (!waitFor(fd, POLLOUT, deadline)) failProxy("Proxy timed out");
    const long result = sys::sendSome(fd, bytes.data() + sent, bytes.size() - sent);
    if (result < 0 && sys::interrupted(sys::lastError())) continue;
    if (result <= 0) failProxy("Proxy connection failed: " + systemError(sys::lastError()));
    sent += static_cast<size_t>(result);
  }
}

std::string receive(NativeSocket fd, size_t count, const Deadline& deadline) {
  std::string bytes(count, '\0');
  size_t received = 0;
  while (received < count) {
    if (!waitFor(fd, POLLIN, deadline)) failProxy("Proxy timed out");
    const long result = sys::receiveSome(fd, bytes.data() + received, count - received);
    if (result < 0 && sys::interrupted(sys::lastError())) continue;
    if (result == 0) failProxy("Proxy closed the connection");
    if (result < 0) failProxy("Proxy connection failed: " + systemError(sys::lastError()));
    received += static_cast<size_t>(result);
  }
  return bytes;
}

std::string portBytes(int port) {
  return {static_cast<char>((port >> 8) & 0xff), static_cast<char>(port & 0xff)};
}

bool ipv4Bytes(const std::string& host, std::string& bytes) {
  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) != 1) return false;
  bytes.assign(reinterpret_cast<const char*>(&address), 4);
  return true;
}

// The target as the proxy should see it: its name, or an address resolved here.
std::string targetHost(const std::string& host, int port, const ConfigValues& conf,
                       const Deadline& deadline) {
  if (conf.boolValue(Conf::ProxyRemoteDns)) return host;
  AddressList addresses;
  resolve(addresses, host, port, 4, deadline);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(addresses.head->ai_addr)->sin_addr, text,
            sizeof text);
  return text;
}

void socks4Handshake(NativeSocket fd, const std::string& host, int port, const ConfigValues& conf,
                     const Deadline& deadline) {
  std::string address;
  const bool byName = !ipv4Bytes(host, address);
  if (byName) address = std::string("\0\0\0\1", 4);  // SOCKS4a: the proxy resolves the name
  std::string request = std::string("\4\1", 2) + portBytes(port) + address +
                        conf.stringValue(Conf::ProxyUsername) + std::string(1, '\0');
  if (byName) request += host + std::string(1, '\0');
  sendAll(fd, request, deadline);
  const std::string reply = receive(fd, 8, deadline);
  if (static_cast<unsigned char>(reply[1]) != 90)
    failProxy("SOCKS4 proxy refused the connection (code " +
              std::to_string(static_cast<unsigned char>(reply[1])) + ")");
}

void socks5Authenticate(NativeSocket fd, const ConfigValues& conf, const Deadline& deadline) {
  const std::string& user = conf.stringValue(Conf::ProxyUsername);
  const std::string& password = conf.stringValue(Conf::ProxyPassword);
  if (user.size() > 255 || password.size() > 255) failProxy("SOCKS5 credentials too long");
  sendAll(fd,
          std::string(1, '\1') + static_cast<char>(user.size()) + user +
              static_cast<char>(password.size()) + password,
          deadline);
  if (receive(fd, 2, deadline)[1] != 0) failProxy("SOCKS5 proxy authentication failed");
}

void socks5Handshake(NativeSocket fd, const std::string& host, int port, const ConfigValues& conf,
                     const Deadline& deadline) {
  const bool withPassword = !conf.stringValue(Conf::ProxyUsername).empty();
  sendAll(fd, withPassword ? std::string("\5\2\0\2", 4) : std::string("\5\1\0", 3), deadline);
  const std::string choice = receive(fd, 2, deadline);
  if (choice[0] != 5) failProxy("Not a SOCKS5 proxy");
  if (choice[1] == 2 && withPassword)
    socks5Authenticate(fd, conf, deadline);
  else if (choice[1] != 0)
    failProxy("SOCKS5 proxy accepts none of our authentication methods");

  std::string address;
  std::string request("\5\1\0", 3);
  if (ipv4Bytes(host, address)) {
    request += '\1' + address;
  } else {
    if (host.size() > 255) failProxy("Host name too long for SOCKS5");
    request += '\3' + std::string(1, static_cast<char>(host.size())) + host;
  }
  sendAll(fd, request + portBytes(port), deadline);
  const std::string reply = receive(fd, 4, deadline);
  if (reply[1] != 0)
    failProxy("SOCKS5 proxy refused the connection (code " +
              std::to_string(static_cast<unsigned char>(reply[1])) + ")");
  const unsigned char type = static_cast<unsigned char>(reply[3]);
  const size_t addressLength = type == 1 ? 4
                               : type == 4
                                   ? 16
                                   : static_cast<unsigned char>(receive(fd, 1, deadline)[0]);
  receive(fd, addressLength + 2, deadline);
}

std::string base64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t chunk = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) chunk |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) chunk |= static_cast<unsigned char>(bytes[i + 2]);
    text += kAlphabet[(chunk >> 18) & 63];
    text += kAlphabet[(chunk >> 12) & 63];
    text += i + 1 < bytes.size() ? kAlphabet[(chunk >> 6) & 63] : '=';
    text += i + 2 < bytes.size() ? kAlphabet[chunk & 63] : '=';
  }
  return text;
}

void httpConnectHandshake(NativeSocket fd, const std::string& host, int port,
                          const ConfigValues& conf, const Deadline& deadline) {
  const std::string target =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
  std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
  if (!conf.stringValue(Conf::ProxyUserAgent).empty())
    request += "User-Agent: " + conf.stringValue(Conf::ProxyUserAgent) + "\r\n";
  if (!conf.stringValue(Conf::ProxyUsername).empty())
    request += "Proxy-Authorization: Basic " +
               base64(conf.stringValue(Conf::ProxyUsername) + ":" +
                      conf.stringValue(Conf::ProxyPassword)) +
               "\r\n";
  sendAll(fd, request + "\r\n", deadline);

  // Byte by byte, so nothing of the SSH stream after the header is taken.
  std::string header;
  while (header.size() < 4 || header.compare(header.size() - 4, 4, "\r\n\r\n") != 0) {
    if (header.size() > 16384) failProxy("HTTP proxy answer too long");
    header += receive(fd, 1, deadline);
  }
  const std::string statusLine = header.substr(0, header.find("\r\n"));
  const size_t space = statusLine.find(' ');
  if (statusLine.compare(0, 5, "HTTP/") != 0 || space == std::string::npos ||
      statusLine.compare(space + 1, 3, "200") != 0)
    failProxy("HTTP proxy refused the connection: " + statusLine);
}

int proxyPort(const ConfigValues& conf, int32_t type) {
  if (conf.intValue(Conf::ProxyPort) > 0) return conf.intValue(Conf::ProxyPort);
  return type == PROXY_HTTP ? 8080 : 1080;
}

}  // namespace

Socket::~Socket() {
  if (valid()) sys::close(socket_);
}

Deadline Deadline::after(int32_t milliseconds, std::function<void()> letCallerRun) {
  Deadline deadline;
  deadline.end_ = Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
  deadline.letCallerRun_ = std::move(letCallerRun);
  return deadline;
}

int Deadline::nextSliceMs() const {
  if (letCallerRun_) letCallerRun_();
  return std::min(kSliceMs, remainingMs());
}

void Deadline::pause(int milliseconds) const {
  const Deadline pauseEnd = Deadline::after(std::min(milliseconds, remainingMs()));
  while (!pauseEnd.passed()) {
    const int slice = std::min(nextSliceMs(), pauseEnd.remainingMs());
    std::this_thread::sleep_for(std::chrono::milliseconds(slice));
  }
}

int Deadline::remainingMs() const {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now()).count();
  return left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
}

Socket connectTo(const std::string& host, int port, const ConfigValues& conf,
                 const Deadline& deadline, const Printer& print) {
  const int32_t type = conf.intValue(Conf::ProxyType);
  if (type == PROXY_TELNET || type == PROXY_CMD || type == PROXY_FUZZ)
    failProxy("Proxy type " + std::to_string(type) +
              " is not supported; use none, SOCKS4, SOCKS5 or HTTP");
  if (type < PROXY_NONE || type > PROXY_FUZZ)
    failProxy("Unknown proxy type " + std::to_string(type));
  if (type == PROXY_NONE) {
    print("Resolving " + host + " and connecting to port " + std::to_string(port));
    Socket socket = openTcp(host, port, conf, deadline);
    print("Connected to " + host + " port " + std::to_string(port));
    return socket;
  }

  const std::string& proxyHost = conf.stringValue(Conf::ProxyHost);
  if (proxyHost.empty()) failProxy("No proxy host set");
  const int port2 = proxyPort(conf, type);
  print("Connecting to proxy " + proxyHost + " port " + std::to_string(port2));
  Socket socket = openTcp(proxyHost, port2, conf, deadline);
  const std::string target = targetHost(host, port, conf, deadline);
  if (type == PROXY_SOCKS4) socks4Handshake(socket.fd(), target, port, conf, deadline);
  if (type == PROXY_SOCKS5) socks5Handshake(socket.fd(), target, port, conf, deadline);
  if (type == PROXY_HTTP) httpConnectHandshake(socket.fd(), target, port, conf, deadline);
  print("Connected to " + host + " port " + std::to_string(port) + " through the proxy");
  return socket;
}

}  // namespace qssh
