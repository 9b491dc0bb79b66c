// Tone conversion of CRasterImage: gray conversion, brightness and contrast
// through a lookup table, and the reduction to one bit per pixel by a fixed
// threshold or by one of ten dithering methods.
//
// Gray value of a colour: (306 red + 601 green + 117 blue) >> 10. The weights
// sum to 1024, so white stays 255 and a colour with equal channels keeps its
// value. In a 24-bit pixel blue is the first byte and red the third.
//
// Threshold and Dither read an 8-bit working image of gray levels (GrayScale
// makes one) and build a 1-bit result whose palette is 0 = black, 1 = white.
//
// Error diffusion (methods 0 and 2..6): rows top to bottom, every row left to
// right (no serpentine order). A pixel above 128 turns white and carries the
// error v - 255, otherwise black carrying v. Every kernel neighbour inside the
// image receives (e * w) / D, the product formed first and the quotient
// truncated toward zero, clamped to 0..255 and written back into the working
// image; so the running errors need no buffer of their own and a pixel's
// value already holds what earlier pixels sent it.
//
// Ordered dithering (methods 1, 7, 8, 9): each pixel is compared alone with a
// threshold matrix tiled over the image; nothing is carried. The 4x4 matrices
// are indexed [y mod 4][x mod 4]; the 8x8 and 16x16 ones [x mod n][y mod n]
// (column first), which is how their tables below are laid out.
//
// Every method is one entry of kDitherMethods: either a diffusion kernel or
// an ordered rule. A faster loop for a method can be added per entry.

#include "image/RasterImage.h"


