#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "qsshlib.h"

namespace qssh {

// SFTP version 3 packet types and status codes.
enum : uint8_t {
  FXP_INIT = 1,
  FXP_VERSION = 2,
  FXP_OPEN = 3,
  FXP_CLOSE = 4,
  FXP_READ = 5,
  FXP_WRITE = 6,
  FXP_LSTAT = 7,
  FXP_FSTAT = 8,
  FXP_SETSTAT = 9,
  FXP_OPENDIR = 11,
  FXP_READDIR = 12,
  FXP_REMOVE = 13,
  FXP_MKDIR = 14,
  FXP_RMDIR = 15,
  FXP_REALPATH = 16,
  FXP_STAT = 17,
  FXP_RENAME = 18,
  FXP_STATUS = 101,
  FXP_HANDLE = 102,
  FXP_DATA = 103,
  FXP_NAME = 104,
  FXP_ATTRS = 105,
  FXP_EXTENDED = 200,
  FXP_EXTENDED_REPLY = 201,
};

enum : uint32_t { FX_OK = 0, FX_EOF = 1, FX_NO_SUCH_FILE = 2, FX_FAILURE = 4 };

// Builds a packet body.
class Writer {
 public:
  Writer& u8(uint8_t value);
  Writer& u32(uint32_t value);
  Writer& u64(uint64_t value);
  Writer& str(std::string_view value);
  Writer& attrs(const fxp_attrs& value);
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// Reads a packet body; running past its end is a protocol failure.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : rest_(bytes) {}
  uint8_t u8();
  uint32_t u32();
  uint64_t u64();
  std::string_view str();
  fxp_attrs attrs();

 private:
  std::string_view take(size_t count);
  std::string_view rest_;
};

struct Packet {
  uint8_t type = 0;
  uint32_t id = 0;
  std::string body;  // after the id
  Reader reader() const { return Reader(body); }
};

// Moves bytes over the SFTP channel.
class Transport {
 public:
  virtual ~Transport() = default;
  virtual void write(const std::string& bytes) = 0;
  // Up to `capacity` bytes; 0 when nothing arrived within timeoutMs.
  virtual size_t read(char* buffer, size_t capacity, int timeoutMs) = 0;
  virtual void keepAlive() = 0;
};

// What a wait for an answer watches besides the answer.
struct WaitRules {
  std::function<int()> timeoutMs;
  std::function<bool()> aborted;
  std::function<int()> keepAliveSeconds;
  // Called between the slices of a wait, so the caller's window stays alive.
  std::function<void()> letCallerRun;
};

// How many bytes each read of the channel asks for. libssh opens the
// channel's window to the count a read asks when that is more than it holds
// open already, and on its own keeps about 1.25 MB open, which caps a link at
// that much per round trip. So the count starts small, as it always was, and
// grows to twice the credit, up to its cap, after each round trip in which
// the reads had to wait for data while the server used at least half of the
// credit: the window was what held it back, not the link or the reader.
class ReceiveWindow {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kInitial = 256 * 1024;
  // What libssh keeps open by itself (its WINDOWBASE).
  static constexpr size_t kLibsshWindow = 1280000;

  explicit ReceiveWindow(size_t cap) : cap_(std::max(cap, kInitial)) {}
  // The count each read asks for.
  size_t size() const { return size_; }
  // The bytes the server may send ahead of the reads.
  size_t credit() const { return std::max(size_, kLibsshWindow); }
  // A read found nothing to take and has to wait, with answers outstanding.
  void waited() { waited_ = true; }
  // A read took `bytes`; `roundTrip` is the shortest answer time seen so far.
  void received(size_t bytes, Clock::time_point now, Clock::duration roundTrip);

 private:
  size_t cap_;
  size_t size_ = kInitial;
  Clock::time_point roundStart_ = Clock::now();
  size_t roundBytes_ = 0;
  bool waited_ = false;
};

// Received bytes not yet cut into packets. Its storage is kept from read to
// read and never zero-filled, so a large read costs only the bytes that come.
class ReceiveBuffer {
 public:
  // Room for `count` more bytes after what is kept.
  char* space(size_t count);
  void commit(size_t count) { end_ += count; }
  const char* data() const { return storage_.get() + begin_; }
  size_t size() const { return end_ - begin_; }
  void consume(size_t count);

 private:
  std::unique_ptr<char[]> storage_;
  size_t capacity_ = 0;
  size_t begin_ = 0;
  size_t end_ = 0;
};

// The client side of the SFTP protocol: requests with ids, answers matched to
// them, and answers to abandoned requests dropped when they come.
class SftpClient {
 public:
  SftpClient(Transport& transport, WaitRules rules, size_t maxPacket, size_t maxWindow);

  void start();
  bool hasExtension(const std::string& name) const { return extensions_.count(name) > 0; }

  uint32_t send(uint8_t type, const Writer& body);
  Packet wait(uint32_t id);
  // True when the answer to `id` has arrived (reads what is there without waiting).
  bool arrived(uint32_t id);
  // The answer to `id` if it has arrived (reads what is there without
  // waiting); it stays for wait() to take.
  const Packet* peek(uint32_t id);
  void abandon(uint32_t id);
  // The bytes the channel currently lets the server send ahead.
  size_t window() const { return window_.size(); }
  // The most bytes the server gives per read, once a short answer showed it; 0 until then.
  uint32_t readLimit() const { return readLimit_; }
  void setReadLimit(uint32_t bytes) { readLimit_ = bytes; }

  // Answers of the expected kind, or a LibError from a status answer.
  std::string handle(const Packet& answer);
  void ok(const Packet& answer);
  fxp_attrs attributes(const Packet& answer);
  std::string singleName(const Packet& answer);
  [[noreturn]] void failWithStatus(const Packet& answer);

 private:
  bool readSome(int timeoutMs);
  bool takePacket(Packet& packet);
  void store(Packet&& packet, ReceiveWindow::Clock::time_point now);

  Transport& transport_;
  WaitRules rules_;
  size_t maxPacket_;
  uint32_t nextId_ = 1;
  // Outstanding requests with the time each was sent.
  std::map<uint32_t, ReceiveWindow::Clock::time_point> pending_;
  std::map<uint32_t, Packet> answers_;
  ReceiveBuffer received_;
  ReceiveWindow window_;
  uint32_t readLimit_ = 0;
  ReceiveWindow::Clock::duration roundTrip_ = ReceiveWindow::Clock::duration::max();
  std::map<std::string, std::string> extensions_;
};

}  // namespace qssh
