// Tone conversion of CRasterImage: gray weights, brightness/contrast tables,
// threshold boundaries and the ten dithering methods, checked on small
// images whose results were worked out independently (by hand, or for the
// larger diffusion patterns by a separate model of the algorithm).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "image/RasterImage.h"
#include "support/ReferenceImage.h"

namespace {

using PixelFn = std::function<int(int, int)>;

void MakeGray8(CRasterImage& img, int w, int h, const PixelFn& value) {
  ASSERT_NE(img.Create(w, h, 8), nullptr);
  img.SetGrayPalette();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.SetPixelIndex(x, y, static_cast<uint8_t>(value(x, y)));
}

void MakeRow(CRasterImage& img, const std::vector<int>& values) {
  MakeGray8(img, static_cast<int>(values.size()), 1, [&](int x, int) { return values[x]; });
}

// One string of '0'/'1' (or index digits) per stored row.
std::vector<std::string> Rows(const CRasterImage& img) {
  std::vector<std::string> rows;
  for (uint32_t y = 0; y < img.GetHeight(); ++y) {
    std::string row;
    for (uint32_t x = 0; x < img.GetWidth(); ++x)
      row += static_cast<char>('0' + img.GetPixelIndex(static_cast<int>(x), static_cast<int>(y)));
    rows.push_back(row);
  }
  return rows;
}

void ExpectBlackWhitePalette(const CRasterImage& img) {
  ASSERT_EQ(img.GetBpp(), 1);
  const tagRGBQUAD black = img.GetPaletteColor(0), white = img.GetPaletteColor(1);
  EXPECT_EQ(black.rgbRed | black.rgbGreen | black.rgbBlue | black.rgbReserved, 0);
  EXPECT_EQ(white.rgbRed & white.rgbGreen & white.rgbBlue, 255);
  EXPECT_EQ(white.rgbReserved, 0);
}

// --- Dithering ------------------------------------------------------------

class DitherUniform : public ::testing::TestWithParam<int> {};

TEST_P(DitherUniform, BlackStaysBlackAndWhiteStaysWhite) {
  for (int level : {0, 255}) {
    CRasterImage img;
    MakeGray8(img, 13, 7, [&](int, int) { return level; });
    ASSERT_TRUE(img.Dither(GetParam()));
    ExpectBlackWhitePalette(img);
    const std::string expected(13, level ? '1' : '0');
    for (const std::string& row : Rows(img)) EXPECT_EQ(row, expected) << "level " << level;
  }
}

INSTANTIATE_TEST_SUITE_P(AllMethods, DitherUniform, ::testing::Range(-1, 11));

// A textured page, compared by an FNV-1a digest of its bits in row order,
// worked out by a separate model of the algorithm. Each digest changes if any
// single kernel weight is off by one, if a negative share is floored instead
// of truncated, or if rows alternate direction. Unknown method numbers are
// Floyd-Steinberg.
TEST(DiffusionDigest, TexturedPageMatchesWorkedDigest) {
  const std::pair<int, uint64_t> cases[] = {
      {0, 0x39e8bc6a2701a967}, {-1, 0x39e8bc6a2701a967}, {10, 0x39e8bc6a2701a967},
      {2, 0x23f05d882dbb7683}, {3, 0x56878bd7f8d7332b},
      {4, 0x9c81bec4f88b797b}, {5, 0x567f07c64970887d}, {6, 0x1d5f78639d7f92af}};
  for (const auto& [method, digest] : cases) {
    CRasterImage img;
    MakeGray8(img, 64, 48, [](int x, int y) { return (x * x * 3 + y * 29 + x * y * 5 + 7) % 256; });
    ASSERT_TRUE(img.Dither(method));
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const std::string& row : Rows(img))
      for (char bit : row) hash = (hash ^ static_cast<uint8_t>(bit)) * 0x100000001b3ull;
    EXPECT_EQ(hash, digest) << "method " << method;
  }
}

TEST(FloydSteinberg, SingleRowsWorkedByHand) {
  struct {
    std::vector<int> row;
    const char* bits;
  } cases[] = {
      {{128, 128, 128}, "010"},  // 128 is black, +56 -> 184 white, -31 -> 97 black
      {{129}, "1"},
      {{250, 131}, "11"},        // -5*7/16 truncates to -2: 129 is white
      {{128, 250, 128}, "010"},  // 250 + 56 clamps to 255 and carries nothing
      {{129, 40, 129}, "101"},   // 40 - 55 clamps to 0 and carries nothing
  };
  for (const auto& c : cases) {
    CRasterImage img;
    MakeRow(img, c.row);
    ASSERT_TRUE(img.Dither(0));
    EXPECT_EQ(Rows(img)[0], c.bits);
  }
}

