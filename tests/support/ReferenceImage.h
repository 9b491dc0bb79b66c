// Straightforward pixel-by-pixel forms of the tone and one-bit geometry
// operations of CRasterImage, and of the white-edge scan and page shift of
// the page preparation. They are kept as the yardstick for the fast forms in
// the library: every result must match them bit for bit.
#pragma once

#include <cstdint>

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
