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
// an ordered matrix.
//
// How the loops stay exact while working on whole rows:
//  - every ordered rule (and Threshold) is "white when v > t" for a t that
//    depends only on the matrix cell, so each row gets a 16-entry pattern of
//    thresholds and eight pixels are packed into a byte at a time;
//  - a diffusion target receives its shares one at a time, each clamped, in
//    the order the sources are visited: first every share from the rows
//    above (a row is finished before the next one starts), then those from
//    its left neighbours in the same row. Rows below are never read while a
//    row is diffused, so their shares can be added after the row, a whole
//    row (or a piece of it) per kernel tap, in the order of the sources (dx
//    from high to low). Two rows are diffused side by side, the second a
//    little behind, once the first row's shares for its piece are in: their
//    serial chains then overlap;
//  - inside a row the serial chain is n = u + share(n of the pixel before),
//    where u already holds the clamped share from two pixels back. The
//    shares of a pixel depend only on n, so they come from tables indexed by
//    n, which keeps the chain to one load and one add per pixel;
//  - (e * w) / D truncated toward zero equals sign(e) * ((|e| * M) >> 16)
//    with M = ceil(65536 w / D) for every |e| <= 128: the excess is below
//    128 / 65536, less than the 1 / D that the fraction can lack.

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "image/RasterImage.h"


