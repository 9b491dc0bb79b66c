// Geometry and compositing of CRasterImage: quarter turns that keep every
// source pixel, the general rotation, mirror, crop clamping, nearest-pixel
// scaling and Mix at offsets and with alpha.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <map>

#include "image/RasterImage.h"
#include "support/ReferenceImage.h"

namespace {

using PixelFn = std::function<int(int, int)>;

void MakeIndexed(CRasterImage& img, int w, int h, int bpp, const PixelFn& index) {
  ASSERT_NE(img.Create(w, h, bpp), nullptr);
  img.SetGrayPalette();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.SetPixelIndex(x, y, static_cast<uint8_t>(index(x, y)));
}

int Bit(int x, int y) { return ((x * 7 + y * 3) ^ (x * y)) >> 1 & 1; }

// 24-bit image with an alpha plane, pixel (x, y) = (x, y, 50 + x, alpha).
void MakeRgba(CRasterImage& img, int w, int h, const PixelFn& alpha) {
  std::vector<uint8_t> raw;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      raw.insert(raw.end(), {uint8_t(x), uint8_t(y), uint8_t(50 + x), uint8_t(alpha(x, y))});
  ASSERT_TRUE(img.CreateFromArray(raw.data(), w, h, 32, 4 * w, false));
}

// Every pixel of `result` equals `source` at map(x, y), by index and alpha.
void ExpectMapped(const CRasterImage& source, const CRasterImage& result,
                  const std::function<std::pair<int, int>(int, int)>& map) {
  for (int y = 0; y < static_cast<int>(result.GetHeight()); ++y)
    for (int x = 0; x < static_cast<int>(result.GetWidth()); ++x) {
      auto [sx, sy] = map(x, y);
      ASSERT_TRUE(source.IsInside(sx, sy)) << "maps outside at " << x << "," << y;
      if (source.GetBpp() <= 8)
        ASSERT_EQ(result.GetPixelIndex(x, y), source.GetPixelIndex(sx, sy)) << x << "," << y;
      else {
        const tagRGBQUAD got = result.GetPixelColor(x, y), want = source.GetPixelColor(sx, sy);
        ASSERT_EQ(std::memcmp(&got, &want, 4), 0) << x << "," << y;  // alpha included
      }
    }
}

// --- Turning --------------------------------------------------------------

struct TurnCase {
  float angle;
  bool ninety;  // 90 (else 270) modulo 360
};

class QuarterTurn : public ::testing::TestWithParam<TurnCase> {};

TEST_P(QuarterTurn, EverySourcePixelLandsExactlyOnce) {
  const int w = 13, h = 5;
  for (int bpp : {1, 8}) {
    CRasterImage src;
    MakeIndexed(src, w, h, bpp, [&](int x, int y) { return bpp == 1 ? Bit(x, y) : x + w * y; });
    src.SetXDPI(203);
    CRasterImage img(src);
    ASSERT_TRUE(img.Rotate(GetParam().angle));
    ASSERT_EQ(img.GetWidth(), uint32_t(h));
    ASSERT_EQ(img.GetHeight(), uint32_t(w));
    EXPECT_EQ(img.GetBpp(), bpp);
    EXPECT_EQ(img.GetXDPI(), 203);
    const bool ninety = GetParam().ninety;
    ExpectMapped(src, img, [&](int nx, int ny) {
      return ninety ? std::make_pair(w - 1 - ny, nx) : std::make_pair(ny, h - 1 - nx);
    });
    if (bpp == 8) {
      std::map<int, int> seen;
      for (int y = 0; y < w; ++y)
        for (int x = 0; x < h; ++x) ++seen[img.GetPixelIndex(x, y)];
      EXPECT_EQ(seen.size(), size_t(w * h));
    }
  }
  CRasterImage rgba, turned;
  MakeRgba(rgba, 3, 2, [](int x, int y) { return 10 * x + y + 1; });
  ASSERT_TRUE(rgba.Rotate(GetParam().angle, &turned));
  EXPECT_EQ(rgba.GetWidth(), 3u);  // the source stays as it was
  ASSERT_TRUE(turned.AlphaIsValid());
  ExpectMapped(rgba, turned, [&](int nx, int ny) {
    return GetParam().ninety ? std::make_pair(2 - ny, nx) : std::make_pair(ny, 1 - nx);
  });
}

INSTANTIATE_TEST_SUITE_P(Angles, QuarterTurn,
                         ::testing::Values(TurnCase{90.0f, true}, TurnCase{270.0f, false},
                                           TurnCase{-90.0f, false}, TurnCase{450.0f, true}));

TEST(Rotate, HalfTurnsSwapBothAxes) {
  for (float angle : {180.0f, -180.0f, 540.0f}) {
    CRasterImage src;
    MakeIndexed(src, 10, 3, 1, Bit);
    CRasterImage img(src);
    ASSERT_TRUE(img.Rotate(angle));
    ASSERT_EQ(img.GetWidth(), 10u);
    ExpectMapped(src, img, [](int x, int y) { return std::make_pair(9 - x, 2 - y); });
  }
  CRasterImage rgba, turned;
  MakeRgba(rgba, 3, 2, [](int x, int y) { return 10 * x + y + 1; });
  ASSERT_TRUE(rgba.Rotate180(&turned));
  ExpectMapped(rgba, turned, [](int x, int y) { return std::make_pair(2 - x, 1 - y); });
}

TEST(Rotate, WholeTurnsTakeTheGeneralPathUnchanged) {
  for (float angle : {0.0f, 360.0f}) {
    CRasterImage src;
    MakeIndexed(src, 13, 5, 8, [](int x, int y) { return x + 13 * y; });
    CRasterImage img(src);
    ASSERT_TRUE(img.Rotate(angle));
    ASSERT_EQ(img.GetWidth(), 13u);
    ASSERT_EQ(img.GetHeight(), 5u);
    ExpectMapped(src, img, [](int x, int y) { return std::make_pair(x, y); });
  }
}

TEST(Rotate, OtherAnglesRotateTheBoundingBox) {
  CRasterImage img;
  MakeIndexed(img, 10, 10, 8, [](int x, int y) { return x + 10 * y; });
  ASSERT_TRUE(img.Rotate(45.0f));
  EXPECT_EQ(img.GetWidth(), 14u);
  EXPECT_EQ(img.GetHeight(), 14u);
  EXPECT_EQ(img.GetPixelIndex(7, 7), 55);  // source (5, 5)
}

TEST(Rotate, FailureLeavesTheImageAlone) {
  CRasterImage wide(30000, 1, 24);  // turned by 45 degrees it would exceed the size limit
  ASSERT_TRUE(wide.IsValid());
  EXPECT_FALSE(wide.Rotate(45.0f));
  EXPECT_EQ(wide.GetWidth(), 30000u);
  EXPECT_STREQ(wide.GetLastError(), "RASTERIMAGE_MAX_MEMORY exceeded");

  CRasterImage empty;
  EXPECT_FALSE(empty.Rotate(90.0f));
  EXPECT_FALSE(empty.Rotate(33.0f));
  EXPECT_FALSE(empty.Rotate180());
  EXPECT_FALSE(empty.Mirror());
  EXPECT_FALSE(empty.Crop(0, 0, 1, 1));
}

// Turns, mirror, crop, the ink scan and the shift against their
// pixel-by-pixel forms, bit for bit, padding included, on one-bit pages of
// many widths and heights (and a few other depths for the turns and mirror,
// which share their code with them), with an alpha plane on some.
TEST(GeometryExactness, FastFormsMatchThePixelByPixelOnes) {
  struct Page {
    uint32_t width, height, bpp;
  };
  std::vector<Page> pages;
  for (uint32_t w = 1; w <= 70; ++w) pages.push_back({w, 1 + (w * 7) % 19, 1});
  for (uint32_t w : {383u, 384u, 385u, 833u, 1217u}) pages.push_back({w, 11 + w % 7, 1});
  for (uint32_t bpp : {4u, 8u, 24u, 32u}) pages.push_back({13, 9, bpp});

  const std::pair<int, int> shifts[] = {
      {0, 0}, {1, 0},  {-1, 0},   {7, -3},      {-9, 2},           {8, 1}, {-16, -1}, {29, 0},
      {0, 5}, {70, 0}, {-3, -40}, {INT_MAX, 0}, {INT_MIN, INT_MIN}};
  for (size_t i = 0; i < pages.size(); ++i) {
    const Page& p = pages[i];
    for (int pattern = 0; pattern < 3; ++pattern) {
      CRasterImage page =
          ref::MakePage(p.width, p.height, p.bpp, pattern, static_cast<uint32_t>(i));
      if (p.bpp == 1 && pattern == 1) page.AlphaCreate();  // a page dithered from 32 bits
      const std::string where = "page " + std::to_string(p.width) + "x" + std::to_string(p.height) +
                                " at " + std::to_string(p.bpp) + " bits, pattern " +
                                std::to_string(pattern) + ": ";
      auto check = [&](const char* what, const std::function<bool(CRasterImage&)>& fast,
                       const std::function<bool(CRasterImage&)>& slow) {
        CRasterImage a(page), b(page);
        EXPECT_EQ(fast(a), slow(b)) << where << what;
        EXPECT_EQ(ref::Difference(a, b), "") << where << what;
      };
      check(
          "90", [](CRasterImage& img) { return img.Rotate(90.0f); },
          [](CRasterImage& img) { return ref::QuarterTurn(img, true); });
      check(
          "270", [](CRasterImage& img) { return img.Rotate(270.0f); },
          [](CRasterImage& img) { return ref::QuarterTurn(img, false); });
      check(
          "180", [](CRasterImage& img) { return img.Rotate(180.0f); }, ref::Rotate180);
      check(
          "mirror", [](CRasterImage& img) { return img.Mirror(false, true); }, ref::Mirror);
      const int32_t w = static_cast<int32_t>(p.width), h = static_cast<int32_t>(p.height);
      const tagRECT rects[] = {{0, 0, w, h},
                               {1, h - 1, w - 1, 1},
                               {w / 3, h, w - 2, h / 2},
                               {w / 2 + 3, h / 3, 7, h},
                               {-5, 99999, 9, 0}};
      for (const tagRECT& r : rects)
        check(
            "crop", [&](CRasterImage& img) { return img.Crop(r); },
            [&](CRasterImage& img) {
              return ref::Crop(img, r.left, r.top, r.right, r.bottom, nullptr);
            });
      if (p.bpp != 1) continue;
      for (const auto& [dx, dy] : shifts)
        check(
            "shift", [&](CRasterImage& img) { return img.ShiftOnWhite(dx, dy); },
            [&](CRasterImage& img) { return ref::ShiftOnWhite(img, dx, dy); });
      // The scan on the page, on a nearly white one and on a white one.
      for (int ink = 0; ink < 3; ++ink) {
        CRasterImage scanned(page);
        if (ink > 0)
          for (uint32_t y = 0; y < p.height; ++y)
            std::memset(scanned.GetBits(y), 0xFF, scanned.GetEffWidth());
        if (ink == 1) scanned.SetPixelIndex(w - 1 - w / 3, h / 2, 0);
        tagINKBOUNDS fast = {-7, -7, -7, -7}, slow = {-7, -7, -7, -7};
        EXPECT_EQ(scanned.FindInkBounds(fast), ref::InkBounds(scanned, slow)) << where << ink;
        EXPECT_EQ(std::memcmp(&fast, &slow, sizeof fast), 0)
            << where << "ink scan " << ink << ": " << fast.firstRow << " " << fast.lastRow << " "
            << fast.firstColumn << " " << fast.lastColumn << " against " << slow.firstRow << " "
            << slow.lastRow << " " << slow.firstColumn << " " << slow.lastColumn;
      }
    }
  }
}

// --- Mirror ---------------------------------------------------------------

TEST(Mirror, ReversesColumnsAtEveryDepth) {
  for (int bpp : {1, 4, 8}) {
    CRasterImage src;
    MakeIndexed(src, 10, 3, bpp, [&](int x, int y) { return bpp == 1 ? Bit(x, y) : x + y; });
    src.SetPaletteColor(1, 1, 2, 3);
    CRasterImage img(src);
    ASSERT_TRUE(img.Mirror(false, true));
    EXPECT_EQ(img.GetPaletteColor(1).rgbGreen, 2);
    ExpectMapped(src, img, [](int x, int y) { return std::make_pair(9 - x, y); });
  }
  CRasterImage rgba;
  MakeRgba(rgba, 3, 2, [](int x, int y) { return 10 * x + y + 1; });
  CRasterImage img(rgba);
  ASSERT_TRUE(img.Mirror(false, true));
  ExpectMapped(rgba, img, [](int x, int y) { return std::make_pair(2 - x, y); });
}

// --- Crop -----------------------------------------------------------------

struct CropCase {
  tagRECT rect;
  int startX, startY, width, height;
};

class Crop : public ::testing::TestWithParam<CropCase> {};

TEST_P(Crop, ClampsCountsRowsFromTheEndAndSwaps) {
  const CropCase& c = GetParam();
  for (int bpp : {1, 8}) {
    CRasterImage src;
    MakeIndexed(src, 100, 50, bpp,
                [&](int x, int y) { return bpp == 1 ? Bit(x, y) : (x * 7 + y * 13) & 255; });
    src.SetXDPI(300);
    CRasterImage part;
    ASSERT_TRUE(src.Crop(c.rect, &part));
    EXPECT_EQ(src.GetWidth(), 100u);  // cropping into a destination leaves the source
    ASSERT_EQ(part.GetWidth(), uint32_t(c.width));
    ASSERT_EQ(part.GetHeight(), uint32_t(c.height));
    EXPECT_EQ(part.GetXDPI(), 300);
    ExpectMapped(src, part, [&](int x, int y) { return std::make_pair(x + c.startX, y + c.startY); });
  }
}

INSTANTIATE_TEST_SUITE_P(Rects, Crop,
                         ::testing::Values(CropCase{{10, 50, 90, 5}, 10, 0, 80, 45},
                                           CropCase{{90, 5, 10, 50}, 10, 0, 80, 45},
                                           CropCase{{-5, 0, 1000, 50}, 0, 0, 100, 50},
                                           CropCase{{3, 40, 14, -7}, 3, 10, 11, 40},
                                           CropCase{{0, 0, 100, 50}, 0, 0, 100, 50}));

TEST(CropFailure, EmptyAreaChangesNothing) {
  CRasterImage img(100, 50, 8), dest(4, 4, 1);
  for (tagRECT r : {tagRECT{20, 0, 20, 50}, tagRECT{0, 7, 100, 7}, tagRECT{-9, 0, -1, 50}}) {
    EXPECT_FALSE(img.Crop(r, &dest));
    EXPECT_FALSE(img.Crop(r));
    EXPECT_EQ(img.GetWidth(), 100u);
    EXPECT_EQ(dest.GetWidth(), 4u);
  }
}

TEST(CropAlpha, AlphaPlaneIsCutWithThePixels) {
  CRasterImage rgba;
  MakeRgba(rgba, 6, 4, [](int x, int y) { return 10 * y + x; });
  CRasterImage img(rgba);
  ASSERT_TRUE(img.Crop(2, 3, 5, 1));  // columns 2..4, stored rows 1..2
  ASSERT_TRUE(img.AlphaIsValid());
  ExpectMapped(rgba, img, [](int x, int y) { return std::make_pair(x + 2, y + 1); });
}

// --- Resample -------------------------------------------------------------

TEST(Resample, NearestPixelBothWays) {
  struct {
    int w, h;
    std::function<std::pair<int, int>(int, int)> from;
  } cases[] = {{4, 3, [](int x, int y) { return std::make_pair(2 * x, 2 * y); }},
               {16, 12, [](int x, int y) { return std::make_pair(x / 2, y / 2); }}};
  for (const auto& c : cases) {
    CRasterImage src;
    MakeIndexed(src, 8, 6, 8, [](int x, int y) { return x + 8 * y; });
    CRasterImage img(src);
    ASSERT_TRUE(img.Resample(c.w, c.h, 1));
    ASSERT_EQ(img.GetWidth(), uint32_t(c.w));
    ExpectMapped(src, img, c.from);
  }
  CRasterImage rgba;
  MakeRgba(rgba, 6, 4, [](int x, int y) { return 10 * y + x; });
  CRasterImage img(rgba);
  ASSERT_TRUE(img.Resample(3, 2, 1));
  ExpectMapped(rgba, img, [](int x, int y) { return std::make_pair(2 * x, 2 * y); });
}

TEST(Resample, SameSizeZeroSizeAndOtherModes) {
  CRasterImage img;
  MakeIndexed(img, 8, 6, 1, Bit);
  const uint8_t* before = img.GetBits(0);
  CRasterImage copy;
  EXPECT_TRUE(img.Resample(8, 6, 1, &copy));
  EXPECT_EQ(img.GetBits(0), before);
  ExpectMapped(img, copy, [](int x, int y) { return std::make_pair(x, y); });
  EXPECT_FALSE(img.Resample(0, 6, 1));
  EXPECT_FALSE(img.Resample(4, 3, 2));
  EXPECT_EQ(img.GetBits(0), before);
  EXPECT_EQ(img.GetWidth(), 8u);
}

// --- Mix ------------------------------------------------------------------

class MixOffset : public ::testing::TestWithParam<std::pair<int, int>> {};

// The page shift: a copy of the page drawn with OpSourceOver onto a white
// page at an offset; pixels paired with no source pixel stay white.
TEST_P(MixOffset, PageShiftKeepsUnpairedPixelsWhite) {
  const auto [dx, dy] = GetParam();
  CRasterImage copy;
  MakeIndexed(copy, 12, 6, 1, Bit);
  CRasterImage page(copy);
  std::memset(page.GetBits(0), 0xFF, page.GetEffWidth() * page.GetHeight());
  page.Mix(copy, OpSourceOver, dx, dy, false);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 12; ++x) {
      const long long sx = 0LL + x + dx, sy = 0LL + y + dy;
      const bool paired = sx >= 0 && sx < 12 && sy >= 0 && sy < 6;
      EXPECT_EQ(page.GetPixelIndex(x, y), paired ? copy.GetPixelIndex(int(sx), int(sy)) : 1)
          << "offset " << dx << "," << dy << " at " << x << "," << y;
    }
}