// Ordered methods on uniform images: the white positions inside one tile of
// the matrix, listed as (x, y). The cases are chosen so that a transposed
// matrix gives a different answer.
struct OrderedCase {
  int method, value, tile;
  std::vector<std::pair<int, int>> white;
};

class OrderedDither : public ::testing::TestWithParam<OrderedCase> {};

TEST_P(OrderedDither, WhiteExactlyWhereTheMatrixAllows) {
  const OrderedCase& c = GetParam();
  const int w = 2 * c.tile + 3, h = 2 * c.tile + 1;  // tiles repeat, edges partial
  CRasterImage img;
  MakeGray8(img, w, h, [&](int, int) { return c.value; });
  ASSERT_TRUE(img.Dither(c.method));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      bool white = false;
      for (auto [wx, wy] : c.white) white |= (x % c.tile == wx && y % c.tile == wy);
      EXPECT_EQ(img.GetPixelIndex(x, y), white ? 1 : 0) << "at " << x << "," << y;
    }
}

std::vector<std::pair<int, int>> AllOf(int n) {
  std::vector<std::pair<int, int>> all;
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) all.emplace_back(x, y);
  return all;
}

std::vector<std::pair<int, int>> AllBut(int n, int x, int y) {
  std::vector<std::pair<int, int>> all = AllOf(n);
  all.erase(std::find(all.begin(), all.end(), std::make_pair(x, y)));
  return all;
}

std::vector<std::pair<int, int>> AllBut2(int n, int x1, int y1, int x2, int y2) {
  std::vector<std::pair<int, int>> all = AllBut(n, x1, y1);
  all.erase(std::find(all.begin(), all.end(), std::make_pair(x2, y2)));
  return all;
}

INSTANTIATE_TEST_SUITE_P(
    Matrices, OrderedDither,
    ::testing::Values(
        OrderedCase{1, 255, 4, AllOf(4)}, OrderedCase{1, 15, 4, {}},
        OrderedCase{1, 16, 4, {{0, 0}}},
        OrderedCase{1, 128, 4, {{0, 0}, {2, 0}, {1, 1}, {3, 1}, {0, 2}, {2, 2}, {1, 3}, {3, 3}}},
        OrderedCase{1,
                    160,
                    4,
                    {{0, 0}, {1, 0}, {2, 0}, {1, 1}, {3, 1}, {0, 2}, {2, 2}, {3, 2}, {1, 3}, {3, 3}}},
        OrderedCase{7, 0, 4, {}}, OrderedCase{7, 1, 4, {{0, 0}}},
        OrderedCase{7,
                    129,
                    4,
                    {{0, 0}, {2, 0}, {0, 1}, {1, 1}, {3, 1}, {0, 2}, {2, 2}, {1, 3}, {3, 3}}},
        OrderedCase{8, 3, 8, {}}, OrderedCase{8, 4, 8, {{0, 0}, {4, 4}}},
        OrderedCase{8, 8, 8, {{0, 0}, {4, 4}, {0, 4}}}, OrderedCase{9, 1, 16, {{8, 8}}},
        OrderedCase{9, 3, 16, {{0, 0}, {8, 8}, {0, 8}}},
        // The 16x16 matrix holds 255 at (6, 7); white paper must stay white there
        // too, while 254 leaves that dot and one other black.
        OrderedCase{9, 255, 16, AllOf(16)},
        OrderedCase{9, 254, 16, AllBut2(16, 6, 7, 14, 15)}));

