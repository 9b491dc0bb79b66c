// Straightforward pixel-by-pixel forms of the tone and one-bit geometry
// operations of CRasterImage, and of the white-edge scan and page shift of
// the page preparation. They are kept as the yardstick for the fast forms in
// the library: every result must match them bit for bit.
#pragma once

#include <cstdint>
#include <string>

#include "image/RasterImage.h"

namespace ref {

// Each works like the CRasterImage member of the same name and returns its
// result.
bool Threshold(CRasterImage& img, uint8_t level);
bool Dither(CRasterImage& img, int32_t method);
bool QuarterTurn(CRasterImage& img, bool ninety);  // 90 or 270 degrees
bool Rotate180(CRasterImage& img);
bool Mirror(CRasterImage& img);
bool Crop(CRasterImage& img, int32_t left, int32_t top, int32_t right, int32_t bottom,
          CRasterImage* destination);

// The white-edge scan of a one-bit page (bit 0 is ink): first and last row
// and column holding ink; false when the page has none.
bool InkBounds(const CRasterImage& img, tagINKBOUNDS& bounds);

// The page shift: a full copy, every row filled with 0xFF, then the copy
// drawn over the page with OpSourceOver at (xOffset, yOffset).
bool ShiftOnWhite(CRasterImage& img, int32_t xOffset, int32_t yOffset);

}  // namespace ref

namespace ref {

// Test pages for the comparisons: `bpp` 1, 4, 8, 24 or 32 (24 with an alpha
// plane), filled by `pattern`: 0 random bytes, 1 gradients with texture,
// 2 only the extremes 0 and 255 and values next to 128, so that clamps and
// the threshold boundary are reached.
CRasterImage MakePage(uint32_t width, uint32_t height, uint32_t bpp, int pattern, uint32_t seed);

// Empty when the two images are the same bit for bit (size, depth, palette,
// every row byte including padding, alpha plane, resolution, type); else
// what differs first.
std::string Difference(const CRasterImage& a, const CRasterImage& b);

}  // namespace ref
