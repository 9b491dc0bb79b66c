// Pixel, palette and mask primitives of CRasterImage: packing per depth, the
// values read outside the image (the geometry code samples there on purpose),
// the nearest-colour search with its memo, transparency, alpha and selection.
#include <gtest/gtest.h>

#include "image/RasterImage.h"

namespace {

tagRGBQUAD Rgb(uint8_t r, uint8_t g, uint8_t b, uint8_t a = 0) { return tagRGBQUAD{b, g, r, a}; }

bool Same(tagRGBQUAD a, tagRGBQUAD b) {
  return a.rgbBlue == b.rgbBlue && a.rgbGreen == b.rgbGreen && a.rgbRed == b.rgbRed &&
         a.rgbReserved == b.rgbReserved;
}

class IndexPacking : public ::testing::TestWithParam<uint32_t> {};

TEST_P(IndexPacking, WritesLeaveNeighboursAlone) {
  const uint32_t bpp = GetParam();
  const uint32_t mask = (1u << bpp) - 1;
  CRasterImage img(13, 2, bpp);
  for (int32_t x = 0; x < 13; ++x) img.SetPixelIndex(x, 1, static_cast<uint8_t>(x * 5 + 3));
  for (int32_t x = 0; x < 13; ++x) {
    EXPECT_EQ(img.GetPixelIndex(x, 1), (x * 5 + 3) & mask) << x;
    EXPECT_EQ(img.GetPixelIndex(x, 0), 0) << x;
  }
  // Checked writes outside the image change nothing.
  img.SetPixelIndex(13, 0, 0xFF);
  img.SetPixelIndex(-1, 0, 0xFF);
  img.SetPixelIndex(0, 2, 0xFF);
  for (uint32_t i = 0; i < img.GetEffWidth(); ++i) EXPECT_EQ(img.GetBits(0)[i], 0);
}

INSTANTIATE_TEST_SUITE_P(PalettedDepths, IndexPacking, ::testing::Values(1u, 4u, 8u));

TEST(PixelIndex, OneBitLayoutIsMsbFirst) {
  CRasterImage img(10, 1, 1);
  img.SetPixelIndex(0, 0, 1);
  img.SetPixelIndex(9, 0, 1);
  EXPECT_EQ(img.GetBits(0)[0], 0x80);
  EXPECT_EQ(img.GetBits(0)[1], 0x40);
}

TEST(PixelIndex, OutsideValueIsWholeFirstByteOrBackground) {
  CRasterImage img(16, 3, 1);
  img.GetBits(0)[0] = 0xA5;
  EXPECT_EQ(img.GetPixelIndex(-1, 0), 0xA5);
  EXPECT_EQ(img.GetPixelIndex(16, 0), 0xA5);
  EXPECT_EQ(img.GetPixelIndex(0, 3), 0xA5);
  // Storing the outside value keeps only its low bit, i.e. pixel (7, 0).
  img.SetPixelIndex(0, 1, img.GetPixelIndex(-1, 0));
  EXPECT_EQ(img.GetPixelIndex(0, 1), 1);
  EXPECT_EQ(img.GetBits(1)[0], 0x80);

  CRasterImage rgb(2, 2, 24), empty;
  EXPECT_EQ(rgb.GetPixelIndex(-1, 0), 0);  // no palette
  EXPECT_EQ(empty.GetPixelIndex(0, 0), 0);
}

TEST(PixelColor, PalettedAndTrueColourReads) {
  CRasterImage pal(3, 1, 8);
  pal.SetPaletteColor(7, 10, 20, 30, 40);
  pal.SetPixelIndex(1, 0, 7);
  EXPECT_TRUE(Same(pal.GetPixelColor(1, 0), Rgb(10, 20, 30, 40)));

  CRasterImage rgb(2, 1, 24);
  uint8_t* p = rgb.GetBits(0);
  p[3] = 1;  // blue
  p[4] = 2;
  p[5] = 3;  // red
  EXPECT_TRUE(Same(rgb.GetPixelColor(1, 0), Rgb(3, 2, 1, 0)));
  rgb.SetPixelColor(0, 0, Rgb(9, 8, 7, 200), true);  // no alpha plane: reserved dropped
  EXPECT_EQ(p[0], 7);
  EXPECT_EQ(p[2], 9);
  ASSERT_TRUE(rgb.AlphaCreate());
  EXPECT_EQ(rgb.GetPixelColor(1, 0).rgbReserved, 255);
  EXPECT_EQ(rgb.GetPixelColor(1, 0, false).rgbReserved, 0);
  rgb.SetPixelColor(1, 0, Rgb(3, 2, 1, 77), true);
  EXPECT_EQ(rgb.AlphaGet(1, 0), 77);
}

TEST(PixelColor, OutsideRepeatsFirstPixelWithAlpha) {
  CRasterImage rgb(2, 2, 24);
  rgb.SetPixelColor(0, 0, Rgb(50, 60, 70));
  rgb.AlphaCreate();
  rgb.AlphaSet(0, 0, 33);
  EXPECT_TRUE(Same(rgb.GetPixelColor(5, 5, false), Rgb(50, 60, 70, 33)));
  CRasterImage empty;
  EXPECT_TRUE(Same(empty.GetPixelColor(0, 0), Rgb(0, 0, 0, 0)));
}

TEST(NearestIndex, DistancesAndTies) {
  CRasterImage img(1, 1, 1);
  img.SetGrayPalette();
  struct {
    tagRGBQUAD c;
    uint8_t want;
  } cases[] = {{Rgb(200, 200, 200), 1}, {Rgb(127, 127, 127), 0}, {Rgb(128, 128, 128), 1},
               {Rgb(255, 0, 0), 0}, {Rgb(255, 255, 255, 9), 1}};
  for (const auto& c : cases) EXPECT_EQ(img.GetNearestIndex(c.c), c.want);

  CRasterImage dup(1, 1, 4);
  for (uint8_t i = 0; i < 16; ++i) dup.SetPaletteColor(i, 255, 255, 255);
  dup.SetPaletteColor(5, 100, 100, 100);
  dup.SetPaletteColor(9, 100, 100, 100);
  EXPECT_EQ(dup.GetNearestIndex(Rgb(90, 90, 90)), 5);
  EXPECT_EQ(dup.GetNearestIndex(Rgb(250, 250, 250)), 0);
}

TEST(NearestIndex, EveryPaletteWriteInvalidatesTheMemo) {
  CRasterImage img(1, 1, 1);
  const tagRGBQUAD white = Rgb(255, 255, 255);
  img.SetGrayPalette();
  ASSERT_EQ(img.GetNearestIndex(white), 1);
  img.SetPaletteColor(0, 255, 255, 255);
  EXPECT_EQ(img.GetNearestIndex(white), 0);
  const tagRGBQUAD swapped[2] = {Rgb(0, 0, 0), Rgb(255, 255, 255)};
  img.SetPalette(swapped, 2);
  EXPECT_EQ(img.GetNearestIndex(white), 1);
  img.SetPaletteColor(1, 0, 0, 0);
  img.SetPaletteColor(0, 255, 255, 255);
  ASSERT_EQ(img.GetNearestIndex(white), 0);
  img.SetGrayPalette();
  EXPECT_EQ(img.GetNearestIndex(white), 1);
}

TEST(Palette, GrayPalettesAndIdentityCheck) {
  struct {
    uint32_t bpp;
    uint8_t index, value;
    bool identity;
  } cases[] = {{1, 1, 255, false}, {4, 1, 17, false}, {4, 15, 255, false}, {8, 77, 77, true}};
  for (const auto& c : cases) {
    CRasterImage img(1, 1, c.bpp);
    img.SetGrayPalette();
    EXPECT_EQ(img.GetPaletteColor(c.index).rgbRed, c.value) << c.bpp;
    EXPECT_EQ(img.IsGrayScale(), c.identity) << c.bpp;
  }
  CRasterImage img(1, 1, 8);
  img.SetGrayPalette();
  img.SetPaletteColor(200, 200, 200, 201);
  EXPECT_FALSE(img.IsGrayScale());

  CRasterImage small(1, 1, 1), rgb(1, 1, 24);
  small.SetPaletteColor(2, 9, 9, 9);  // beyond the palette: ignored
  EXPECT_TRUE(Same(small.GetPaletteColor(2), Rgb(0, 0, 0)));
  EXPECT_EQ(rgb.GetPalette(), nullptr);
  EXPECT_FALSE(rgb.IsGrayScale());
}

TEST(AlphaPlane, BoundsMirrorAndCopy) {
  CRasterImage img(3, 2, 8);
  EXPECT_FALSE(img.AlphaMirror());
  EXPECT_FALSE(img.IsTransparent(0, 2));  // no plane, no background: never
  EXPECT_EQ(img.AlphaGet(0, 0), 0);
  img.AlphaSet(0, 0, 5);  // no plane: ignored
  ASSERT_TRUE(img.AlphaCreate());
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 3; ++x) img.AlphaSet(x, y, static_cast<uint8_t>(10 * y + x));
  img.AlphaSet(3, 0, 99);
  img.AlphaSet(0, -1, 99);
  EXPECT_EQ(img.AlphaGet(3, 0), 0);
  EXPECT_EQ(img.AlphaGet(0, 1), 10);  // rows are unpadded: width apart
  ASSERT_TRUE(img.AlphaMirror());
  EXPECT_EQ(img.AlphaGet(0, 0), 2);
  EXPECT_EQ(img.AlphaGet(2, 1), 10);
  EXPECT_EQ(img.AlphaGet(1, 1), 11);

