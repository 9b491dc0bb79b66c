// Today's pixel-by-pixel forms, kept word for word apart from reaching the
// image through its public interface (progress and escape are left out: the
// comparisons never set escape).
#include "support/ReferenceImage.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace ref {
namespace {

inline uint8_t Clamp255(int32_t value) {
  return static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
}

// ---------------------------------------------------------------------------
// Error diffusion kernels: weight w at offset (dx, dy) from the current pixel,
// all shares divided by the kernel's divisor D. These are the published
// kernels of those names.

struct KernelTap {
  int32_t dx;
  int32_t dy;
  int32_t weight;
};

struct DiffusionKernel {
  int32_t divisor;
  int32_t count;
  KernelTap taps[12];
};

constexpr DiffusionKernel kFloydSteinberg = {16, 4, {{1, 0, 7}, {-1, 1, 3}, {0, 1, 5}, {1, 1, 1}}};

constexpr DiffusionKernel kBurkes = {
    32, 7, {{1, 0, 8}, {2, 0, 4}, {-2, 1, 2}, {-1, 1, 4}, {0, 1, 8}, {1, 1, 4}, {2, 1, 2}}};

constexpr DiffusionKernel kStucki = {42,
                                     12,
                                     {{1, 0, 8},
                                      {2, 0, 4},
                                      {-2, 1, 2},
                                      {-1, 1, 4},
                                      {0, 1, 8},
                                      {1, 1, 4},
                                      {2, 1, 2},
                                      {-2, 2, 1},
                                      {-1, 2, 2},
                                      {0, 2, 4},
                                      {1, 2, 2},
                                      {2, 2, 1}}};

constexpr DiffusionKernel kJarvisJudiceNinke = {48,
                                                12,
                                                {{1, 0, 7},
                                                 {2, 0, 5},
                                                 {-2, 1, 3},
                                                 {-1, 1, 5},
                                                 {0, 1, 7},
                                                 {1, 1, 5},
                                                 {2, 1, 3},
                                                 {-2, 2, 1},
                                                 {-1, 2, 3},
                                                 {0, 2, 5},
                                                 {1, 2, 3},
                                                 {2, 2, 1}}};

constexpr DiffusionKernel kSierra = {32,
                                     10,
                                     {{1, 0, 5},
                                      {2, 0, 3},
                                      {-2, 1, 2},
                                      {-1, 1, 4},
                                      {0, 1, 5},
                                      {1, 1, 4},
                                      {2, 1, 2},
                                      {-1, 2, 2},
                                      {0, 2, 3},
                                      {1, 2, 2}}};

constexpr DiffusionKernel kStevensonArce = {200,
                                            12,
                                            {{2, 0, 32},
                                             {-3, 1, 12},
                                             {-1, 1, 26},
                                             {1, 1, 30},
                                             {3, 1, 16},
                                             {-2, 2, 12},
                                             {0, 2, 26},
                                             {2, 2, 12},
                                             {-3, 3, 5},
                                             {-1, 3, 12},
                                             {1, 3, 12},
                                             {3, 3, 5}}};

// ---------------------------------------------------------------------------
// Ordered dithering matrices.

// 4x4 Bayer index matrix, [y mod 4][x mod 4], compared with 16 v / 255.
constexpr uint8_t kBayer4[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

// Sixteen times the transpose of kBayer4, [y mod 4][x mod 4], compared with v.
constexpr uint8_t kThreshold4[4][4] = {
    {0, 192, 48, 240}, {128, 64, 176, 112}, {32, 224, 16, 208}, {160, 96, 144, 80}};

// 8x8 Bayer index matrix, [x mod 8][y mod 8], compared with v >> 2.
constexpr uint8_t kBayer8[8][8] = {
    {0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
    {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
    {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21}};

// 16x16 matrix holding each of 0..255 once, [x mod 16][y mod 16], compared
// with v.
constexpr uint8_t kThreshold16[16][16] = {
    {1, 235, 59, 219, 15, 231, 55, 215, 2, 232, 56, 216, 12, 228, 52, 212},
    {129, 65, 187, 123, 143, 79, 183, 119, 130, 66, 184, 120, 140, 76, 180, 116},
    {33, 193, 17, 251, 47, 207, 31, 247, 34, 194, 18, 248, 44, 204, 28, 244},
    {161, 97, 145, 81, 175, 111, 159, 95, 162, 98, 146, 82, 172, 108, 156, 92},
    {9, 225, 49, 209, 5, 239, 63, 223, 10, 226, 50, 210, 6, 236, 60, 220},
    {137, 73, 177, 113, 133, 69, 191, 127, 138, 74, 178, 114, 134, 70, 188, 124},
    {41, 201, 25, 241, 37, 197, 21, 255, 42, 202, 26, 242, 38, 198, 22, 252},
    {169, 105, 153, 89, 165, 101, 149, 85, 170, 106, 154, 90, 166, 102, 150, 86},
    {3, 233, 57, 217, 13, 229, 53, 213, 0, 234, 58, 218, 14, 230, 54, 214},
    {131, 67, 185, 121, 141, 77, 181, 117, 128, 64, 186, 122, 142, 78, 182, 118},
    {35, 195, 19, 249, 45, 205, 29, 245, 32, 192, 16, 250, 46, 206, 30, 246},
    {163, 99, 147, 83, 173, 109, 157, 93, 160, 96, 144, 80, 174, 110, 158, 94},
    {11, 227, 51, 211, 7, 237, 61, 221, 8, 224, 48, 208, 4, 238, 62, 222},
    {139, 75, 179, 115, 135, 71, 189, 125, 136, 72, 176, 112, 132, 68, 190, 126},
    {43, 203, 27, 243, 39, 199, 23, 253, 40, 200, 24, 240, 36, 196, 20, 254},
    {171, 107, 155, 91, 167, 103, 151, 87, 168, 104, 152, 88, 164, 100, 148, 84}};

// An ordered rule answers whether the pixel of gray value v at (x, y) is
// white.
using OrderedRule = bool (*)(int32_t v, uint32_t x, uint32_t y);

bool OrderedBayer4(int32_t v, uint32_t x, uint32_t y) {
  const int32_t level = (16 * v) / 255;  // 0..16: 16 is white everywhere
  return kBayer4[y & 3][x & 3] < level;
}

bool OrderedThreshold4(int32_t v, uint32_t x, uint32_t y) { return v > kThreshold4[y & 3][x & 3]; }

bool OrderedBayer8(int32_t v, uint32_t x, uint32_t y) {
  const int32_t level = v >> 2;  // 0..63; level 0 stays black even where the matrix is 0
  return level != 0 && level >= kBayer8[x & 7][y & 7];
}

// The matrix holds 255 once, which "v > t" alone would print as a black dot
// in every 16 x 16 tile of white paper; full white stays white.
bool OrderedThreshold16(int32_t v, uint32_t x, uint32_t y) {
  return v == 255 || v > kThreshold16[x & 15][y & 15];
}

// One entry per method number 0..9; exactly one of the two is set.
struct DitherMethod {
  const DiffusionKernel* kernel;
  OrderedRule ordered;
};

constexpr DitherMethod kDitherMethods[10] = {
    {&kFloydSteinberg, nullptr},     // 0
    {nullptr, OrderedBayer4},        // 1
    {&kBurkes, nullptr},             // 2
    {&kStucki, nullptr},             // 3
    {&kJarvisJudiceNinke, nullptr},  // 4
    {&kSierra, nullptr},             // 5
    {&kStevensonArce, nullptr},      // 6
    {nullptr, OrderedThreshold4},    // 7
    {nullptr, OrderedBayer8},        // 8
    {nullptr, OrderedThreshold16},   // 9
};

// Unknown method numbers (the PPD option is a free integer) fall back to
// Floyd-Steinberg.
const DitherMethod& SelectDitherMethod(int32_t method) {
  return (method >= 1 && method <= 9) ? kDitherMethods[method] : kDitherMethods[0];
}

}  // namespace

bool Threshold(CRasterImage& img, uint8_t level) {
  if (!img.IsValid()) return false;
  if (img.GetBpp() == 1) return true;
  if (!img.GrayScale()) return false;
  const int32_t width = static_cast<int32_t>(img.GetWidth());
  const int32_t height = static_cast<int32_t>(img.GetHeight());
  CRasterImage bw(img.GetWidth(), img.GetHeight(), 1, 0);
  if (!bw.IsValid()) {
    img.CopyLastError(bw);
    return false;
  }
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      bw.BlindSetPixelIndex(x, y, img.BlindGetPixelIndex(x, y) > level ? 1 : 0);
  bw.SetPaletteColor(0, 0, 0, 0, 0);
  bw.SetPaletteColor(1, 255, 255, 255, 0);
  return img.Transfer(bw);
}

bool Dither(CRasterImage& img, int32_t method) {
  if (!img.IsValid()) return false;
  if (img.GetBpp() == 1) return true;
  if (!img.GrayScale()) return false;
  const int32_t width = static_cast<int32_t>(img.GetWidth());
  const int32_t height = static_cast<int32_t>(img.GetHeight());
  CRasterImage bw;
  bw.CopyInfo(img);
  bw.Create(img.GetWidth(), img.GetHeight(), 1, img.GetType());
  if (!bw.IsValid()) {
    img.CopyLastError(bw);
    return false;
  }
  bw.SelectionCopy(img);
  bw.AlphaCopy(img);
  const DitherMethod& chosen = SelectDitherMethod(method);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const int32_t v = img.BlindGetPixelIndex(x, y);
      if (chosen.ordered) {
        bw.BlindSetPixelIndex(
            x, y, chosen.ordered(v, static_cast<uint32_t>(x), static_cast<uint32_t>(y)) ? 1 : 0);
        continue;
      }
      int32_t error;
      if (v > 128) {
        bw.BlindSetPixelIndex(x, y, 1);
        error = v - 255;
      } else {
        bw.BlindSetPixelIndex(x, y, 0);
        error = v;
      }
      const DiffusionKernel& kernel = *chosen.kernel;
      for (int32_t t = 0; t < kernel.count; ++t) {
        const KernelTap& tap = kernel.taps[t];
        const int32_t nx = x + tap.dx;
        const int32_t ny = y + tap.dy;
        if (!img.IsInside(nx, ny)) continue;
        const int32_t n = img.BlindGetPixelIndex(nx, ny) + (error * tap.weight) / kernel.divisor;
        img.BlindSetPixelIndex(nx, ny, Clamp255(n));
      }
    }
  }
  bw.SetPaletteColor(0, 0, 0, 0, 0);
  bw.SetPaletteColor(1, 255, 255, 255, 0);
  return img.Transfer(bw);
}

bool QuarterTurn(CRasterImage& img, bool ninety) {
  if (!img.IsValid()) return false;
  const int32_t width = static_cast<int32_t>(img.GetWidth());
  const int32_t height = static_cast<int32_t>(img.GetHeight());
  const bool paletted = img.GetBpp() <= 8;
  CRasterImage turned;
  turned.CopyInfo(img);
  if (!turned.Create(img.GetHeight(), img.GetWidth(), img.GetBpp(), img.GetType())) {
    img.CopyLastError(turned);
    return false;
  }
  turned.SetPalette(img.GetPalette(), 256);
  if (img.AlphaIsValid() && !turned.AlphaCreate()) return false;
  for (int32_t ny = 0; ny < width; ++ny)
    for (int32_t nx = 0; nx < height; ++nx) {
      const int32_t sx = ninety ? width - 1 - ny : ny;
      const int32_t sy = ninety ? nx : height - 1 - nx;
      if (paletted)
        turned.BlindSetPixelIndex(nx, ny, img.BlindGetPixelIndex(sx, sy));
      else
        turned.SetPixelColor(nx, ny, img.GetPixelColor(sx, sy, true), false);
      turned.AlphaSet(nx, ny, img.AlphaGet(sx, sy));
    }
  return img.Transfer(turned);
}

bool Rotate180(CRasterImage& img) {
  if (!img.IsValid()) return false;
  const int32_t width = static_cast<int32_t>(img.GetWidth());
  const int32_t height = static_cast<int32_t>(img.GetHeight());
  const bool paletted = img.GetBpp() <= 8;
  CRasterImage turned;
  turned.CopyInfo(img);
  if (!turned.Create(img.GetWidth(), img.GetHeight(), img.GetBpp(), img.GetType())) {
    img.CopyLastError(turned);
    return false;
  }
  turned.SetPalette(img.GetPalette(), 256);
  if (img.AlphaIsValid() && !turned.AlphaCreate()) return false;
  for (int32_t y = 0; y < height; ++y) {
    const int32_t ty = height - 1 - y;
    for (int32_t x = 0; x < width; ++x) {
      const int32_t tx = width - 1 - x;
      if (paletted)
        turned.BlindSetPixelIndex(tx, ty, img.BlindGetPixelIndex(x, y));
      else
        turned.SetPixelColor(tx, ty, img.GetPixelColor(x, y, true), false);
      turned.AlphaSet(tx, ty, img.AlphaGet(x, y));
    }
  }
  return img.Transfer(turned);
}

bool Mirror(CRasterImage& img) {
  if (!img.IsValid()) return false;
  CRasterImage mirrored(img, false, true, true);
  if (!mirrored.IsValid()) return false;
  const int32_t width = static_cast<int32_t>(img.GetWidth());
  const int32_t height = static_cast<int32_t>(img.GetHeight());
  const int32_t last = width - 1;
  const uint16_t bpp = img.GetBpp();
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* src = img.GetBits(static_cast<uint32_t>(y));
    uint8_t* dst = mirrored.GetBits(static_cast<uint32_t>(y));
    if (bpp == 8) {
      for (int32_t x = 0; x <= last; ++x) dst[x] = src[last - x];
    } else if (bpp == 24) {
      for (int32_t x = 0; x <= last; ++x) std::memcpy(dst + 3 * x, src + 3 * (last - x), 3);
    } else {
      for (int32_t x = 0; x <= last; ++x)
        mirrored.SetPixelIndex(x, y, img.GetPixelIndex(last - x, y));
    }
  }
  mirrored.AlphaMirror();
  return img.Transfer(mirrored, true);
}

