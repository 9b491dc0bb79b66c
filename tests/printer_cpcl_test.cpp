// CPCL labels, write by write: every line is its own write and the graphic
// one more, FORM only on media with marks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "printers/PrinterCPCL.h"
#include "support/CaptureDriver.h"
#include "support/DriverPage.h"
#include "support/HexDump.h"

namespace {

using Driver = CaptureDriver<CPrinterCPCL>;

struct LabelCase {
  const char* name;
  uint32_t width;
  int dpi, reference, media;
  const char* begin;
  const char* pageWidth;
  const char* cg;
  bool form;
};

const LabelCase kLabels[] = {
    {"GapMedia", 384, 203, 0, 1, "! 0 200 200 240 1", "PAGE-WIDTH 384", "CG 48 240 0 0", true},
    {"BlackLine", 384, 203, 0, 2, "! 0 200 200 240 1", "PAGE-WIDTH 384", "CG 48 240 0 0", true},
    {"Continuous", 384, 203, 0, 0, "! 0 200 200 240 1", "PAGE-WIDTH 384", "CG 48 240 0 0", false},
    {"Perforated", 384, 203, 0, 3, "! 0 200 200 240 1", "PAGE-WIDTH 384", "CG 48 240 0 0", false},
    {"Tattoo", 384, 203, 0, 7, "! 0 200 200 240 1", "PAGE-WIDTH 384", "CG 48 240 0 0", false},
    // The offset setting is multiplied by 8 once more.
    {"Offset", 384, 203, 16, 1, "! 128 200 200 240 1", "PAGE-WIDTH 384", "CG 48 240 0 0", true},
    {"NegativeOffset", 384, 203, -2, 1, "! -16 200 200 240 1", "PAGE-WIDTH 384",
     "CG 48 240 0 0", true},
    {"ResolutionNotInHeader", 384, 300, 0, 1, "! 0 200 200 240 1", "PAGE-WIDTH 384",
     "CG 48 240 0 0", true},
    // Pixel width in PAGE-WIDTH, padded row bytes in CG; the pad bits of the
    // inverted graphic are 0.
    {"OddWidth", 390, 203, 0, 1, "! 0 200 200 240 1", "PAGE-WIDTH 390", "CG 52 240 0 0", true},
};

class CpclLabel : public ::testing::TestWithParam<LabelCase> {};

TEST_P(CpclLabel, LinesAndGraphicAsSeparateWrites) {
  const LabelCase& c = GetParam();
  Driver d;
  LoadPattern(d, c.width, 240, c.dpi);
  d.m_reg.iReference[0] = c.reference;
  d.m_reg.iMediaType = c.media;
  d.PaintPage();

  std::vector<std::vector<uint8_t>> expected = {
      Ascii(std::string(c.begin) + "\r\n"), Ascii(std::string(c.pageWidth) + "\r\n"),
      Ascii(std::string(c.cg) + "\r\n"), InkRows(c.width, 240, StrideOf(c.width))};
  if (c.form) expected.push_back(Ascii("FORM\r\n"));
  expected.push_back(Ascii("PRINT\r\n"));

  ASSERT_EQ(d.writes.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_BYTES(expected[i], d.writes[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CpclLabel, ::testing::ValuesIn(kLabels),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