  EXPECT_FALSE(img.IsTransparent(0, 0));
  EXPECT_TRUE(img.IsTransparent(0, 2));  // outside reads alpha 0
  CRasterImage same(3, 2, 1), other(2, 3, 8);
  EXPECT_TRUE(same.AlphaCopy(img));
  EXPECT_EQ(same.AlphaGet(2, 1), 10);
  EXPECT_FALSE(other.AlphaCopy(img));
  EXPECT_FALSE(other.AlphaIsValid());
  EXPECT_FALSE(img.AlphaCopy(CRasterImage(3, 2, 8)));
  same.AlphaClear();
  EXPECT_EQ(same.AlphaGet(2, 1), 0);
  EXPECT_TRUE(same.IsTransparent(2, 1));
  same.AlphaDelete();
  EXPECT_FALSE(same.AlphaIsValid());
}

TEST(Selection, AbsentMaskSelectsExactlyTheImage) {
  CRasterImage img(4, 3, 1), plain(4, 3, 1);
  EXPECT_TRUE(img.SelectionIsInside(0, 0));
  EXPECT_TRUE(img.SelectionIsInside(3, 2));
  EXPECT_FALSE(img.SelectionIsInside(4, 0));
  EXPECT_FALSE(img.SelectionIsInside(0, -1));
  EXPECT_FALSE(img.SelectionCopy(plain));
  EXPECT_TRUE(img.SelectionDelete());
  EXPECT_TRUE(img.SelectionIsInside(1, 1));
}

}  // namespace
