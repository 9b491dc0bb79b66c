#include "render/PageTones.h"

namespace tavel {
namespace {

bool Gray(uint8_t v, bool inverted) {
  const int g = inverted ? 255 - v : v;
  return g >= kInkBelow && g <= kPaperAbove;
}

}  // namespace

bool IsContinuousTone(const uint8_t* rows, uint32_t width, uint32_t height,
                      uint32_t bytesPerLine, bool inverted) {
  if (width < 3 || height < 3) return false;
  const uint64_t limit = static_cast<uint64_t>(width) * height / kToneShareDivisor;
  uint64_t inner = 0;
  for (uint32_t y = 1; y + 1 < height; ++y) {
    const uint8_t* up = rows + static_cast<uint64_t>(y - 1) * bytesPerLine;
    const uint8_t* row = up + bytesPerLine;
    const uint8_t* down = row + bytesPerLine;
    for (uint32_t x = 1; x + 1 < width; ++x) {
      if (Gray(row[x], inverted) && Gray(row[x - 1], inverted) && Gray(row[x + 1], inverted) &&
          Gray(up[x], inverted) && Gray(down[x], inverted) && ++inner > limit)
        return true;
    }
  }
  return false;
}

}  // namespace tavel