// Every method and Threshold against the pixel-by-pixel form, bit for bit,
// on random and patterned pages of many widths (narrow, odd, around a
// printer head's width) and every depth the filter passes. Among the 8-bit
// pages is one with a reversed palette, whose bytes are not their gray.
TEST(ToneExactness, FastFormsMatchThePixelByPixelOnes) {
  struct Page {
    uint32_t width, height, bpp;
    int pattern;
    bool reversedPalette;
  };
  std::vector<Page> pages;
  for (uint32_t w = 1; w <= 70; ++w)
    pages.push_back({w, 1 + w % 5, 8, static_cast<int>(w % 3), false});
  for (uint32_t w : {383u, 384u, 385u, 576u, 833u, 1217u})
    for (int pattern = 0; pattern < 3; ++pattern) pages.push_back({w, 9, 8, pattern, false});
  for (uint32_t bpp : {1u, 4u, 24u, 32u}) pages.push_back({61, 7, bpp, 1, false});
  for (uint32_t bpp : {4u, 24u}) pages.push_back({403, 5, bpp, 0, false});
  pages.push_back({97, 6, 8, 1, true});

  for (size_t i = 0; i < pages.size(); ++i) {
    const Page& p = pages[i];
    CRasterImage page =
        ref::MakePage(p.width, p.height, p.bpp, p.pattern, static_cast<uint32_t>(i));
    if (p.reversedPalette)
      for (int c = 0; c < 256; ++c)
        page.SetPaletteColor(static_cast<uint8_t>(c), static_cast<uint8_t>(255 - c),
                             static_cast<uint8_t>(c / 2), 77);
    for (int method = -1; method <= 10; ++method) {
      CRasterImage fast(page), slow(page);
      EXPECT_EQ(fast.Dither(method), ref::Dither(slow, method));
      ASSERT_EQ(ref::Difference(fast, slow), "")
          << "method " << method << ", page " << p.width << "x" << p.height << " at " << p.bpp
          << " bits, pattern " << p.pattern;
    }
    for (int level : {0, 1, 127, 128, 129, 254, 255}) {
      CRasterImage fast(page), slow(page);
      EXPECT_EQ(fast.Threshold(static_cast<uint8_t>(level)),
                ref::Threshold(slow, static_cast<uint8_t>(level)));
      ASSERT_EQ(ref::Difference(fast, slow), "") << "threshold " << level << ", page " << p.width
                                                 << "x" << p.height << " at " << p.bpp << " bits";
    }
  }
}

// --- Threshold ------------------------------------------------------------

TEST(Threshold, ValueEqualToTheLevelIsBlack) {
  const std::vector<int> ramp = {0, 1, 127, 128, 129, 254, 255};
  struct {
    int level;
    const char* bits;
  } cases[] = {{0, "0111111"}, {127, "0001111"}, {128, "0000111"}, {254, "0000001"},
               {255, "0000000"}};
  for (const auto& c : cases) {
    CRasterImage img;
    MakeRow(img, ramp);
    ASSERT_TRUE(img.Threshold(static_cast<uint8_t>(c.level)));
    ExpectBlackWhitePalette(img);
    EXPECT_EQ(Rows(img)[0], c.bits) << "level " << c.level;
  }
}

// 32-bit raster input: 24-bit pixels plus an alpha plane, 300 dpi.
void MakeRgba(CRasterImage& img) {
  const uint8_t rgba[] = {0, 0, 255, 7, 255, 0, 0, 9};  // bytes b0 b1 b2 alpha
  ASSERT_TRUE(img.CreateFromArray(rgba, 2, 1, 32, 8, false));
  img.SetXDPI(300);
}

TEST(Threshold, GraysFirstAndGivesAFreshImage) {
  CRasterImage img;
  MakeRgba(img);  // grays 76 and 29
  ASSERT_TRUE(img.Threshold(75));
  EXPECT_EQ(Rows(img)[0], "10");
  EXPECT_EQ(img.GetXDPI(), 96);
  EXPECT_FALSE(img.AlphaIsValid());
}

TEST(Dither, KeepsResolutionAndAlpha) {
  CRasterImage img;
  MakeRgba(img);
  ASSERT_TRUE(img.Dither(2));
  EXPECT_EQ(img.GetXDPI(), 300);
  ASSERT_TRUE(img.AlphaIsValid());
  EXPECT_EQ(img.AlphaGet(0, 0), 7);
  EXPECT_EQ(img.AlphaGet(1, 0), 9);
}

TEST(ToneOnOneBit, ThresholdDitherAndLightLeaveTheImageAlone) {
  const uint8_t bits[] = {0xA5, 0x3C, 0, 0, 0x0F, 0xF0, 0, 0};
  CRasterImage img;
  ASSERT_TRUE(img.CreateFromArray(bits, 16, 2, 1, 4, false));
  img.SetXDPI(203);
  const std::vector<std::string> before = Rows(img);
  EXPECT_TRUE(img.Threshold(128));
  EXPECT_TRUE(img.Dither(0));
  EXPECT_TRUE(img.Light(100, 50));
  EXPECT_EQ(img.GetBpp(), 1);
  EXPECT_EQ(Rows(img), before);
  EXPECT_EQ(img.GetXDPI(), 203);
  ExpectBlackWhitePalette(img);
}