INSTANTIATE_TEST_SUITE_P(Offsets, MixOffset,
                         ::testing::Values(std::make_pair(0, 0), std::make_pair(3, 0),
                                           std::make_pair(-3, 0), std::make_pair(0, -2),
                                           std::make_pair(2, 4), std::make_pair(12, 0),
                                           std::make_pair(0, -6), std::make_pair(INT_MAX, 0),
                                           std::make_pair(INT_MIN, INT_MIN)));

TEST(Mix, SourceAlphaDecidesTheCoverage) {
  struct {
    uint8_t alpha, expected;
  } cases[] = {{0, 10}, {255, 250}, {128, (10 * 127 + 250 * 128) / 255}};
  for (const auto& c : cases) {
    const uint8_t px[] = {250, 250, 250, c.alpha};
    CRasterImage src, gray, rgb;
    ASSERT_TRUE(src.CreateFromArray(px, 1, 1, 32, 4, false));
    MakeIndexed(gray, 1, 1, 8, [](int, int) { return 10; });
    const uint8_t dpx[] = {10, 10, 10};
    ASSERT_TRUE(rgb.CreateFromArray(dpx, 1, 1, 24, 3, false));
    gray.Mix(src, OpSourceOver, 0, 0, false);
    rgb.Mix(src, OpSourceOver, 0, 0, true);
    EXPECT_EQ(gray.GetPixelIndex(0, 0), c.expected) << "alpha " << int(c.alpha);
    EXPECT_EQ(rgb.GetPixelColor(0, 0).rgbRed, c.expected);
    EXPECT_TRUE(rgb.AlphaIsValid());  // mixing alpha gives the page a plane
  }
}

