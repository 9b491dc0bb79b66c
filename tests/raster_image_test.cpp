// Container behaviour of CRasterImage: geometry of created images, loading
// raster lines, resolution, copying and the ownership rules of Transfer and
// ghosts (a wrong owner shows up as a double free when the images die).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "image/RasterImage.h"

namespace {

struct CreateCase {
  uint32_t width, requestedBpp, bpp, effWidth, colours;
};

class CreateGeometry : public ::testing::TestWithParam<CreateCase> {};

TEST_P(CreateGeometry, StrideDepthAndPalette) {
  const CreateCase& c = GetParam();
  CRasterImage img;
  ASSERT_NE(img.Create(c.width, 3, c.requestedBpp), nullptr);
  EXPECT_EQ(img.GetBpp(), c.bpp);
  EXPECT_EQ(img.GetEffWidth(), c.effWidth);
  EXPECT_EQ(img.GetNumColors(), c.colours);
  EXPECT_EQ(img.GetSize(), 40 + 3 * c.effWidth + 4 * c.colours);
  // Rows are contiguous after the palette and start zeroed.
  EXPECT_EQ(img.GetBits(1), img.GetBits(0) + c.effWidth);
  EXPECT_EQ(img.GetBits(3), nullptr);
  if (c.colours != 0)
    EXPECT_EQ(img.GetBits(0), reinterpret_cast<uint8_t*>(img.GetPalette()) + 4 * c.colours);
  else
    EXPECT_EQ(img.GetPalette(), nullptr);
  std::vector<uint8_t> zero(3 * c.effWidth, 0);
  EXPECT_EQ(std::memcmp(img.GetBits(0), zero.data(), zero.size()), 0);
}

INSTANTIATE_TEST_SUITE_P(Depths, CreateGeometry,
                         ::testing::Values(CreateCase{390, 1, 1, 52, 2}, CreateCase{384, 1, 1, 48, 2},
                                           CreateCase{576, 8, 8, 576, 256},
                                           CreateCase{100, 24, 24, 300, 0},
                                           CreateCase{5, 2, 4, 4, 16}, CreateCase{5, 5, 8, 8, 256},
                                           CreateCase{7, 16, 24, 24, 0},
                                           CreateCase{7, 32, 24, 24, 0}, CreateCase{1, 0, 1, 4, 2}));

TEST(RasterImageCreate, FailuresEmptyTheImageWithTheirText) {
  struct {
    uint32_t w, h, bpp;
    const char* text;
  } cases[] = {
      {0, 5, 8, "CRasterImage::Create : width and height must be greater than zero"},
      {5, 0, 8, "CRasterImage::Create : width and height must be greater than zero"},
      {100000, 100000, 8, "RASTERIMAGE_MAX_MEMORY exceeded"},
      // Passes the byte estimate but its padded rows exceed any 32-bit block.
      {1, 2147483647u, 1, "CRasterImage::Create can't allocate memory"},
  };
  for (const auto& c : cases) {
    CRasterImage img(10, 10, 8);
    ASSERT_TRUE(img.IsValid());
    EXPECT_EQ(img.Create(c.w, c.h, c.bpp), nullptr);
    EXPECT_FALSE(img.IsValid());
    EXPECT_STREQ(img.GetLastError(), c.text);
    EXPECT_EQ(img.GetBits(0), nullptr);
  }
}

TEST(RasterImageFromArray, OneBitRowsKeepSourceOrder) {
  std::vector<uint8_t> lines(2 * 49);
  for (size_t i = 0; i < lines.size(); ++i) lines[i] = static_cast<uint8_t>(i * 7 + 1);
  for (bool flip : {false, true}) {
    CRasterImage img;
    ASSERT_TRUE(img.CreateFromArray(lines.data(), 390, 2, 1, 49, flip));
    EXPECT_EQ(img.GetEffWidth(), 52u);
    const uint8_t* first = img.GetBits(flip ? 1 : 0);
    const uint8_t* second = img.GetBits(flip ? 0 : 1);
    EXPECT_EQ(std::memcmp(first, lines.data(), 49), 0);
    EXPECT_EQ(std::memcmp(second, lines.data() + 49, 49), 0);
    EXPECT_EQ(first[49], 0);  // tail beyond bytesPerLine is not filled
    tagRGBQUAD white = img.GetPaletteColor(1), black = img.GetPaletteColor(0);
    EXPECT_EQ(white.rgbRed + white.rgbGreen + white.rgbBlue, 3 * 255);
    EXPECT_EQ(black.rgbRed + black.rgbGreen + black.rgbBlue, 0);
  }
}

TEST(RasterImageFromArray, WideLinesAreClippedButStrided) {
  // 8-bit, 6 pixels (stride 8) from lines of 11 bytes.
  std::vector<uint8_t> lines(3 * 11);
  for (size_t i = 0; i < lines.size(); ++i) lines[i] = static_cast<uint8_t>(i);
  CRasterImage img;
  ASSERT_TRUE(img.CreateFromArray(lines.data(), 6, 3, 8, 11, false));
  ASSERT_EQ(img.GetEffWidth(), 8u);
  for (uint32_t row = 0; row < 3; ++row)
    EXPECT_EQ(std::memcmp(img.GetBits(row), lines.data() + row * 11, 8), 0) << row;
  EXPECT_TRUE(img.IsGrayScale());
  EXPECT_FALSE(img.AlphaIsValid());
}

TEST(RasterImageFromArray, ThirtyTwoBitsSplitAlpha) {
  const uint8_t px[2 * 2 * 4] = {1, 2, 3, 40, 5, 6, 7, 80, 9, 10, 11, 0, 13, 14, 15, 255};
  CRasterImage img;
  ASSERT_TRUE(img.CreateFromArray(px, 2, 2, 32, 8, false));
  EXPECT_EQ(img.GetBpp(), 24);
  ASSERT_TRUE(img.AlphaIsValid());
  const uint8_t row0[6] = {1, 2, 3, 5, 6, 7}, row1[6] = {9, 10, 11, 13, 14, 15};
  EXPECT_EQ(std::memcmp(img.GetBits(0), row0, 6), 0);
  EXPECT_EQ(std::memcmp(img.GetBits(1), row1, 6), 0);
  EXPECT_EQ(img.AlphaGet(0, 0), 40);
  EXPECT_EQ(img.AlphaGet(1, 0), 80);
  EXPECT_EQ(img.AlphaGet(0, 1), 0);
  EXPECT_EQ(img.AlphaGet(1, 1), 255);

  // The next page reuses the object: the old alpha plane must not survive.
  const uint8_t gray[4] = {0, 255, 0, 0};
  ASSERT_TRUE(img.CreateFromArray(gray, 2, 1, 8, 4, false));
  EXPECT_FALSE(img.AlphaIsValid());
}

TEST(RasterImageFromArray, RejectionsKeepOrEmptyAsDocumented) {
  const uint8_t data[8] = {0xAA, 0x55, 0, 0, 0, 0, 0, 0};
  CRasterImage img;
  ASSERT_TRUE(img.CreateFromArray(data, 8, 2, 1, 4, false));
  const uint8_t* bits = img.GetBits(0);
  EXPECT_FALSE(img.CreateFromArray(data, 8, 2, 16, 4, false));
  EXPECT_FALSE(img.CreateFromArray(data, 8, 2, 2, 4, false));
  EXPECT_FALSE(img.CreateFromArray(nullptr, 8, 2, 1, 4, false));
  EXPECT_EQ(img.GetBits(0), bits);
  EXPECT_EQ(bits[0], 0xAA);
  EXPECT_FALSE(img.CreateFromArray(data, 0, 2, 1, 4, false));
  EXPECT_FALSE(img.IsValid());
}

TEST(RasterImageDpi, RoundsAndReachesTheBlockHeader) {
  struct {
    int32_t in, dpi, pels;
  } cases[] = {{0, 96, 3780}, {-5, 96, 3780}, {203, 203, 7992}, {300, 300, 11811}};
  for (const auto& c : cases) {
    CRasterImage img(4, 4, 1);
    img.SetXDPI(c.in);
    img.SetYDPI(c.in);
    EXPECT_EQ(img.GetXDPI(), c.dpi);
    EXPECT_EQ(img.GetYDPI(), c.dpi);
    tagBITMAPINFOHEADER h;
    std::memcpy(&h, img.GetBits(0) - 4 * img.GetNumColors() - 40, sizeof(h));
    EXPECT_EQ(h.biXPelsPerMeter, c.pels) << c.in;
    EXPECT_EQ(h.biYPelsPerMeter, c.pels) << c.in;
  }
}

CRasterImage MakeSample() {
  const uint8_t px[2 * 4] = {1, 2, 3, 50, 4, 5, 6, 60};
  CRasterImage img;
  img.CreateFromArray(px, 2, 1, 32, 8, false);
  img.SetXDPI(203);
  return img;
}

TEST(RasterImageCopy, DeepCopyOfPixelsAlphaAndInfo) {
  CRasterImage src = MakeSample();
  CRasterImage copy(src);
  ASSERT_TRUE(copy.IsValid());
  EXPECT_NE(copy.GetBits(0), src.GetBits(0));
  EXPECT_EQ(std::memcmp(copy.GetBits(0), src.GetBits(0), src.GetEffWidth()), 0);
  EXPECT_EQ(copy.GetXDPI(), 203);
  EXPECT_EQ(copy.AlphaGet(1, 0), 60);
  copy.GetBits(0)[0] = 99;
  copy.AlphaSet(1, 0, 7);
  EXPECT_EQ(src.GetBits(0)[0], 1);
  EXPECT_EQ(src.AlphaGet(1, 0), 60);

  CRasterImage shell(src, false, true, false);
  EXPECT_TRUE(shell.IsValid());
  EXPECT_EQ(shell.GetBits(0)[0], 0);
  EXPECT_FALSE(shell.AlphaIsValid());
}

TEST(RasterImageCopy, AssignmentFromEmptyAndSelf) {
  CRasterImage img = MakeSample();
  img = img;
  EXPECT_TRUE(img.IsValid());
  EXPECT_EQ(img.GetBits(0)[0], 1);
  CRasterImage empty;
  img = empty;
  EXPECT_FALSE(img.IsValid());
}

TEST(RasterImageTransfer, MovesBuffersAndLeavesSourceOwningNothing) {
  CRasterImage dst(3, 3, 8);
  auto* src = new CRasterImage(MakeSample());
  const uint8_t* bits = src->GetBits(0);
  ASSERT_TRUE(dst.Transfer(*src));
  EXPECT_EQ(dst.GetBits(0), bits);
  EXPECT_TRUE(dst.AlphaIsValid());
  EXPECT_EQ(dst.GetXDPI(), 203);
  EXPECT_FALSE(src->IsValid());
  EXPECT_FALSE(src->AlphaIsValid());
  EXPECT_EQ(src->GetWidth(), 0u);
  delete src;  // must free nothing that dst now owns
  EXPECT_EQ(dst.GetBits(0)[2], 3);
}

TEST(RasterImageCopyInfo, OnlyIntoAnEmptyImage) {
  CRasterImage src(2, 2, 1);
  src.SetXDPI(300);
  CRasterImage empty, valid(2, 2, 1);
  empty.CopyInfo(src);
  valid.CopyInfo(src);
  EXPECT_EQ(empty.GetXDPI(), 300);
  EXPECT_EQ(valid.GetXDPI(), 96);
  ASSERT_NE(empty.Create(5, 5, 8), nullptr);
  EXPECT_EQ(empty.GetXDPI(), 300);
}

TEST(RasterImageGhost, SharesAndRefusesToRelease) {
  CRasterImage owner = MakeSample();
  {
    CRasterImage ghost(4, 4, 8);  // its own buffers are released, not leaked
    ghost.Ghost(&owner);
    EXPECT_EQ(ghost.GetBits(0), owner.GetBits(0));
    EXPECT_FALSE(ghost.Destroy());
    EXPECT_FALSE(ghost.DestroyFrames());
    EXPECT_EQ(ghost.Create(2, 2, 1), nullptr);
    CRasterImage other(2, 2, 1);
    EXPECT_FALSE(ghost.Transfer(other));
    EXPECT_TRUE(other.IsValid());

    // Copying a ghost yields another ghost of it.
    CRasterImage view(ghost);
    EXPECT_EQ(view.GetBits(0), owner.GetBits(0));
    EXPECT_FALSE(view.Destroy());

    // Copying into a ghost detaches it instead of freeing the owner's block.
    ghost = other;
    EXPECT_NE(ghost.GetBits(0), owner.GetBits(0));
    EXPECT_TRUE(ghost.Destroy());
  }
  EXPECT_TRUE(owner.IsValid());
  EXPECT_EQ(owner.GetBits(0)[0], 1);
}

}  // namespace
