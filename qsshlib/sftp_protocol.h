#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
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

// The client side of the SFTP protocol: requests with ids, answers matched to
// them, and answers to abandoned requests dropped when they come.
class SftpClient {
 public:
  SftpClient(Transport& transport, WaitRules rules, size_t maxPacket);

  void start();
  bool hasExtension(const std::string& name) const { return extensions_.count(name) > 0; }

  uint32_t send(uint8_t type, const Writer& body);
  Packet wait(uint32_t id);
  // True when the answer to `id` has arrived (reads what is there without waiting).
  bool arrived(uint32_t id);
  void abandon(uint32_t id);

  // Answers of the expected kind, or a LibError from a status answer.
  std::string handle(const Packet& answer);
  void ok(const Packet& answer);
  fxp_attrs attributes(const Packet& answer);
  std::string singleName(const Packet& answer);
  [[noreturn]] void failWithStatus(const Packet& answer);

 private:
  bool readSome(int timeoutMs);
  bool takePacket(Packet& packet);
  void store(Packet&& packet);

  Transport& transport_;
  WaitRules rules_;
  size_t maxPacket_;
  uint32_t nextId_ = 1;
  std::set<uint32_t> pending_;
  std::map<uint32_t, Packet> answers_;
  std::string received_;
  size_t consumed_ = 0;
  std::map<std::string, std::string> extensions_;
};

}  // namespace qssh