bool Crop(CRasterImage& img, int32_t left, int32_t top, int32_t right, int32_t bottom,
          CRasterImage* destination) {
  if (!img.IsValid()) return false;
  const int32_t width = static_cast<int32_t>(img.GetWidth());
  const int32_t height = static_cast<int32_t>(img.GetHeight());
  int32_t startX = std::max(0, std::min(left, width));
  int32_t endX = std::max(0, std::min(right, width));
  int32_t startY = height - std::max(0, std::min(top, height));
  int32_t endY = height - std::max(0, std::min(bottom, height));
  if (startX == endX || startY == endY) return false;
  if (startX > endX) std::swap(startX, endX);
  if (startY > endY) std::swap(startY, endY);
  CRasterImage part;
  part.CopyInfo(img);
  if (!part.Create(static_cast<uint32_t>(endX - startX), static_cast<uint32_t>(endY - startY),
                   img.GetBpp(), img.GetType())) {
    img.CopyLastError(part);
    return false;
  }
  part.SetPalette(img.GetPalette(), img.GetNumColors());
  const uint32_t bpp = img.GetBpp();
  for (int32_t y = startY; y < endY; ++y) {
    if (bpp >= 8) {
      std::memcpy(part.GetBits(static_cast<uint32_t>(y - startY)),
                  img.GetBits(static_cast<uint32_t>(y)) + static_cast<size_t>(startX) * bpp / 8,
                  static_cast<size_t>(endX - startX) * bpp / 8);
    } else {
      for (int32_t x = startX; x < endX; ++x)
        part.SetPixelIndex(x - startX, y - startY, img.GetPixelIndex(x, y));
    }
  }
  if (img.AlphaIsValid()) {
    if (!part.AlphaCreate()) return false;
    for (int32_t y = startY; y < endY; ++y)
      for (int32_t x = startX; x < endX; ++x)
        part.AlphaSet(x - startX, y - startY, img.AlphaGet(x, y));
  }
  return (destination ? destination : &img)->Transfer(part);
}