namespace {

inline uint8_t GrayOf(uint8_t red, uint8_t green, uint8_t blue) {
  return static_cast<uint8_t>((306 * red + 601 * green + 117 * blue) >> 10);
}

inline uint8_t GrayOf(const tagRGBQUAD& colour) {
  return GrayOf(colour.rgbRed, colour.rgbGreen, colour.rgbBlue);
}

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

bool CRasterImage::GrayScale() {
  if (!m_dib) return false;
  const int32_t width = static_cast<int32_t>(GetWidth());
  const int32_t height = static_cast<int32_t>(GetHeight());

  if (GetBpp() > 8) {
    CRasterImage gray;
    gray.CopyInfo(*this);
    if (!gray.Create(GetWidth(), GetHeight(), 8, GetType())) return false;
    gray.SetGrayPalette();
    if (m_info.transIndex >= 0) gray.m_info.transIndex = GrayOf(GetTransColor());
    gray.SelectionCopy(*this);
    gray.AlphaCopy(*this);
    for (int32_t y = 0; y < height; ++y) {
      const uint8_t* src = GetBits(static_cast<uint32_t>(y));
      for (int32_t x = 0; x < width; ++x) {
        const uint8_t* p = src + 3 * x;
        gray.BlindSetPixelIndex(x, y, GrayOf(p[2], p[1], p[0]));
      }
    }
    return Transfer(gray);
  }

  // Paletted: every entry's gray value; indices beyond the palette read as 0.
  uint8_t grayOfEntry[256] = {};
  const uint32_t colours = GetNumColors() < 256 ? GetNumColors() : 256;
  for (uint32_t i = 0; i < colours; ++i)
    grayOfEntry[i] = GrayOf(GetPaletteColor(static_cast<uint8_t>(i)));
  int32_t transIndex = m_info.transIndex;
  if (transIndex >= 0) transIndex = transIndex < 256 ? grayOfEntry[transIndex] : 0;

  if (GetBpp() == 8) {
    // The whole pixel area, padding included: each byte becomes its gray.
    uint8_t* bits = GetBits(0);
    for (uint32_t i = 0; i < m_header.biSizeImage; ++i) bits[i] = grayOfEntry[bits[i]];
    SetGrayPalette();
    m_info.transIndex = transIndex;
    return true;
  }

  // 4 bits (and 1 bit, which the filter never sends here): widen to 8 bits.
  CRasterImage gray;
  gray.CopyInfo(*this);
  if (!gray.Create(GetWidth(), GetHeight(), 8, GetType())) return false;
  gray.m_info.transIndex = transIndex;
  gray.SetGrayPalette();
  gray.SelectionCopy(*this);
  gray.AlphaCopy(*this);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      gray.BlindSetPixelIndex(x, y, grayOfEntry[BlindGetPixelIndex(x, y)]);
  return Transfer(gray);
}

bool CRasterImage::Light(int32_t brightness, int32_t contrast) {
  if (!m_dib) return false;
  // Single precision throughout: the table must match to the last unit, e.g.
  // brightness 20, contrast 20 gives table[100] = trunc(148 - 33.6 + 0.5) = 114.
  // The sums are widened first: both settings are free integers of the PPD.
  const float factor = static_cast<float>(static_cast<float>(int64_t{contrast} + 100) / 100.0);
  const float offset = static_cast<float>(int64_t{brightness} + 128);
  uint8_t table[256];
  for (int32_t i = 0; i < 256; ++i) {
    float stretched = static_cast<float>(i - 128) * factor;
    float value = offset + stretched;
    value = value + 0.5f;
    // trunc(value) <= 0 exactly when value < 1, > 255 exactly when value >= 256;
    // testing in float keeps huge values away from the int conversion.
    if (!(value >= 1.0f))
      table[i] = 0;
    else if (value >= 256.0f)
      table[i] = 255;
    else
      table[i] = static_cast<uint8_t>(static_cast<int32_t>(value));
  }
  return Lut(table);
}

bool CRasterImage::Lut(const uint8_t* table) {
  if (!m_dib || !table) return false;
  const int32_t width = static_cast<int32_t>(GetWidth());
  const int32_t height = static_cast<int32_t>(GetHeight());

  if (GetBpp() > 8) {
    if (!m_selection) {
      uint8_t* bits = GetBits(0);
      for (uint32_t i = 0; i < m_header.biSizeImage; ++i) bits[i] = table[bits[i]];
      return true;
    }
    for (int32_t y = 0; y < height; ++y) {
      uint8_t* row = GetBits(static_cast<uint32_t>(y));
      for (int32_t x = 0; x < width; ++x) {
        if (!SelectionIsInside(x, y)) continue;
        uint8_t* p = row + 3 * x;
        p[0] = table[p[0]];
        p[1] = table[p[1]];
        p[2] = table[p[2]];
      }
    }
    return true;
  }

  // Paletted: the table goes into the palette; pure black and pure white
  // entries stay so that a black-and-white page is never altered.
  const bool wasGray = IsGrayScale();
  const uint32_t colours = GetNumColors() < 256 ? GetNumColors() : 256;
  for (uint32_t i = 0; i < colours; ++i) {
    tagRGBQUAD entry = GetPaletteColor(static_cast<uint8_t>(i));
    const bool white = entry.rgbRed == 255 && entry.rgbGreen == 255 && entry.rgbBlue == 255;
    const bool black = entry.rgbRed == 0 && entry.rgbGreen == 0 && entry.rgbBlue == 0;
    if (white || black) continue;
    entry.rgbRed = table[entry.rgbRed];
    entry.rgbGreen = table[entry.rgbGreen];
    entry.rgbBlue = table[entry.rgbBlue];
    SetPaletteColor(static_cast<uint8_t>(i), entry);
  }
  // An 8-bit gray page keeps pixel value = gray level: fold the new palette
  // back into the pixels and restore the identity palette.
  if (wasGray) GrayScale();
  return true;
}

bool CRasterImage::Threshold(uint8_t level) {
  if (!m_dib) return false;
  if (GetBpp() == 1) return true;
  if (!GrayScale()) return false;

  const int32_t width = static_cast<int32_t>(GetWidth());
  const int32_t height = static_cast<int32_t>(GetHeight());
  // A fresh image, not CopyInfo: the result carries the defaults of a new
  // image (96 dpi, type 0) and no alpha plane.
  CRasterImage bw(GetWidth(), GetHeight(), 1, 0);
  if (!bw.IsValid()) {
    CopyLastError(bw);
    return false;
  }
  for (int32_t y = 0; y < height; ++y) {
    m_info.progress = static_cast<int32_t>(100LL * y / height);
    if (m_info.escape) break;
    for (int32_t x = 0; x < width; ++x)
      bw.BlindSetPixelIndex(x, y, BlindGetPixelIndex(x, y) > level ? 1 : 0);
  }
  bw.SetPaletteColor(0, 0, 0, 0, 0);
  bw.SetPaletteColor(1, 255, 255, 255, 0);
  return Transfer(bw);
}

bool CRasterImage::Dither(int32_t method) {
  if (!m_dib) return false;
  if (GetBpp() == 1) return true;
  if (!GrayScale()) return false;

  const int32_t width = static_cast<int32_t>(GetWidth());
  const int32_t height = static_cast<int32_t>(GetHeight());
  CRasterImage bw;
  bw.CopyInfo(*this);
  bw.Create(GetWidth(), GetHeight(), 1, GetType());
  if (!bw.IsValid()) {
    CopyLastError(bw);
    return false;
  }
  bw.SelectionCopy(*this);
  bw.AlphaCopy(*this);  // an alpha plane survives dithering

  const DitherMethod& chosen = SelectDitherMethod(method);
  // This image is the working image: diffusion writes its errors into it,
  // and the Transfer below discards it.
  for (int32_t y = 0; y < height; ++y) {
    m_info.progress = static_cast<int32_t>(100LL * y / height);
    if (m_info.escape) break;
    for (int32_t x = 0; x < width; ++x) {
      const int32_t v = BlindGetPixelIndex(x, y);
      if (chosen.ordered) {
        bw.BlindSetPixelIndex(x, y, chosen.ordered(v, static_cast<uint32_t>(x),
                                                   static_cast<uint32_t>(y))
                                        ? 1
                                        : 0);
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
        if (!IsInside(nx, ny)) continue;
        const int32_t n = BlindGetPixelIndex(nx, ny) + (error * tap.weight) / kernel.divisor;
        BlindSetPixelIndex(nx, ny, Clamp255(n));
      }
    }
  }
  bw.SetPaletteColor(0, 0, 0, 0, 0);
  bw.SetPaletteColor(1, 255, 255, 255, 0);
  return Transfer(bw);
}
