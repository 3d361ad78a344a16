#pragma once

#include <cstdint>
#include <optional>

#include "game_folder.h"

namespace quorrel {

// Files to fetch that do not fit on the game folder's disk: the bytes to
// fetch and the bytes free.
struct DiskShortfall {
  int64_t needed = 0;
  int64_t free = 0;
};

// Nothing when `toFetch` bytes fit on the disk of `folder`: a flow fetches
// nothing that would leave the game half replaced on a full disk.
std::optional<DiskShortfall> diskShortfall(const GameFolder& folder, int64_t toFetch);

}  // namespace quorrel
