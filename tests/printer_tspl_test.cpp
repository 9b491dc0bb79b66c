// TSPL label programs, byte for byte: the command lines a page's settings
// select, the raw and compressed bitmap, and pages that cannot be sent.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "printers/PrinterTSPL.h"
#include "support/CaptureDriver.h"
#include "support/DriverPage.h"
#include "support/HexDump.h"
#include "tools/decode/Inflate.h"

namespace {

using Driver = CaptureDriver<CPrinterTSPL>;

// Lines before BITMAP for a 384 x 240 page at 203 dpi.
struct SettingsCase {
  const char* name;
  std::function<void(Driver&)> set;
  const char* lines;  // between "SIZE ...\r\n" and "BITMAP"; \n stands for CR LF
};

std::string CrLf(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    if (*p == '\n') out += '\r';
    out += *p;
  }
  return out;
}

// Defaults: ribbon off, continuous media, density 8, speed 14 (shown as 4).
const SettingsCase kSettings[] = {
    {"Defaults", [](Driver&) {},
     "SET RIBBON OFF\nGAP 0 mm,0 mm\nOFFSET 0 mm\nDENSITY 8\nSPEED 4\nCLS\n"},
    {"PrinterKeepsSpeedAndDarkness",
     [](Driver& d) { d.m_reg.iSpeed = -1, d.m_reg.iDensity = -1; },
     "SET RIBBON OFF\nGAP 0 mm,0 mm\nOFFSET 0 mm\nCLS\n"},
    {"SpeedZeroIsFour", [](Driver& d) { d.m_reg.iSpeed = 0; },
     "SET RIBBON OFF\nGAP 0 mm,0 mm\nOFFSET 0 mm\nDENSITY 8\nSPEED 4\nCLS\n"},
    {"SpeedTwelveKept", [](Driver& d) { d.m_reg.iSpeed = 12; },
     "SET RIBBON OFF\nGAP 0 mm,0 mm\nOFFSET 0 mm\nDENSITY 8\nSPEED 12\nCLS\n"},
    {"SpeedThirteenIsFour", [](Driver& d) { d.m_reg.iSpeed = 13; },
     "SET RIBBON OFF\nGAP 0 mm,0 mm\nOFFSET 0 mm\nDENSITY 8\nSPEED 4\nCLS\n"},
    {"DensityZero", [](Driver& d) { d.m_reg.iDensity = 0; },
     "SET RIBBON OFF\nGAP 0 mm,0 mm\nOFFSET 0 mm\nDENSITY 0\nSPEED 4\nCLS\n"},
    {"DensityNotClamped", [](Driver& d) { d.m_reg.iDensity = 20; },
     "SET RIBBON OFF\nGAP 0 mm,0 mm\nOFFSET 0 mm\nDENSITY 20\nSPEED 4\nCLS\n"},
    {"ContinuousIgnoresGapSettings",
     [](Driver& d) { d.m_reg.iMediaType = 0, d.m_reg.iGap = 3, d.m_reg.iGapOffset = 2; },
     "SET RIBBON OFF\nGAP 0 mm,0 mm\nOFFSET 0 mm\nDENSITY 8\nSPEED 4\nCLS\n"},
    {"GapMedia", [](Driver& d) { d.m_reg.iMediaType = 1, d.m_reg.iGap = 3; },
     "SET RIBBON OFF\nGAP 3 mm,0 mm\nOFFSET 0 mm\nDENSITY 8\nSPEED 4\nCLS\n"},
    {"BlackLine", [](Driver& d) { d.m_reg.iMediaType = 2, d.m_reg.iGap = 0; },
     "SET RIBBON OFF\nBLINE 0 mm,0 mm\nOFFSET 0 mm\nDENSITY 8\nSPEED 4\nCLS\n"},
    {"BlackLineWithOffset",
     [](Driver& d) { d.m_reg.iMediaType = 2, d.m_reg.iGap = 4, d.m_reg.iGapOffset = -1; },
     "SET RIBBON OFF\nBLINE 4 mm,-1 mm\nOFFSET 0 mm\nDENSITY 8\nSPEED 4\nCLS\n"},
    {"PerforatedHasNoMediaLine", [](Driver& d) { d.m_reg.iMediaType = 3; },
     "SET RIBBON OFF\nOFFSET 0 mm\nDENSITY 8\nSPEED 4\nCLS\n"},
    {"TattooHasNoMediaLine", [](Driver& d) { d.m_reg.iMediaType = 7; },
     "SET RIBBON OFF\nOFFSET 0 mm\nDENSITY 8\nSPEED 4\nCLS\n"},
    {"NegativeOffset", [](Driver& d) { d.m_reg.iOffset = -2; },
     "SET RIBBON OFF\nGAP 0 mm,0 mm\nOFFSET -2 mm\nDENSITY 8\nSPEED 4\nCLS\n"},
    {"ThermalTransfer", [](Driver& d) { d.m_reg.iPrinttype = 1; },
     "SET RIBBON ON\nGAP 0 mm,0 mm\nOFFSET 0 mm\nDENSITY 8\nSPEED 4\nCLS\n"},
    {"Tear", [](Driver& d) { d.m_reg.iPostAction = 1; },
     "SET RIBBON OFF\nSET PEEL OFF\nSET CUTTER FALSE\nSET PARTIAL_CUTTER OFF\nSET TEAR ON\n"
     "GAP 0 mm,0 mm\nOFFSET 0 mm\nDENSITY 8\nSPEED 4\nCLS\n"},
    {"Cutter", [](Driver& d) { d.m_reg.iPostAction = 2; },
     "SET RIBBON OFF\nSET PEEL OFF\nSET CUTTER 1\nSET PARTIAL_CUTTER OFF\nSET TEAR OFF\n"
     "GAP 0 mm,0 mm\nOFFSET 0 mm\nDENSITY 8\nSPEED 4\nCLS\n"},
    {"Peel", [](Driver& d) { d.m_reg.iPostAction = 3; },
     "SET RIBBON OFF\nSET PEEL ON\nSET CUTTER FALSE\nSET PARTIAL_CUTTER OFF\nSET TEAR OFF\n"
     "GAP 0 mm,0 mm\nOFFSET 0 mm\nDENSITY 8\nSPEED 4\nCLS\n"},
    {"PartialCutter", [](Driver& d) { d.m_reg.iPostAction = 4; },
     "SET RIBBON OFF\nSET PEEL OFF\nSET CUTTER FALSE\nSET PARTIAL_CUTTER 1\nSET TEAR OFF\n"
     "GAP 0 mm,0 mm\nOFFSET 0 mm\nDENSITY 8\nSPEED 4\nCLS\n"},
    {"UnknownFinishingIsNothing", [](Driver& d) { d.m_reg.iPostAction = 5; },
     "SET RIBBON OFF\nGAP 0 mm,0 mm\nOFFSET 0 mm\nDENSITY 8\nSPEED 4\nCLS\n"},
};

