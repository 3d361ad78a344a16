#pragma once

// What the launcher's artwork holds, shared by the launcher that embeds it
// and the renderer that paints it.
namespace quorrel::artwork_files {

// The program icon's sizes, each a picture icon/icon_<size>.png.
inline constexpr int kIconSizes[] = {16, 32, 48, 64, 128, 256};

}  // namespace quorrel::artwork_files