bool InkBounds(const CRasterImage& img, tagINKBOUNDS& bounds) {
  const int W = static_cast<int>(img.GetWidth());
  const int H = static_cast<int>(img.GetHeight());
  auto ink = [&](int x, int y) {
    const uint8_t* row = img.GetBits(static_cast<uint32_t>(y));
    return !((row[x >> 3] >> (7 - (x & 7))) & 1);
  };
  auto rowHasInk = [&](int y) {
    for (int x = 0; x < W; ++x)
      if (ink(x, y)) return true;
    return false;
  };
  auto columnHasInk = [&](int x) {
    for (int y = 0; y < H; ++y)
      if (ink(x, y)) return true;
    return false;
  };
  tagINKBOUNDS found = {-1, -1, -1, -1};
  for (int y = H - 1; y >= 0 && found.lastRow < 0; --y)
    if (rowHasInk(y)) found.lastRow = y;
  for (int y = 0; y < H && found.firstRow < 0; ++y)
    if (rowHasInk(y)) found.firstRow = y;
  for (int x = 0; x < W && found.firstColumn < 0; ++x)
    if (columnHasInk(x)) found.firstColumn = x;
  for (int x = W - 1; x >= 0 && found.lastColumn < 0; --x)
    if (columnHasInk(x)) found.lastColumn = x;
  if (found.firstRow < 0) return false;
  bounds = found;
  return true;
}