class TsplSettings : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(TsplSettings, WholeLabelInOneWrite) {
  const SettingsCase& c = GetParam();
  Driver d;
  LoadPattern(d, 384, 240, 203);
  c.set(d);
  d.PaintPage();

  const std::vector<uint8_t> expected =
      Cat({Ascii("SIZE 48.05 mm,30.03 mm\r\n"), Ascii(CrLf(c.lines)), Ascii("BITMAP 0,0,48,240,1,"),
           PatternRows(384, 240), Ascii("\r\nPRINT 1,1\r\n")});
  ASSERT_EQ(d.writes.size(), 1u);
  EXPECT_BYTES(expected, d.writes[0]);
  EXPECT_EQ(d.m_cmdBuffer.GetBufferLength(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, TsplSettings, ::testing::ValuesIn(kSettings),
                         [](const auto& p) { return std::string(p.param.name); });

// The label size comes from the pixel counts, the row length from the
// padded stride.
struct SizeCase {
  uint32_t width, height;
  int dpi;
  const char* size;
  const char* bitmap;
};

class TsplSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(TsplSize, SizeAndBitmapHead) {
  const SizeCase& c = GetParam();
  Driver d;
  LoadPattern(d, c.width, c.height, c.dpi);
  d.m_reg.iSpeed = d.m_reg.iDensity = -1;
  d.PaintPage();
  const std::vector<uint8_t> expected =
      Cat({Ascii(c.size), Ascii("SET RIBBON OFF\r\nGAP 0 mm,0 mm\r\nOFFSET 0 mm\r\nCLS\r\n"),
           Ascii(c.bitmap), PatternRows(c.width, c.height), Ascii("\r\nPRINT 1,1\r\n")});
  ASSERT_EQ(d.writes.size(), 1u);
  EXPECT_BYTES(expected, d.writes[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, TsplSize,
    ::testing::Values(SizeCase{390, 240, 203, "SIZE 48.80 mm,30.03 mm\r\n", "BITMAP 0,0,52,240,1,"},
                      SizeCase{384, 240, 300, "SIZE 32.51 mm,20.32 mm\r\n", "BITMAP 0,0,48,240,1,"},
                      SizeCase{8, 1, 203, "SIZE 1.00 mm,0.13 mm\r\n", "BITMAP 0,0,4,1,1,"}));

// Compressed: mode 3, the stream length, a zlib stream of the inverted image.
TEST(TsplCompressed, StreamInflatesToInvertedImage) {
  for (uint32_t width : {384u, 390u}) {
    SCOPED_TRACE(width);
    Driver d;
    LoadPattern(d, width, 240, 203);
    d.m_halftone.bImageCompress = 1;
    d.PaintPage();
    ASSERT_EQ(d.writes.size(), 1u);
    const std::vector<uint8_t>& out = d.writes[0];

    const std::string text(out.begin(), out.end());
    const std::string head = "BITMAP 0,0," + std::to_string(StrideOf(width)) + ",240,3,";
    const size_t at = text.find(head);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(text.rfind("CLS\r\n", at), at - 5);
    const size_t lengthEnd = text.find(',', at + head.size());
    const size_t length = std::stoul(text.substr(at + head.size(), lengthEnd - at - head.size()));
    const std::vector<uint8_t> stream = Slice(out, lengthEnd + 1, length);
    EXPECT_EQ(0x78, stream.at(0));  // a zlib header, kept in this language
    EXPECT_BYTES(Ascii("\r\nPRINT 1,1\r\n"), Slice(out, lengthEnd + 1 + length, out.size()));

    std::vector<uint8_t> inverted = PatternRows(width, 240);
    for (auto& b : inverted) b = static_cast<uint8_t>(~b);
    std::vector<uint8_t> inflated;
    size_t used = 0;
    std::string err;
    EXPECT_TRUE(Inflate(stream.data(), stream.size(), ZFormat::Zlib, inverted.size(), inflated, used,
                        err))
        << err;
    EXPECT_BYTES(inverted, inflated);
  }
}

// Pages that cannot be sent leave no bytes at all, not a broken label.
struct RefusedCase {
  const char* name;
  std::function<void(Driver&)> set;
};

class TsplRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(TsplRefused, NothingWritten) {
  Driver d;
  LoadPattern(d, 384, 240, 203);
  GetParam().set(d);
  d.PaintPage();
  const std::string& messages = d.jobLog.messages;
  EXPECT_NE(messages.find("ERROR: "), std::string::npos) << messages;
  EXPECT_TRUE(d.writes.empty());
  EXPECT_EQ(d.m_cmdBuffer.GetBufferLength(), 0);

  // The next, good page goes out whole.
  LoadPattern(d, 384, 240, 203);
  d.m_cmdBuffer.SetMaxBufferSize(CMyBuffer::kDefaultMaxBufferSize);
  d.PaintPage();
  ASSERT_EQ(d.writes.size(), 1u);
  EXPECT_BYTES(Ascii("SIZE 48.05 mm,30.03 mm\r\n"), Slice(d.writes[0], 0, 24));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TsplRefused,
    ::testing::Values(RefusedCase{"ZeroResolution", [](Driver& d) { d.m_resolution = 0; }},
                      RefusedCase{"NegativeResolution", [](Driver& d) { d.m_resolution = -203; }},
                      RefusedCase{"LabelOverBufferLimit",
                                  [](Driver& d) { d.m_cmdBuffer.SetMaxBufferSize(4096); }},
                      RefusedCase{"CompressedOverBufferLimit",
                                  [](Driver& d) {
                                    d.m_halftone.bImageCompress = 1;
                                    d.m_cmdBuffer.SetMaxBufferSize(64);
                                  }}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
