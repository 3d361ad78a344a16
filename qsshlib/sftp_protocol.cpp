#include "sftp_protocol.h"

#include <chrono>
#include <cstring>

#include "lib_error.h"
#include "net.h"

namespace qssh {

namespace {

constexpr uint32_t kSftpVersion = 3;
// The longest single wait, so an abort request is seen soon.
constexpr std::chrono::milliseconds kWaitSlice(Deadline::kSliceMs);

[[noreturn]] void badMessage() {
  fail(QSSH_ERR_PROTOCOL, "Malformed SFTP answer from the server");
}

uint32_t bigEndian32(const char* bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

}  // namespace

Writer& Writer::u8(uint8_t value) {
  bytes_ += static_cast<char>(value);
  return *this;
}

Writer& Writer::u32(uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) bytes_ += static_cast<char>((value >> shift) & 0xff);
  return *this;
}

Writer& Writer::u64(uint64_t value) {
  u32(static_cast<uint32_t>(value >> 32));
  return u32(static_cast<uint32_t>(value));
}

Writer& Writer::str(std::string_view value) {
  u32(static_cast<uint32_t>(value.size()));
  bytes_.append(value);
  return *this;
}

Writer& Writer::attrs(const fxp_attrs& value) {
  const uint32_t flags = value.flags & (QSSH_ATTR_SIZE | QSSH_ATTR_UIDGID | QSSH_ATTR_PERMISSIONS |
                                        QSSH_ATTR_ACMODTIME);
  u32(flags);
  if (flags & QSSH_ATTR_SIZE) u64(value.size);
  if (flags & QSSH_ATTR_UIDGID) u32(value.uid).u32(value.gid);
  if (flags & QSSH_ATTR_PERMISSIONS) u32(value.permissions);
  if (flags & QSSH_ATTR_ACMODTIME) u32(value.atime).u32(value.mtime);
  return *this;
}

std::string_view Reader::take(size_t count) {
  if (count > rest_.size()) badMessage();
  std::string_view taken = rest_.substr(0, count);
  rest_.remove_prefix(count);
  return taken;
}

uint8_t Reader::u8() {
  return static_cast<uint8_t>(take(1)[0]);
}

uint32_t Reader::u32() {
  return bigEndian32(take(4).data());
}

uint64_t Reader::u64() {
  const uint64_t high = u32();
  return (high << 32) | u32();
}

std::string_view Reader::str() {
  return take(u32());
}

fxp_attrs Reader::attrs() {
  fxp_attrs value{};
  value.flags = u32();
  if (value.flags & QSSH_ATTR_SIZE) value.size = u64();
  if (value.flags & QSSH_ATTR_UIDGID) {
    value.uid = u32();
    value.gid = u32();
  }
  if (value.flags & QSSH_ATTR_PERMISSIONS) value.permissions = u32();
  if (value.flags & QSSH_ATTR_ACMODTIME) {
    value.atime = u32();
    value.mtime = u32();
  }
  if (value.flags & 0x80000000u) {  // extended pairs: read past them
    for (uint32_t count = u32(); count > 0; --count) {
      str();
      str();
    }
  }
  value.flags &= QSSH_ATTR_SIZE | QSSH_ATTR_UIDGID | QSSH_ATTR_PERMISSIONS | QSSH_ATTR_ACMODTIME;
  return value;
}

void ReceiveWindow::received(size_t bytes, Clock::time_point now, Clock::duration roundTrip) {
  roundBytes_ += bytes;
  if (now - roundStart_ < roundTrip) return;
  if (waited_ && roundBytes_ >= credit() / 2) size_ = std::min(cap_, credit() * 2);
  roundStart_ = now;
  roundBytes_ = 0;
  waited_ = false;
}

char* ReceiveBuffer::space(size_t count) {
  // A read asks for the whole window but brings what libssh has decoded,
  // about one SSH packet. So the storage has room for the window plus some
  // slack, and the unfinished packet kept at its end moves to the front only
  // once the slack is used up: rarely, and the bytes written stay within the
  // storage's first pages.
  constexpr size_t kSlack = 1024 * 1024;
  const size_t kept = size();
  if (end_ + count > capacity_ && begin_ > 0) {
    std::memmove(storage_.get(), data(), kept);
    begin_ = 0;
    end_ = kept;
  }
  if (end_ + count > capacity_) {
    // Not value-initialised: pages are only touched where bytes arrive.
    std::unique_ptr<char[]> larger(new char[kept + count + kSlack]);
    if (kept > 0) std::memcpy(larger.get(), data(), kept);
    storage_ = std::move(larger);
    capacity_ = kept + count + kSlack;
    begin_ = 0;
    end_ = kept;
  }
  return storage_.get() + end_;
}

void ReceiveBuffer::consume(size_t count) {
  begin_ += count;
  if (begin_ == end_) begin_ = end_ = 0;
}

SftpClient::SftpClient(Transport& transport, WaitRules rules, size_t maxPacket, size_t maxWindow)
    : transport_(transport), rules_(std::move(rules)), maxPacket_(maxPacket), window_(maxWindow) {}

void SftpClient::start() {
  Writer init;
  init.u8(FXP_INIT).u32(kSftpVersion);
  Writer framed;
  framed.str(init.bytes());
  transport_.write(framed.bytes());
  // The version answer has no id: it is the first packet, taken as id 0.
  pending_[0] = ReceiveWindow::Clock::now();
  Packet version = wait(0);
  if (version.type != FXP_VERSION) badMessage();
  Reader reader(version.body);
  // Every packet this client reads and writes has the layout of version 3;
  // a server that answers with another version would be misread.
  const uint32_t number = reader.u32();
  if (number != kSftpVersion)
    fail(QSSH_ERR_SFTP_START, "The server speaks SFTP version " + std::to_string(number) +
                                  "; only version " + std::to_string(kSftpVersion) +
                                  " is supported");
  while (true) {
    std::string_view name, data;
    try {
      name = reader.str();
      data = reader.str();
    } catch (const LibError&) {
      break;
    }
    extensions_[std::string(name)] = std::string(data);
  }
}

uint32_t SftpClient::send(uint8_t type, const Writer& body) {
  const uint32_t id = nextId_++;
  if (nextId_ == 0) nextId_ = 1;
  Writer header;
  header.u32(static_cast<uint32_t>(1 + 4 + body.bytes().size())).u8(type).u32(id);
  transport_.write(header.bytes() + body.bytes());
  pending_[id] = ReceiveWindow::Clock::now();
  return id;
}

void SftpClient::abandon(uint32_t id) {
  pending_.erase(id);
  answers_.erase(id);
}

bool SftpClient::takePacket(Packet& packet) {
  const size_t available = received_.size();
  if (available < 4) return false;
  const uint32_t length = bigEndian32(received_.data());
  if (length < 1 || length > maxPacket_)
    fail(QSSH_ERR_PROTOCOL, "SFTP packet of " + std::to_string(length) + " bytes refused");
  if (available < 4 + size_t{length}) return false;
  const char* start = received_.data() + 4;
  packet.type = static_cast<uint8_t>(start[0]);
  if (length < 5) badMessage();
  // Every answer has an id after its type but the version answer, which has
  // its version number there: it is taken as the answer to request 0, with
  // the number kept at the start of its body.
  const bool isVersion = packet.type == FXP_VERSION;
  packet.id = isVersion ? 0 : bigEndian32(start + 1);
  const size_t bodyStart = isVersion ? 1 : 5;
  packet.body.assign(start + bodyStart, length - bodyStart);
  received_.consume(4 + size_t{length});
  return true;
}

void SftpClient::store(Packet&& packet, ReceiveWindow::Clock::time_point now) {
  const auto request = pending_.find(packet.id);
  if (request == pending_.end()) return;  // an answer nobody waits for any more
  roundTrip_ = std::min(roundTrip_, now - request->second);
  answers_[packet.id] = std::move(packet);
}

bool SftpClient::readSome(int timeoutMs) {
  const size_t asked = window_.size();
  char* space = received_.space(asked);
  size_t count = transport_.read(space, asked, 0);
  if (count == 0 && timeoutMs > 0) {
    window_.waited();
    count = transport_.read(space, asked, timeoutMs);
  }
  received_.commit(count);
  const auto now = ReceiveWindow::Clock::now();
  window_.received(count, now, roundTrip_);
  Packet packet;
  while (takePacket(packet)) store(std::move(packet), now);
  return count > 0;
}

bool SftpClient::arrived(uint32_t id) {
  while (answers_.count(id) == 0 && readSome(0)) {
  }
  return answers_.count(id) > 0;
}

const Packet* SftpClient::peek(uint32_t id) {
  return arrived(id) ? &answers_.at(id) : nullptr;
}

Packet SftpClient::wait(uint32_t id) {
  const Deadline deadline = Deadline::after(rules_.timeoutMs());
  auto lastTraffic = std::chrono::steady_clock::now();
  auto callerRan = lastTraffic;
  while (answers_.count(id) == 0) {
    if (rules_.letCallerRun && std::chrono::steady_clock::now() - callerRan >= kWaitSlice) {
      rules_.letCallerRun();
      callerRan = std::chrono::steady_clock::now();
    }
    if (rules_.aborted()) fail(QSSH_ERR_ABORTED, "Aborted");
    if (deadline.passed()) fail(QSSH_ERR_TIMEOUT, "The server did not answer in time");
    if (readSome(std::min(Deadline::kSliceMs, deadline.remainingMs()))) {
      lastTraffic = std::chrono::steady_clock::now();
    } else if (const int interval = rules_.keepAliveSeconds(); interval > 0) {
      if (std::chrono::steady_clock::now() - lastTraffic >= std::chrono::seconds(interval)) {
        transport_.keepAlive();
        lastTraffic = std::chrono::steady_clock::now();
      }
    }
  }
  Packet answer = std::move(answers_[id]);
  answers_.erase(id);
  pending_.erase(id);
  return answer;
}

void SftpClient::failWithStatus(const Packet& answer) {
  if (answer.type != FXP_STATUS) badMessage();
  Reader reader = answer.reader();
  const uint32_t code = reader.u32();
  std::string message;
  try {
    message = std::string(reader.str());
  } catch (const LibError&) {
  }
  if (message.empty()) message = "SFTP error " + std::to_string(code);
  fail(static_cast<int32_t>(code), message);
}

std::string SftpClient::handle(const Packet& answer) {
  if (answer.type != FXP_HANDLE) failWithStatus(answer);
  return std::string(answer.reader().str());
}

void SftpClient::ok(const Packet& answer) {
  if (answer.type != FXP_STATUS || answer.reader().u32() != FX_OK) failWithStatus(answer);
}

fxp_attrs SftpClient::attributes(const Packet& answer) {
  if (answer.type != FXP_ATTRS) failWithStatus(answer);
  return answer.reader().attrs();
}

std::string SftpClient::singleName(const Packet& answer) {
  if (answer.type != FXP_NAME) failWithStatus(answer);
  Reader reader = answer.reader();
  if (reader.u32() < 1) badMessage();
  return std::string(reader.str());
}

}  // namespace qssh
