// ESC/POS receipts, byte for byte: the page sequence with its drawer, feed
// and cut choices, the raster command's fields, and the pages too large for
// one raster command.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "printers/PrinterESCPOS.h"
#include "support/CaptureDriver.h"
#include "support/DriverPage.h"
#include "support/HexDump.h"

namespace {

using Driver = CaptureDriver<CPrinterESCPOS>;

const std::vector<uint8_t> kInit = FromHex("1B 40 1B 61 01");
const std::vector<uint8_t> kDrawer = FromHex("1B 70 00 80 80");

// A 384 x 240 page at 203 dpi; before/after are the bytes around
// "1B 40 1B 61 01, GS v 0 head, raster" in the page write, end the write at
// the end of the document (empty: none).
struct PageCase {
  const char* name;
  std::function<void(Driver&)> set;
  const char* before;
  const char* after;
  const char* end;
};

const PageCase kPages[] = {
    {"FeedAndDrawerAfter", [](Driver& d) { d.m_reg.iPostFeed = 10, d.m_reg.iMoneyBox = 2; }, "",
     "1B 4A 4F 1B 70 00 80 80", ""},
    {"DrawerBefore", [](Driver& d) { d.m_reg.iPostFeed = 10, d.m_reg.iMoneyBox = 1; },
     "1B 70 00 80 80", "1B 4A 4F", ""},
    {"NoDrawer", [](Driver& d) { d.m_reg.iMoneyBox = 0; }, "", "", ""},
    {"OtherDrawerChoice", [](Driver& d) { d.m_reg.iMoneyBox = -1; }, "", "", ""},
    {"NoFeedForNegative", [](Driver& d) { d.m_reg.iPostFeed = -3; }, "", "", ""},
    {"FeedExactly255", [](Driver& d) { d.m_reg.iPostFeed = 32; }, "", "1B 4A FF", ""},
    {"FeedInTwoPieces", [](Driver& d) { d.m_reg.iPostFeed = 33; }, "", "1B 4A FF 1B 4A 08", ""},
    {"FeedInThreePieces", [](Driver& d) { d.m_reg.iPostFeed = 64; }, "",
     "1B 4A FF 1B 4A FF 1B 4A 01", ""},
    {"FullCutAtDocumentEnd", [](Driver& d) { d.m_reg.iCutType = 1, d.m_reg.iPostFeed = 10; }, "",
     "1B 4A 4F", "1D 56 30"},
    {"PartialCutAtDocumentEnd", [](Driver& d) { d.m_reg.iCutType = 2; }, "", "", "1D 56 31"},
    {"FullCutEveryPageAfterFeed",
     [](Driver& d) { d.m_reg.iCutType = 3, d.m_reg.iPostFeed = 10, d.m_reg.iMoneyBox = 2; }, "",
     "1B 4A 4F 1D 56 30 1B 70 00 80 80", ""},
    {"PartialCutEveryPage", [](Driver& d) { d.m_reg.iCutType = 4; }, "", "1D 56 31", ""},
    {"UnknownCutIsNothing", [](Driver& d) { d.m_reg.iCutType = 5; }, "", "", ""},
};

class EscposPage : public ::testing::TestWithParam<PageCase> {};

TEST_P(EscposPage, OneWritePerPageAndTheDocumentEnd) {
  const PageCase& c = GetParam();
  Driver d;
  c.set(d);
  d.OnStartDoc(0);
  LoadPattern(d, 384, 240, 203);
  d.PaintPage();
  ASSERT_EQ(d.writes.size(), 1u);
  EXPECT_BYTES(Cat({FromHex(c.before), kInit, FromHex("1D 76 30 00 30 00 F0 00"),
                    InkRows(384, 240, 48), FromHex(c.after)}),
               d.writes[0]);

  d.OnEndDoc();
  const std::vector<uint8_t> end = FromHex(c.end);
  if (end.empty()) {
    EXPECT_EQ(d.writes.size(), 1u);
  } else {
    ASSERT_EQ(d.writes.size(), 2u);
    EXPECT_BYTES(end, d.writes[1]);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, EscposPage, ::testing::ValuesIn(kPages),
                         [](const auto& p) { return std::string(p.param.name); });

// The raster head: mode byte from the resolution, the unpadded row length.
struct HeadCase {
  uint32_t width;
  int dpi;
  const char* head;
  uint32_t rowBytes;
};

class EscposHead : public ::testing::TestWithParam<HeadCase> {};

TEST_P(EscposHead, RasterCommand) {
  const HeadCase& c = GetParam();
  Driver d;
  LoadPattern(d, c.width, 3, c.dpi);
  d.PaintPage();
  ASSERT_EQ(d.writes.size(), 1u);
  EXPECT_BYTES(Cat({kInit, FromHex(c.head), InkRows(c.width, 3, c.rowBytes)}), d.writes[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, EscposHead,
    ::testing::Values(HeadCase{384, 100, "1D 76 30 03 30 00 03 00", 48},
                      HeadCase{384, 150, "1D 76 30 00 30 00 03 00", 48},
                      HeadCase{384, 300, "1D 76 30 00 30 00 03 00", 48},
                      // 49 bytes, not the padded 52; the last has 2 zero pad bits.
                      HeadCase{390, 203, "1D 76 30 00 31 00 03 00", 49},
                      HeadCase{2048 * 8 + 1, 203, "1D 76 30 00 01 08 03 00", 2049}));

TEST(EscposRaster, DrawerOpensOnEveryPage) {
  Driver d;
  d.m_reg.iMoneyBox = 1;
  for (int page = 0; page < 2; ++page) {
    LoadPattern(d, 384, 1, 203);
    d.PaintPage();
  }
  ASSERT_EQ(d.writes.size(), 2u);
  EXPECT_BYTES(d.writes[0], d.writes[1]);
  EXPECT_BYTES(kDrawer, Slice(d.writes[1], 0, 5));
}

// A page taller than 16 bits of rows goes as several commands, none of them
// with a wrapped row count.
TEST(EscposRaster, TallPageSplitsAt65535Rows) {
  Driver d;
  const uint32_t rows = 65535 + 4465;
  LoadPattern(d, 16, rows, 203);
  d.PaintPage();
  ASSERT_EQ(d.writes.size(), 1u);
  const std::vector<uint8_t> ink = InkRows(16, rows, 2);
  EXPECT_BYTES(Cat({kInit, FromHex("1D 76 30 00 02 00 FF FF"), Slice(ink, 0, 2 * 65535),
                    FromHex("1D 76 30 00 02 00 71 11"), Slice(ink, 2 * 65535, 2 * 4465)}),
               d.writes[0]);
}

TEST(EscposRaster, ExactlyFullCommandIsNotSplit) {
  Driver d;
  LoadPattern(d, 8, 65535, 203);
  d.PaintPage();
  ASSERT_EQ(d.writes.size(), 1u);
  EXPECT_EQ(d.writes[0].size(), 5u + 8u + 65535u);
}

struct RefusedCase {
  const char* name;
  uint32_t width, height;
  std::function<void(Driver&)> set;
};

class EscposRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(EscposRefused, NothingWritten) {
  const RefusedCase& c = GetParam();
  Driver d;
  LoadPattern(d, c.width, c.height, 203);
  c.set(d);
  d.PaintPage();
  const std::string& messages = d.jobLog.messages;
  EXPECT_NE(messages.find("ERROR: "), std::string::npos) << messages;
  EXPECT_TRUE(d.writes.empty());
  EXPECT_EQ(d.m_cmdBuffer.GetBufferLength(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EscposRefused,
    ::testing::Values(
        // 65536 bytes per row does not fit the 16-bit row length.
        RefusedCase{"TooWide", 65536 * 8, 2, [](Driver&) {}},
        // The limit bites once the buffer has to grow past its first 1024 bytes.
        RefusedCase{"OverBufferLimit", 384, 240,
                    [](Driver& d) { d.m_cmdBuffer.SetMaxBufferSize(4096); }},
        RefusedCase{"FeedOverBufferLimit", 384, 2,
                    [](Driver& d) {
                      d.m_reg.iPostFeed = 100000;
                      d.m_cmdBuffer.SetMaxBufferSize(2048);
                    }}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