TEST(Mix, OtherOperationsPerChannel) {
  struct {
    ImageOpType op;
    uint8_t b, g, r;
  } cases[] = {{OpAdd, 255, 255, 80},    {OpSub, 0, 100, 20},  {OpAvg, 150, 150, 40},
               {OpAnd, 100 & 200, 200 & 100, 50 & 30},        {OpOr, 100 | 200, 200 | 100, 50 | 30},
               {OpXor, 100 ^ 200, 200 ^ 100, 50 ^ 30},        {OpDstCopy, 200, 100, 30},
               {OpSrcCopy, 100, 200, 50}, {ImageOpType(12), 100, 200, 50}};
  for (const auto& c : cases) {
    const uint8_t dpx[] = {100, 200, 50}, spx[] = {200, 100, 30};
    CRasterImage dst, src;
    ASSERT_TRUE(dst.CreateFromArray(dpx, 1, 1, 24, 3, false));
    ASSERT_TRUE(src.CreateFromArray(spx, 1, 1, 24, 3, false));
    dst.Mix(src, c.op, 0, 0, false);
    const tagRGBQUAD got = dst.GetPixelColor(0, 0);
    EXPECT_EQ(got.rgbBlue, c.b) << "op " << int(c.op);
    EXPECT_EQ(got.rgbGreen, c.g) << "op " << int(c.op);
    EXPECT_EQ(got.rgbRed, c.r) << "op " << int(c.op);
  }
}

}  // namespace