bool ShiftOnWhite(CRasterImage& img, int32_t xOffset, int32_t yOffset) {
  CRasterImage copy;
  copy.Copy(img, true, true, true);
  if (!copy.IsValid()) return false;
  for (uint32_t y = 0; y < img.GetHeight(); ++y)
    std::memset(img.GetBits(y), 0xFF, img.GetEffWidth());
  img.Mix(copy, OpSourceOver, xOffset, yOffset, false);
  return true;
}

}  // namespace ref

namespace ref {

CRasterImage MakePage(uint32_t width, uint32_t height, uint32_t bpp, int pattern, uint32_t seed) {
  const uint32_t bytesPerLine = (width * bpp + 7) / 8;
  std::vector<uint8_t> raw(static_cast<size_t>(bytesPerLine) * height);
  uint32_t state = seed * 2654435761u + 12345u;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  for (size_t i = 0; i < raw.size(); ++i) {
    const uint32_t r = next();
    const uint32_t x = static_cast<uint32_t>(i % bytesPerLine),
                   y = static_cast<uint32_t>(i / bytesPerLine);
    uint8_t v = static_cast<uint8_t>(r);
    if (pattern == 1) v = static_cast<uint8_t>((x * 255 / bytesPerLine + y * 3 + (r & 7)) & 255);
    if (pattern == 2) {
      static const uint8_t kEdges[] = {0, 0, 255, 255, 127, 128, 129, 1, 254};
      v = kEdges[r % sizeof(kEdges)];
    }
    raw[i] = v;
  }
  CRasterImage img;
  img.CreateFromArray(raw.data(), width, height, bpp, bytesPerLine, false);
  img.SetXDPI(203);
  return img;
}

std::string Difference(const CRasterImage& a, const CRasterImage& b) {
  if (a.IsValid() != b.IsValid()) return "validity";
  if (!a.IsValid()) return "";
  if (a.GetWidth() != b.GetWidth() || a.GetHeight() != b.GetHeight() || a.GetBpp() != b.GetBpp() ||
      a.GetEffWidth() != b.GetEffWidth())
    return "size or depth";
  if (a.GetNumColors() != b.GetNumColors() ||
      (a.GetNumColors() != 0 &&
       std::memcmp(a.GetPalette(), b.GetPalette(), a.GetPaletteSize()) != 0))
    return "palette";
  for (uint32_t y = 0; y < a.GetHeight(); ++y)
    for (uint32_t i = 0; i < a.GetEffWidth(); ++i)
      if (a.GetBits(y)[i] != b.GetBits(y)[i])
        return "row " + std::to_string(y) + " byte " + std::to_string(i);
  if (a.AlphaIsValid() != b.AlphaIsValid()) return "alpha plane";
  for (uint32_t y = 0; a.AlphaIsValid() && y < a.GetHeight(); ++y)
    for (uint32_t x = 0; x < a.GetWidth(); ++x)
      if (a.AlphaGet(static_cast<int32_t>(x), static_cast<int32_t>(y)) !=
          b.AlphaGet(static_cast<int32_t>(x), static_cast<int32_t>(y)))
        return "alpha at " + std::to_string(x) + "," + std::to_string(y);
  if (a.GetXDPI() != b.GetXDPI() || a.GetYDPI() != b.GetYDPI() || a.GetType() != b.GetType())
    return "resolution or type";
  return "";
}

}  // namespace ref