namespace {

inline uint8_t GrayOf(uint8_t red, uint8_t green, uint8_t blue) {
  return static_cast<uint8_t>((306 * red + 601 * green + 117 * blue) >> 10);
}

inline uint8_t GrayOf(const tagRGBQUAD& colour) {
  return GrayOf(colour.rgbRed, colour.rgbGreen, colour.rgbBlue);
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

// One entry per method number 0..9; exactly one of the two is set.
enum class Ordered { kNone, kBayer4Rule, kThreshold4Rule, kBayer8Rule, kThreshold16Rule };

struct DitherMethod {
  const DiffusionKernel* kernel;
  Ordered ordered;
};

constexpr DitherMethod kDitherMethods[10] = {
    {&kFloydSteinberg, Ordered::kNone},     // 0
    {nullptr, Ordered::kBayer4Rule},        // 1
    {&kBurkes, Ordered::kNone},             // 2
    {&kStucki, Ordered::kNone},             // 3
    {&kJarvisJudiceNinke, Ordered::kNone},  // 4
    {&kSierra, Ordered::kNone},             // 5
    {&kStevensonArce, Ordered::kNone},      // 6
    {nullptr, Ordered::kThreshold4Rule},    // 7
    {nullptr, Ordered::kBayer8Rule},        // 8
    {nullptr, Ordered::kThreshold16Rule},   // 9
};

// Unknown method numbers (the PPD option is a free integer) fall back to
// Floyd-Steinberg.
const DitherMethod& SelectDitherMethod(int32_t method) {
  return (method >= 1 && method <= 9) ? kDitherMethods[method] : kDitherMethods[0];
}

// Pattern period of the packing: every matrix width (4, 8, 16) divides it.
constexpr uint32_t kPatternSize = 16;

// The thresholds of stored row y: pixel x is white when v > pattern[x % 16].
//  - 4x4 Bayer: white when (16 v) / 255 > m, that is 16 v >= 255 (m + 1);
//  - 8x8 Bayer: white when v >> 2 is nonzero and >= b, that is v >= 4 max(b, 1);
//  - 16x16: white when v == 255 or v > t; t = 255 becomes 254.
void OrderedPattern(Ordered rule, uint32_t y, uint8_t pattern[kPatternSize]) {
  for (uint32_t k = 0; k < kPatternSize; ++k) {
    int32_t t = 0;
    switch (rule) {
      case Ordered::kBayer4Rule:
        t = (255 * (kBayer4[y & 3][k & 3] + 1) + 15) / 16 - 1;
        break;
      case Ordered::kThreshold4Rule:
        t = kThreshold4[y & 3][k & 3];
        break;
      case Ordered::kBayer8Rule: {
        const int32_t b = kBayer8[k & 7][y & 7];
        t = 4 * (b > 1 ? b : 1) - 1;
        break;
      }
      case Ordered::kThreshold16Rule:
        t = kThreshold16[k & 15][y & 15];
        if (t > 254) t = 254;
        break;
      case Ordered::kNone:
        break;
    }
    pattern[k] = static_cast<uint8_t>(t);
  }
}

// Eight bytes as one word, the first byte lowest (on any host).
inline uint64_t LoadLow8(const uint8_t* p) {
  return uint64_t{p[0]} | uint64_t{p[1]} << 8 | uint64_t{p[2]} << 16 | uint64_t{p[3]} << 24 |
         uint64_t{p[4]} << 32 | uint64_t{p[5]} << 40 | uint64_t{p[6]} << 48 | uint64_t{p[7]} << 56;
}

// The bit of 0x80 in each byte of the result: set where byte a > byte b,
// eight unsigned comparisons at once. b >= a when their top bits agree and
// the low seven bits of b are at least a's (the subtraction borrows from
// nothing: each byte of b | 0x80 is above the 7-bit byte of a), or else
// when b has the top bit.
inline uint64_t BytesAbove(uint64_t a, uint64_t b) {
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  const uint64_t lowAtLeast = (b | kHigh) - (a & ~kHigh);
  const uint64_t differ = a ^ b;
  const uint64_t atLeast = (differ & b) | (~differ & lowAtLeast);
  return ~atLeast & kHigh;
}

// One row of a 1-bit image: bit x (most significant first) is 1 where
// src[x] > pattern[x % 16]. Bits past the width stay 0.
void PackAbove(const uint8_t* src, uint32_t width, const uint8_t pattern[kPatternSize],
               uint8_t* dst) {
  // The comparison bits sit at bit 8k + 7 for pixel k; the product moves
  // pixel k's to bit 63 - k, and no two partial products overlap.
  constexpr uint64_t kGather = 0x8040201008040201ull;
  const uint64_t thresholds[2] = {LoadLow8(pattern), LoadLow8(pattern + 8)};
  const uint32_t whole = width / 8;
  for (uint32_t i = 0; i < whole; ++i) {
    const uint64_t above = BytesAbove(LoadLow8(src + 8 * i), thresholds[i & 1]) >> 7;
    dst[i] = static_cast<uint8_t>((above * kGather) >> 56);
  }
  if (width % 8 != 0) {
    uint32_t bits = 0;
    for (uint32_t x = whole * 8; x < width; ++x)
      bits |= static_cast<uint32_t>(src[x] > pattern[x & (kPatternSize - 1)]) << (7 - (x & 7));
    dst[whole] = static_cast<uint8_t>(bits);
  }
}

// ---------------------------------------------------------------------------
// Error diffusion by rows.

// Room on either side of 0..255 for n = u + share: no same-row share of any
// kernel exceeds 128 * 7 / 16 = 56 in size.
constexpr int32_t kChainBias = 64;
constexpr int32_t kChainSize = 256 + 2 * kChainBias;
// Most taps of a kernel.
constexpr int32_t kMaxTaps = 12;

inline int32_t ErrorOf(int32_t v) { return v > 128 ? v - 255 : v; }

// (e * w) / D truncated toward zero, for |e| <= 128, by one multiplication.
inline int32_t ShareBy(int32_t e, uint32_t multiplier) {
  const uint32_t magnitude = static_cast<uint32_t>(e < 0 ? -e : e);
  const int32_t q = static_cast<int32_t>((magnitude * multiplier) >> 16);
  return e < 0 ? -q : q;
}

inline uint32_t MultiplierFor(int32_t weight, int32_t divisor) {
  return static_cast<uint32_t>((65536 * weight + divisor - 1) / divisor);
}

// Width of the pieces in which two rows advance together; a multiple of 8
// so that the bits of a piece fill whole bytes.
constexpr int32_t kPiece = 128;
// How far the second row's pieces end before the first row's: a multiple of
// 8 and more than the 3 pixels a lower tap reaches to the right.
constexpr int32_t kTrail = 8;

class Diffuser {
 public:
  Diffuser(const DiffusionKernel& kernel, uint32_t width) : m_width(static_cast<int32_t>(width)) {
    int32_t weight1 = 0, weight2 = 0;
    for (int32_t t = 0; t < kernel.count; ++t) {
      const KernelTap& tap = kernel.taps[t];
      if (tap.dy == 0) {
        (tap.dx == 1 ? weight1 : weight2) = tap.weight;
        continue;
      }
      // Lower taps in the order their shares reach a target: row by row,
      // and within a row from the source furthest left (largest dx).
      LowerTap lower = {tap.dx, tap.dy, 0};
      int32_t slot = 0;
      while (slot < m_weights && m_weightOf[slot] != tap.weight) ++slot;
      if (slot == m_weights) {
        m_weightOf[m_weights] = tap.weight;
        m_multiplierOf[m_weights++] = MultiplierFor(tap.weight, kernel.divisor);
      }
      lower.slot = slot;
      int32_t at = m_lowerCount++;
      while (at > 0 && (m_lower[at - 1].dy > lower.dy ||
                        (m_lower[at - 1].dy == lower.dy && m_lower[at - 1].dx < lower.dx))) {
        m_lower[at] = m_lower[at - 1];
        --at;
      }
      m_lower[at] = lower;
    }
    m_hasShare1 = weight1 != 0;
    m_hasShare2 = weight2 != 0;
    const uint32_t multiplier1 = MultiplierFor(weight1, kernel.divisor);
    const uint32_t multiplier2 = MultiplierFor(weight2, kernel.divisor);
    for (int32_t i = 0; i < kChainSize; ++i) {
      const int32_t n = i - kChainBias;
      const int32_t e = ErrorOf(n < 0 ? 0 : (n > 255 ? 255 : n));
      m_error[i] = static_cast<int16_t>(e);
      m_share1[i] = static_cast<int16_t>(ShareBy(e, multiplier1));
      m_share2[i] = static_cast<int16_t>(ShareBy(e, multiplier2));
      m_clamp[i] = static_cast<uint8_t>(n < 0 ? 0 : (n > 255 ? 255 : n));
    }
  }

  // Errors and shares of two rows: per row, its errors (2 bytes each) and
  // one share row per distinct weight (1 byte each: no share of a lower
  // tap exceeds 128 * 5 / 16 in size).
  bool Allocate() {
    const size_t w = static_cast<size_t>(m_width);
    m_span = (w * (2 + static_cast<size_t>(m_weights)) + 15) & ~size_t{15};
    m_buffer = static_cast<int16_t*>(std::malloc(2 * m_span));
    return m_buffer != nullptr;
  }
  ~Diffuser() { std::free(m_buffer); }
  Diffuser(const Diffuser&) = delete;
  Diffuser& operator=(const Diffuser&) = delete;

  // Diffuses stored rows y and, when it exists, y + 1 of the working image
  // (rows `stride` bytes apart) into the 1-bit rows out0 and out1, and sends
  // their shares to the rows below. Returns the number of rows done.
  //
  // The second row trails the first by a piece and a few pixels: each of
  // its pieces is diffused beside a later piece of the first row, after the
  // first row's shares for it have been added (they need that row up to
  // three pixels past the piece), so the two serial chains overlap.
  int32_t Rows(uint8_t* pixels, size_t stride, int32_t y, int32_t height, uint8_t* out0,
               uint8_t* out1) {
    if (m_hasShare1 && m_hasShare2) return Rows<true, true>(pixels, stride, y, height, out0, out1);
    if (m_hasShare1) return Rows<true, false>(pixels, stride, y, height, out0, out1);
    return Rows<false, true>(pixels, stride, y, height, out0, out1);
  }

 private:
  struct LowerTap {
    int32_t dx;
    int32_t dy;
    int32_t slot;  // which share row: one per distinct weight
  };

  // The serial part of one row: n of the two pixels before (a share from
  // outside the row is 0, as is the table's share for n = 0) and the bits
  // of the byte being filled.
  struct Chain {
    const uint8_t* row;
    int16_t* errors;
    int8_t* shares;
    uint8_t* out;
    intptr_t before1 = 0;
    intptr_t before2 = 0;
    uint32_t bits = 0;
  };

  template <bool kShare1, bool kShare2, bool kStore = true>
  inline void Step(Chain& c, int32_t x) const {
    intptr_t u = c.row[x];
    if (kShare2) u = m_clamp[kChainBias + u + m_share2[kChainBias + c.before2]];
    const intptr_t n = kShare1 ? u + m_share1[kChainBias + c.before1] : u;
    c.errors[x] = m_error[kChainBias + n];
    c.bits = (c.bits << 1) | static_cast<uint32_t>(n > 128);
    if (kStore && (x & 7) == 7) c.out[x >> 3] = static_cast<uint8_t>(c.bits);
    c.before2 = c.before1;
    c.before1 = n;
  }

  void Finish(Chain& c) const {
    if (m_width & 7) c.out[m_width >> 3] = static_cast<uint8_t>(c.bits << (8 - (m_width & 7)));
  }

  // Share rows of the errors of pixels from .. to - 1, by ShareBy in 16-bit
  // lanes: |e| <= 128 and every lower tap's multiplier is below 32768
  // (w / D <= 5 / 16), so the product's high half is the quotient.
  void Shares(const Chain& c, int32_t from, int32_t to) const {
    for (int32_t slot = 0; slot < m_weights; ++slot) {
      int8_t* share = c.shares + static_cast<size_t>(slot) * static_cast<size_t>(m_width);
      const int16_t multiplier = static_cast<int16_t>(m_multiplierOf[slot]);
      for (int32_t x = from; x < to; ++x) {
        const int16_t e = c.errors[x];
        const int16_t magnitude = static_cast<int16_t>(e < 0 ? -e : e);
        const int16_t q = static_cast<int16_t>((int32_t{magnitude} * int32_t{multiplier}) >> 16);
        share[x] = static_cast<int8_t>(e < 0 ? -q : q);
      }
    }
  }

  // Adds the shares of the taps with row offset dy, in their order, to the
  // targets from .. to - 1 of `target`; target x takes the share of source
  // x - dx, where that source exists.
  void Feed(const Chain& c, int32_t dy, uint8_t* target, int32_t from, int32_t to) const {
    for (int32_t t = 0; t < m_lowerCount; ++t) {
      const LowerTap& tap = m_lower[t];
      if (tap.dy != dy) continue;
      const int8_t* share =
          c.shares + static_cast<size_t>(tap.slot) * static_cast<size_t>(m_width) - tap.dx;
      const int32_t first = std::max(from, tap.dx > 0 ? tap.dx : 0);
      const int32_t end = std::min(to, tap.dx < 0 ? m_width + tap.dx : m_width);
      for (int32_t x = first; x < end; ++x) {
        const int32_t n = target[x] + share[x];
        target[x] = static_cast<uint8_t>(n < 0 ? 0 : (n > 255 ? 255 : n));
      }
    }
  }

  // Every tap of the row whose errors are given, to the rows below it.
  void FeedBelow(const Chain& c, uint8_t* row, size_t stride, int32_t y, int32_t height,
                 int32_t fromDy) const {
    for (int32_t dy = fromDy; dy <= 3 && y + dy < height; ++dy)
      Feed(c, dy, row + static_cast<size_t>(dy) * stride, 0, m_width);
  }

  template <bool kShare1, bool kShare2>
  int32_t Rows(uint8_t* pixels, size_t stride, int32_t y, int32_t height, uint8_t* out0,
               uint8_t* out1) {
    const int32_t w = m_width;
    uint8_t* row0 = pixels + static_cast<size_t>(y) * stride;
    const size_t span = m_span;
    int8_t* base = reinterpret_cast<int8_t*>(m_buffer);
    Chain first{row0, m_buffer, base + 2 * static_cast<size_t>(w), out0};
    if (y + 1 >= height) {
      for (int32_t x = 0; x < w; ++x) Step<kShare1, kShare2>(first, x);
      Finish(first);
      return 1;
    }
    uint8_t* row1 = row0 + stride;
    Chain second{row1, reinterpret_cast<int16_t*>(base + span),
                 base + span + 2 * static_cast<size_t>(w), out1};
    const int32_t pieces = (w + kPiece - 1) / kPiece;
    // The second row's pieces end kTrail pixels before the first row's, so
    // that their targets have all their sources above by then.
    auto secondEnd = [w](int32_t q) { return q < 0 ? 0 : std::min(w, (q + 1) * kPiece - kTrail); };
    for (int32_t p = 0; secondEnd(p - 2) < w; ++p) {
      // Piece p of the first row beside the second row's piece p - 1.
      int32_t a = p < pieces ? p * kPiece : w, aEnd = std::min(w, a + kPiece);
      int32_t b = secondEnd(p - 2), bEnd = secondEnd(p - 1);
      // Whole bytes of both rows (pieces start on a byte), then the rest.
      for (; a + 8 <= aEnd && b + 8 <= bEnd; a += 8, b += 8) {
        for (int32_t i = 0; i < 8; ++i) {
          Step<kShare1, kShare2, false>(first, a + i);
          Step<kShare1, kShare2, false>(second, b + i);
        }
        first.out[a >> 3] = static_cast<uint8_t>(first.bits);
        second.out[b >> 3] = static_cast<uint8_t>(second.bits);
      }
      for (; a < aEnd && b < bEnd; ++a, ++b) {
        Step<kShare1, kShare2>(first, a);
        Step<kShare1, kShare2>(second, b);
      }
      for (; a < aEnd; ++a) Step<kShare1, kShare2>(first, a);
      for (; b < bEnd; ++b) Step<kShare1, kShare2>(second, b);
      // The first row is done up to the end of piece p: its shares reach
      // the second row's piece p, whose targets need sources up to three
      // pixels past their own end.
      if (p < pieces) Shares(first, p * kPiece, std::min(w, (p + 1) * kPiece));
      if (secondEnd(p - 1) < w) Feed(first, 1, row1, secondEnd(p - 1), secondEnd(p));
    }
    Finish(first);
    Finish(second);
    // A target below receives the first row's shares before the second's.
    FeedBelow(first, row0, stride, y, height, 2);
    Shares(second, 0, w);
    FeedBelow(second, row1, stride, y + 1, height, 1);
    return 2;
  }

  int32_t m_width;
  bool m_hasShare1 = false;
  bool m_hasShare2 = false;
  int32_t m_weights = 0;
  int32_t m_weightOf[kMaxTaps] = {};
  uint32_t m_multiplierOf[kMaxTaps] = {};
  int32_t m_lowerCount = 0;
  LowerTap m_lower[kMaxTaps] = {};
  int16_t m_error[kChainSize];
  int16_t m_share1[kChainSize];
  int16_t m_share2[kChainSize];
  uint8_t m_clamp[kChainSize];  // n clamped to 0..255
  size_t m_span = 0;  // bytes of one row's errors and shares
  int16_t* m_buffer = nullptr;
};

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
    // A gray page (the usual case) maps every byte to itself.
    bool identity = true;
    for (uint32_t i = 0; i < 256 && identity; ++i) identity = grayOfEntry[i] == i;
    if (!identity) {
      uint8_t* bits = GetBits(0);
      for (uint32_t i = 0; i < m_header.biSizeImage; ++i) bits[i] = grayOfEntry[bits[i]];
    }
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

  const uint32_t width = GetWidth();
  const uint32_t height = GetHeight();
  // A fresh image, not CopyInfo: the result carries the defaults of a new
  // image (96 dpi, type 0) and no alpha plane.
  CRasterImage bw(GetWidth(), GetHeight(), 1, 0);
  if (!bw.IsValid()) {
    CopyLastError(bw);
    return false;
  }
  uint8_t pattern[kPatternSize];
  std::memset(pattern, level, sizeof(pattern));
  for (uint32_t y = 0; y < height; ++y) {
    m_info.progress = static_cast<int32_t>(100LL * y / height);
    if (m_info.escape) break;
    PackAbove(GetBits(y), width, pattern, bw.GetBits(y));
  }
  bw.SetPaletteColor(0, 0, 0, 0, 0);
  bw.SetPaletteColor(1, 255, 255, 255, 0);
  return Transfer(bw);
}

bool CRasterImage::Dither(int32_t method) {
  if (!m_dib) return false;
  if (GetBpp() == 1) return true;
  if (!GrayScale()) return false;

  const uint32_t width = GetWidth();
  const uint32_t height = GetHeight();
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
  if (chosen.kernel == nullptr) {
    uint8_t pattern[kPatternSize];
    for (uint32_t y = 0; y < height; ++y) {
      m_info.progress = static_cast<int32_t>(100LL * y / height);
      if (m_info.escape) break;
      OrderedPattern(chosen.ordered, y, pattern);
      PackAbove(GetBits(y), width, pattern, bw.GetBits(y));
    }
  } else {
    // This image is the working image: diffusion writes its errors into
    // it, and the Transfer below discards it.
    Diffuser diffuser(*chosen.kernel, width);
    if (!diffuser.Allocate()) {
      SetLastError("CRasterImage::Dither can't allocate memory");
      return false;
    }
    const int32_t rows = static_cast<int32_t>(height);
    for (int32_t y = 0; y < rows;) {
      m_info.progress = static_cast<int32_t>(100LL * y / rows);
      if (m_info.escape) break;
      const uint32_t next = static_cast<uint32_t>(y + 1 < rows ? y + 1 : y);
      y += diffuser.Rows(m_info.pixels, m_info.effWidth, y, rows,
                         bw.GetBits(static_cast<uint32_t>(y)), bw.GetBits(next));
    }
  }
  bw.SetPaletteColor(0, 0, 0, 0, 0);
  bw.SetPaletteColor(1, 255, 255, 255, 0);
  return Transfer(bw);
}
