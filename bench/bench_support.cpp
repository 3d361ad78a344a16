#include "bench_support.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>

extern char** environ;

namespace quorrel::bench {

namespace {

constexpr size_t kBufferBytes = 64 * 1024;

}  // namespace

double seconds(Clock::duration elapsed) {
  return std::chrono::duration<double>(elapsed).count();
}

double mbPerSecond(double bytes, double elapsed) {
  return bytes / elapsed / 1e6;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double peakMemoryMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void writeRandomFile(const fs::path& path, size_t bytes, uint64_t seed) {
  fs::create_directories(path.parent_path());
  std::mt19937_64 generator(seed);
  std::vector<uint64_t> block(kBufferBytes / sizeof(uint64_t));
  std::ofstream out(path, std::ios::binary);
  for (size_t written = 0; written < bytes && out;) {
    for (uint64_t& word : block) word = generator();
    const size_t count = std::min(kBufferBytes, bytes - written);
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(count));
    written += count;
  }
  if (!out) throw BenchError("cannot write " + path.string());
}

bool sameContent(const fs::path& left, const fs::path& right) {
  std::error_code error;
  if (fs::file_size(left, error) != fs::file_size(right, error) || error) return false;
  std::ifstream a(left, std::ios::binary), b(right, std::ios::binary);
  std::vector<char> bufferA(kBufferBytes), bufferB(kBufferBytes);
  while (a && b) {
    a.read(bufferA.data(), static_cast<std::streamsize>(bufferA.size()));
    b.read(bufferB.data(), static_cast<std::streamsize>(bufferB.size()));
    if (a.gcount() != b.gcount() ||
        std::memcmp(bufferA.data(), bufferB.data(), static_cast<size_t>(a.gcount())) != 0)
      return false;
  }
  return a.eof() && b.eof();
}

void checkCopy(const fs::path& tree, const std::vector<std::string>& files, const fs::path& copy,
               const char* side) {
  for (const std::string& relative : files)
    if (!sameContent(tree / relative, copy / relative))
      throw BenchError(std::string(side) + " did not copy " + relative + " faithfully");
}

double syncToDisk(const fs::path& tree, const std::vector<std::string>& files) {
  const auto start = Clock::now();
  for (const std::string& relative : files) {
    const int fd = ::open((tree / relative).c_str(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!synced) throw BenchError("cannot sync " + (tree / relative).string());
  }
  return seconds(Clock::now() - start);
}

std::string quoted(const std::string& path) {
  return "\"" + path + "\"";
}

OpenSshClient::OpenSshClient(testing::SshdServer& server, int port) : port_(port) {
  key_ = server.clientKeyFile("");
  knownHosts_ = server.dataDir().parent_path() / ("bench_known_hosts_" + std::to_string(port));
  std::ofstream(knownHosts_) << "[" << server.host() << "]:" << port << " "
                             << server.hostKeyAlgorithm("ed25519") << " "
                             << server.hostKeyBase64("ed25519") << "\n";
}

double OpenSshClient::run(const std::string& batch, bool recursive, std::string* output) const {
  std::vector<std::string> argv = {"sftp", "-q", "-b", "-", "-i", key_.string()};
  const std::string options[] = {"IdentitiesOnly=yes", "UserKnownHostsFile=" + knownHosts_.string(),
                                 "StrictHostKeyChecking=yes", "BatchMode=yes"};
  for (const std::string& option : options) argv.insert(argv.end(), {"-o", option});
  argv.insert(argv.end(), {"-P", std::to_string(port_)});
  if (recursive) argv.push_back("-r");
  argv.push_back(testing::SshdServer::user() + "@" + testing::SshdServer::host());
  const auto start = Clock::now();
  auto result = testing::runCommand(argv, batch, std::chrono::seconds(1800));
  const double elapsed = seconds(Clock::now() - start);
  if (result.exitCode != 0) throw BenchError("sftp failed: " + result.err);
  if (output) *output = std::move(result.out);
  return elapsed;
}

RelayProcess::RelayProcess(int targetPort, int roundTripMs) {
  int input[2], output[2];
  if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0)
    throw BenchError("cannot make the relay's pipes");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  const std::string target = std::to_string(targetPort);
  const std::string delay = std::to_string(roundTripMs);
  char* argv[] = {const_cast<char*>(DELAY_RELAY), const_cast<char*>(target.c_str()),
                  const_cast<char*>(delay.c_str()), nullptr};
  const int spawned = posix_spawn(&pid_, DELAY_RELAY, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ::close(output[1]);
  control_ = input[1];
  char line[32] = {};
  const ssize_t count = spawned == 0 ? ::read(output[0], line, sizeof line - 1) : -1;
  ::close(output[0]);
  if (count <= 0) throw BenchError("the delay relay did not start");
  port_ = std::stoi(line);
}

RelayProcess::~RelayProcess() {
  ::close(control_);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

int connectLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throw BenchError("cannot connect to port " + std::to_string(port));
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

double streamMBps(size_t bytes, std::optional<int> relayRoundTripMs) {
  auto [sourcePort, source] = serveOnce([bytes](int fd) {
    const std::vector<char> block(1024 * 1024, 'q');
    for (size_t sent = 0; sent < bytes;) {
      const ssize_t count = ::write(fd, block.data(), std::min(block.size(), bytes - sent));
      if (count <= 0) return;
      sent += static_cast<size_t>(count);
    }
  });
  std::optional<RelayProcess> relay;
  if (relayRoundTripMs) relay.emplace(sourcePort, *relayRoundTripMs);
  const int fd = connectLoopback(relay ? relay->port() : sourcePort);
  std::vector<char> buffer(1024 * 1024);
  size_t received = 0;
  const auto start = Clock::now();
  for (ssize_t count; (count = ::read(fd, buffer.data(), buffer.size())) > 0;)
    received += static_cast<size_t>(count);
  const double elapsed = seconds(Clock::now() - start);
  ::close(fd);
  source.join();
  if (received != bytes) throw BenchError("the stream lost bytes");
  return mbPerSecond(static_cast<double>(bytes), elapsed);
}

void giveUpAfter(unsigned limit) {
  static const char message[] = "benchmark: gave up, the run took too long\n";
  ::signal(SIGALRM, [](int) {
    [[maybe_unused]] const auto ignored = ::write(STDERR_FILENO, message, sizeof message - 1);
    ::_exit(3);
  });
  ::alarm(limit);
}

const char* answerPassword(const char*, const char*, qssh_bool* cancel, TSshLibContext*) {
  static const std::string password = testing::SshdServer::password();
  *cancel = 0;
  return password.c_str();
}

qssh_bool acceptKey(const char*, int32_t, const char*, const char*, const char*, int32_t,
                    qssh_bool*, TSshLibContext*) {
  return 1;
}

}  // namespace quorrel::bench
