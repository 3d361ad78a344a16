#include <QtEndian>
#include <cstdint>

#include "platform/system.h"

namespace quorrel::system {

namespace {

// A program here is a PE file: a DOS header whose field at 0x3C points to the
// "PE\0\0" signature, followed by the machine it was built for.
constexpr int kNewHeaderOffsetField = 0x3C;
constexpr std::uint16_t kAmd64 = 0x8664;
constexpr std::uint16_t kArm64 = 0xAA64;
#if defined(__x86_64__) || defined(_M_X64)
constexpr std::uint16_t kThisMachine = kAmd64;
#elif defined(__aarch64__) || defined(_M_ARM64)
constexpr std::uint16_t kThisMachine = kArm64;
#else
#error "Name this processor's PE machine number"
#endif

}  // namespace

bool isProgramForThisMachine(const QByteArray& head) {
  if (head.size() < kNewHeaderOffsetField + 4 || !head.startsWith("MZ")) return false;
  const auto offset = qFromLittleEndian<std::uint32_t>(head.constData() + kNewHeaderOffsetField);
  if (offset > static_cast<std::uint32_t>(head.size()) - 6) return false;
  const char* signature = head.constData() + offset;
  return QByteArray(signature, 4) == QByteArray("PE\0\0", 4) &&
         qFromLittleEndian<std::uint16_t>(signature + 4) == kThisMachine;
}

}  // namespace quorrel::system