// --- GrayScale and Light --------------------------------------------------

TEST(GrayScale, ThirdByteCarriesTheRedWeight) {
  struct {
    uint8_t b0, b1, b2, gray;
  } cases[] = {{0, 0, 255, 76}, {255, 0, 0, 29}, {0, 255, 0, 149}, {255, 255, 255, 255},
               {90, 90, 90, 90}};
  for (const auto& c : cases) {
    const uint8_t px[] = {c.b0, c.b1, c.b2};
    CRasterImage img;
    ASSERT_TRUE(img.CreateFromArray(px, 1, 1, 24, 3, false));
    ASSERT_TRUE(img.GrayScale());
    EXPECT_EQ(img.GetBpp(), 8);
    EXPECT_TRUE(img.IsGrayScale());
    EXPECT_EQ(img.GetPixelIndex(0, 0), c.gray);
  }
}

TEST(GrayScale, PalettedPixelsBecomeTheirEntrysGray) {
  for (int bpp : {4, 8}) {
    CRasterImage img(3, 1, bpp);
    img.SetPaletteColor(0, 255, 0, 0);  // red -> 76
    img.SetPaletteColor(1, 0, 0, 255);  // blue -> 29
    img.SetPaletteColor(2, 9, 9, 9);
    for (int x = 0; x < 3; ++x) img.SetPixelIndex(x, 0, static_cast<uint8_t>(2 - x));
    ASSERT_TRUE(img.GrayScale());
    EXPECT_EQ(img.GetBpp(), 8);
    EXPECT_TRUE(img.IsGrayScale());
    EXPECT_EQ(img.GetPixelIndex(0, 0), 9);
    EXPECT_EQ(img.GetPixelIndex(1, 0), 29);
    EXPECT_EQ(img.GetPixelIndex(2, 0), 76);
  }
}

TEST(Light, TableValuesOnAnEightBitRamp) {
  struct {
    int brightness, contrast, in, out;
  } cases[] = {
      {20, 20, 100, 114},  {0, 0, 1, 1},       {0, 0, 200, 200},   {200, 0, 1, 201},
      {200, 0, 54, 254},   {200, 0, 55, 255},  {200, 0, 0, 0},     {-50, 0, 60, 10},
      {-50, 0, 50, 0},     {0, 100, 64, 0},    {0, 100, 65, 2},    {0, 100, 191, 254},
      {0, 100, 192, 255},  {0, -100, 10, 128}, {-100, -70, 43, 2},  // double would give 3
      {-100, -70, 83, 14}, {0, 50, 255, 255},  {0, -100, 0, 0},
  };
  for (const auto& c : cases) {
    CRasterImage img;
    MakeGray8(img, 256, 1, [](int x, int) { return x; });
    ASSERT_TRUE(img.Light(c.brightness, c.contrast));
    EXPECT_TRUE(img.IsGrayScale());
    EXPECT_EQ(img.GetPixelIndex(c.in, 0), c.out)
        << "Light(" << c.brightness << ", " << c.contrast << ") at " << c.in;
  }
}

TEST(Light, FourBitGrayKeepsDepthAndItsEndEntries) {
  CRasterImage img(4, 1, 4);
  img.SetGrayPalette();  // 0, 17, ..., 255
  ASSERT_TRUE(img.Light(20, 0));
  EXPECT_EQ(img.GetBpp(), 4);
  EXPECT_EQ(img.GetPaletteColor(0).rgbRed, 0);
  EXPECT_EQ(img.GetPaletteColor(1).rgbGreen, 37);
  EXPECT_EQ(img.GetPaletteColor(14).rgbBlue, 255);  // 238 + 20 clamps
  EXPECT_EQ(img.GetPaletteColor(15).rgbRed, 255);
}

TEST(ToneFailures, EmptyImageOrMissingTable) {
  CRasterImage empty;
  EXPECT_FALSE(empty.GrayScale());
  EXPECT_FALSE(empty.Light(0, 0));
  EXPECT_FALSE(empty.Threshold(128));
  EXPECT_FALSE(empty.Dither(0));
  CRasterImage img(2, 2, 8);
  EXPECT_FALSE(img.Lut(nullptr));
  EXPECT_EQ(img.GetBpp(), 8);
}

}  // namespace
