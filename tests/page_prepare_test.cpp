// Page preparation for the one-bit head: tone, trimming, turning, shifting
// and pad bits, and the colour spaces CUPS sends.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "render/PageHeaderCheck.h"
#include "render/BaseRender.h"
#include "support/CaptureDriver.h"
#include "support/FilterRunner.h"
#include "support/PpdWriter.h"
#include "support/RasterWriter.h"

namespace {

using PixelFn = std::function<uint8_t(int x, int y)>;

// A render with an 8-bit page drawn by `f`; threshold at 175 unless changed.
struct Page {
  Page(int w, int h, PixelFn f, int dpi = 203) {
    std::vector<uint8_t> data(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) data[static_cast<size_t>(y) * w + x] = f(x, y);
    r.m_image.CreateFromArray(data.data(), static_cast<uint32_t>(w), static_cast<uint32_t>(h), 8,
                              static_cast<uint32_t>(w), false);
    r.m_resolution = dpi;
    r.m_halftone.iGrayMethod = 0;
  }
  bool Ink(int x, int y) const { return r.m_image.GetPixelIndex(x, y) == 0; }
  int W() const { return static_cast<int>(r.m_image.GetWidth()); }
  int H() const { return static_cast<int>(r.m_image.GetHeight()); }
  CaptureDriver<CBaseRender> r;
};

// Ink in the rectangle [x0, x1) x [y0, y1), white elsewhere.
PixelFn Box(int x0, int y0, int x1, int y1) {
  return [=](int x, int y) { return (x >= x0 && x < x1 && y >= y0 && y < y1) ? 0 : 255; };
}

struct CropCase {
  const char* name;
  int top, bottom, left, right;  // millimetres
  int width, height;             // expected result
};

class CropEdges : public ::testing::TestWithParam<CropCase> {};

// A 100 x 100 page at 203 dpi with ink in columns 20..79 and rows 40..59:
// 20 white columns left and right, 40 white rows above and below.
TEST_P(CropEdges, TrimUpToTheLimit) {
  const CropCase& c = GetParam();
  Page p(100, 100, Box(20, 40, 80, 60));
  p.r.m_halftone.iCropTopEdge = c.top;
  p.r.m_halftone.iCropBottomEdge = c.bottom;
  p.r.m_halftone.iCropLeftEdge = c.left;
  p.r.m_halftone.iCropRightEdge = c.right;
  p.r.AdjustImage();
  EXPECT_EQ(p.W(), c.width);
  EXPECT_EQ(p.H(), c.height);
  ASSERT_EQ(p.r.m_image.GetBpp(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Prepare, CropEdges,
    ::testing::Values(CropCase{"None", 0, 0, 0, 0, 100, 100},
                      CropCase{"TopTwoMillimetres", 2, 0, 0, 0, 100, 84},
                      CropCase{"BottomTwoMillimetres", 0, 2, 0, 0, 100, 84},
                      CropCase{"LeftOneMillimetre", 0, 0, 1, 0, 92, 100},
                      CropCase{"RightOneMillimetreCutsOneMore", 0, 0, 0, 1, 91, 100},
                      CropCase{"AllWhiteMargins", -1, -1, -1, -1, 60, 20},
                      CropCase{"LargeLimitStopsAtInk", 50, 0, 50, 0, 80, 60}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Prepare, CropKeepsTheInkWhereItWas) {
  Page p(100, 100, Box(20, 40, 80, 60));
  p.r.m_halftone.iCropTopEdge = p.r.m_halftone.iCropLeftEdge = -1;
  p.r.AdjustImage();
  EXPECT_TRUE(p.Ink(0, 0));
  EXPECT_TRUE(p.Ink(59, 19));
  EXPECT_FALSE(p.Ink(60, 20));
}

TEST(Prepare, WhitePageKeepsItsSize) {
  Page p(100, 50, [](int, int) { return 255; });
  p.r.m_halftone.iCropTopEdge = p.r.m_halftone.iCropBottomEdge = -1;
  p.r.m_halftone.iCropLeftEdge = p.r.m_halftone.iCropRightEdge = 3;
  p.r.AdjustImage();
  EXPECT_EQ(p.W(), 100);
  EXPECT_EQ(p.H(), 50);
}

TEST(Prepare, ThresholdAt175) {
  Page p(4, 1, [](int x, int) { return static_cast<uint8_t>(174 + x); });
  p.r.AdjustImage();
  EXPECT_TRUE(p.Ink(0, 0));
  EXPECT_TRUE(p.Ink(1, 0));  // equal to the level is ink
  EXPECT_FALSE(p.Ink(2, 0));
  EXPECT_FALSE(p.Ink(3, 0));
}

TEST(Prepare, ThresholdUsesTheLowByte) {
  Page p(2, 1, [](int x, int) { return static_cast<uint8_t>(x); });
  p.r.m_halftone.iThreValue = 256;  // low byte 0: only value 0 is ink
  p.r.AdjustImage();
  EXPECT_TRUE(p.Ink(0, 0));
  EXPECT_FALSE(p.Ink(1, 0));
}

// What the preparation gives must equal the image operations called by hand.
void ExpectSameBits(const CRasterImage& a, const CRasterImage& b) {
  ASSERT_EQ(a.GetWidth(), b.GetWidth());
  ASSERT_EQ(a.GetHeight(), b.GetHeight());
  for (int y = 0; y < static_cast<int>(a.GetHeight()); ++y)
    for (int x = 0; x < static_cast<int>(a.GetWidth()); ++x)
      ASSERT_EQ(a.GetPixelIndex(x, y), b.GetPixelIndex(x, y)) << x << "," << y;
}

PixelFn Ramp() {
  return [](int x, int y) { return static_cast<uint8_t>((x * 7 + y * 3) % 256); };
}

TEST(Prepare, DefaultSettingsUseMethodTwo) {
  Page p(40, 30, Ramp());
  p.r.m_halftone.iGrayMethod = 3;
  CRasterImage expected(p.r.m_image);
  p.r.AdjustImage();
  expected.Dither(2);
  ExpectSameBits(p.r.m_image, expected);
}

TEST(Prepare, ContrastAloneAppliesLight) {
  Page p(40, 30, Ramp());
  p.r.m_halftone.iDuibidu = 20;
  CRasterImage expected(p.r.m_image);
  p.r.AdjustImage();
  expected.Light(0, 20);
  expected.Threshold(175);
  ExpectSameBits(p.r.m_image, expected);
}

struct TurnCase {
  int rotate;
  int width, height;
  int inkX, inkY;  // where the source's ink pixel (0, 0) lands
};

TEST(Prepare, EveryTurnValue) {
  // A 6 x 4 page with one ink pixel at (0, 0).
  const TurnCase cases[] = {{0, 6, 4, 0, 0}, {1, 6, 4, 5, 3}, {2, 4, 6, 0, 5},
                            {3, 4, 6, 3, 0}, {4, 6, 4, 0, 0}, {-1, 6, 4, 0, 0}};
  for (const TurnCase& c : cases) {
    Page p(6, 4, Box(0, 0, 1, 1));
    p.r.m_reg.iRotate = c.rotate;
    p.r.AdjustImage();
    EXPECT_EQ(p.W(), c.width) << c.rotate;
    EXPECT_EQ(p.H(), c.height) << c.rotate;
    int inks = 0;
    for (int y = 0; y < p.H(); ++y)
      for (int x = 0; x < p.W(); ++x) inks += p.Ink(x, y);
    EXPECT_EQ(inks, 1) << c.rotate;
    EXPECT_TRUE(p.Ink(c.inkX, c.inkY)) << c.rotate;
  }
}

struct ShiftCase {
  int refX, refY;  // iReference values
  int inkX, inkY;  // where the ink pixel at (30, 30) lands
};

TEST(Prepare, ShiftInBothDirections) {
  // At 254 dpi an iReference of 1 is 10 dots.
  const ShiftCase cases[] = {{1, 0, 20, 30}, {-1, 0, 40, 30}, {0, 1, 30, 40}, {0, -1, 30, 20},
                             {2, -2, 10, 10}};
  for (const ShiftCase& c : cases) {
    Page p(64, 64, Box(30, 30, 31, 31), 254);
    p.r.m_reg.iReference[0] = c.refX;
    p.r.m_reg.iReference[1] = c.refY;
    p.r.AdjustImage();
    EXPECT_TRUE(p.Ink(c.inkX, c.inkY)) << c.refX << "," << c.refY;
    EXPECT_FALSE(p.Ink(30, 30)) << c.refX << "," << c.refY;
  }
}

TEST(Prepare, ShiftLeavesWhiteWhereNothingCameIn) {
  Page p(64, 8, [](int, int) { return 0; }, 254);  // all ink
  p.r.m_reg.iReference[0] = 1;                     // 10 dots
  p.r.AdjustImage();
  EXPECT_TRUE(p.Ink(53, 3));
  EXPECT_FALSE(p.Ink(54, 3));
  EXPECT_FALSE(p.Ink(63, 3));
}

TEST(Prepare, PadBitsOfA203PixelRowAreWhite) {
  Page p(203, 3, [](int, int) { return 0; });
  p.r.AdjustImage();
  ASSERT_EQ(p.r.m_image.GetEffWidth(), 28u);
  for (uint32_t y = 0; y < 3; ++y) {
    const uint8_t* row = p.r.m_image.GetBits(y);
    EXPECT_EQ(row[24], 0x00);
    EXPECT_EQ(row[25], 0x1F);
    EXPECT_EQ(row[26], 0xFF);
    EXPECT_EQ(row[27], 0xFF);
  }
}

TEST(Prepare, NegativeInvertsPadBytesToo) {
  Page p(8, 1, [](int, int) { return 255; });
  p.r.AdjustImage();
  p.r.Negative();
  const uint8_t* row = p.r.m_image.GetBits(0);
  EXPECT_EQ(row[0], 0x00);
  EXPECT_EQ(row[3], 0x00);
}

// --- Colour spaces -------------------------------------------------------

TEST(ColorSpaces, RedAndBlueGetTheirOwnWeights) {
  cups_page_header2_t h = MakeHeader(2, 1, 24, CUPS_CSPACE_SRGB);
  std::vector<uint8_t> data = {255, 0, 0, 0, 0, 255};  // red, blue as CUPS sends them
  tavel::ConvertRasterColors(h, tavel::ColorHandlingFor(h), data.data(), data.size());
  CRasterImage img;
  ASSERT_TRUE(img.CreateFromArray(data.data(), 2, 1, 24, 6, false));
  ASSERT_TRUE(img.GrayScale());
  EXPECT_EQ(img.GetPixelIndex(0, 0), 76);
  EXPECT_EQ(img.GetPixelIndex(1, 0), 29);
}

TEST(ColorSpaces, HandlingPerSpace) {
  struct C {
    cups_cspace_t space;
    unsigned bpp;
    tavel::ColorHandling handling;
  };
  const C cases[] = {
      {CUPS_CSPACE_W, 8, tavel::ColorHandling::kGray},
      {CUPS_CSPACE_SW, 1, tavel::ColorHandling::kGray},
      {CUPS_CSPACE_K, 1, tavel::ColorHandling::kInvert},
      {CUPS_CSPACE_K, 8, tavel::ColorHandling::kInvert},
      {CUPS_CSPACE_RGB, 24, tavel::ColorHandling::kSwapRgb},
      {CUPS_CSPACE_ADOBERGB, 24, tavel::ColorHandling::kSwapRgb},
      {CUPS_CSPACE_RGBA, 32, tavel::ColorHandling::kSwapRgb},
      {CUPS_CSPACE_CMYK, 32, tavel::ColorHandling::kUnsupported},
      {CUPS_CSPACE_CIELab, 24, tavel::ColorHandling::kUnsupported},
      {CUPS_CSPACE_SW, 24, tavel::ColorHandling::kUnsupported},
  };
  for (const C& c : cases)
    EXPECT_EQ(tavel::ColorHandlingFor(MakeHeader(8, 1, c.bpp, c.space)), c.handling)
        << c.space << " at " << c.bpp;
}

// The bitmap of the first TSPL label in a stream, as raw bytes.
std::vector<uint8_t> LabelBits(const std::vector<uint8_t>& out) {
  std::string s(out.begin(), out.end());
  size_t at = s.find("BITMAP 0,0,");
  if (at == std::string::npos) return {};
  unsigned rowBytes, rows, mode;
  int used = 0;
  if (std::sscanf(s.c_str() + at, "BITMAP 0,0,%u,%u,%u,%n", &rowBytes, &rows, &mode, &used) != 3)
    return {};
  size_t from = at + static_cast<size_t>(used);
  return std::vector<uint8_t>(out.begin() + static_cast<long>(from),
                              out.begin() + static_cast<long>(from + size_t{rowBytes} * rows));
}

// The same picture sent as gray, as black ink and as sRGB prints the same
// label.
TEST(ColorSpaces, GrayInkAndRgbPrintAlike) {
  const int w = 48, h = 24;
  auto level = [](int x, int y) { return static_cast<uint8_t>((x * 11 + y * 5) % 256); };
  RasterPage gray = UniformPage(MakeHeader(w, h, 8, CUPS_CSPACE_SW), 0);
  RasterPage ink = UniformPage(MakeHeader(w, h, 8, CUPS_CSPACE_K), 0);
  RasterPage rgb = UniformPage(MakeHeader(w, h, 24, CUPS_CSPACE_SRGB), 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t v = level(x, y);
      gray.data[static_cast<size_t>(y * w + x)] = v;
      ink.data[static_cast<size_t>(y * w + x)] = static_cast<uint8_t>(255 - v);
      for (int c = 0; c < 3; ++c) rgb.data[static_cast<size_t>((y * w + x) * 3 + c)] = v;
    }
  std::string ppd = WriteTempFile("p.ppd", PpdText(20));
  std::vector<std::vector<uint8_t>> labels;
  for (const RasterPage* page : {&gray, &ink, &rgb}) {
    FilterJob job;
    job.ppdPath = ppd;
    job.input = WriteRaster({*page});
    FilterResult r = RunFilter(job);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    labels.push_back(LabelBits(r.out));
    ASSERT_EQ(labels.back().size(), 8u * h);  // rows padded to four bytes
  }
  EXPECT_EQ(labels[0], labels[1]);
  EXPECT_EQ(labels[0], labels[2]);
}

}  // namespace
