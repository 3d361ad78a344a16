#include "disk_space.h"

namespace quorrel {

std::optional<DiskShortfall> diskShortfall(const GameFolder& folder, int64_t toFetch) {
  const int64_t free = folder.freeSpace();
  if (toFetch <= free) return std::nullopt;
  return DiskShortfall{toFetch, free};
}

}  // namespace quorrel
