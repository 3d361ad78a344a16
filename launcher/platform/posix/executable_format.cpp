
#include <QtEndian>
#include <cstdint>

#include "platform/system.h"

namespace quorrel::system {

namespace {

// A program here is an ELF file: its header's fields that the check reads.
constexpr char kElfMagic[] =
    "\x7f"
    "ELF";
constexpr int kElfHeaderBytes = 64;
constexpr int kClassOffset = 4;
constexpr int kDataOffset = 5;
constexpr int kTypeOffset = 16;
constexpr int kMachineOffset = 18;
constexpr char kClass64 = 2;
constexpr char kLittleEndian = 1;
constexpr std::uint16_t kExecutableType = 2;
constexpr std::uint16_t kSharedObjectType = 3;  // position-independent executables

#if defined(__x86_64__)
constexpr std::uint16_t kThisMachine = 62;
#elif defined(__aarch64__)
constexpr std::uint16_t kThisMachine = 183;
#else
#error "Name this processor's ELF machine number"
#endif

std::uint16_t halfWordAt(const QByteArray& head, int offset) {
  return qFromLittleEndian<std::uint16_t>(head.constData() + offset);
}

}  // namespace

bool isProgramForThisMachine(const QByteArray& head) {
  if (head.size() < kElfHeaderBytes || !head.startsWith(kElfMagic)) return false;
  if (head[kClassOffset] != kClass64 || head[kDataOffset] != kLittleEndian) return false;
  const std::uint16_t type = halfWordAt(head, kTypeOffset);
  return (type == kExecutableType || type == kSharedObjectType) &&
         halfWordAt(head, kMachineOffset) == kThisMachine;
}

}  // namespace quorrel::system
