// Decides whether a page is line art or continuous tone, for the engine's
// automatic choice of tones (a printer application's
// print-content-optimize=auto). Line art (text, barcodes, drawings) is
// black, white and the gray edge pixels of anti-aliasing, which always
// touch black or white; a photo or a gray fill has gray pixels whose four
// neighbours are gray as well. A page with more of those than a small share
// of its pixels is continuous tone and gets dithered; any other page gets
// the threshold, which keeps edges crisp.
#pragma once

#include <cstdint>

namespace tavel {

constexpr int kInkBelow = 64;      // 8-bit gray below this is ink
constexpr int kPaperAbove = 191;   // 8-bit gray above this is paper
constexpr int kToneShareDivisor = 200;  // more than 1/200 of the pixels: continuous tone

// rows: 8-bit gray (0 black), `bytesPerLine` apart. `inverted`: 0 is white.
bool IsContinuousTone(const uint8_t* rows, uint32_t width, uint32_t height,
                      uint32_t bytesPerLine, bool inverted);

}  // namespace tavel
