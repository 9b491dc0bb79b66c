// PeriPage streams, byte for byte: the document preamble, the page's own
// commands around the raster, the raw, banded and compressed raster forms,
// and the sounds and drawer per page or per document.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "printers/PrinterPeriPage.h"
#include "support/CaptureDriver.h"
#include "support/DriverPage.h"
#include "support/HexDump.h"
#include "tools/decode/Inflate.h"

namespace {

using Driver = CaptureDriver<CPrinterPeriPage>;

const char* const kBeginBeep = "1F 1B 1F 56 08 09 A0 22";
const char* const kEndBeep = "1F 1B 1F 56 08 09 A0 99";

// Settings for a quiet page: no sounds, no drawer, no feeds.
void Quiet(Driver& d) {
  d.m_reg.iBeginPrintSound = d.m_reg.iEndPrintSound = 0;
  d.m_reg.iMoneyBox = 0;
  d.m_reg.iPreFeed = d.m_reg.iPostFeed = 0;
}

struct PreambleCase {
  const char* name;
  int media, speed, density, densityCommand;
  const char* bytes;
};

const PreambleCase kPreambles[] = {
    {"Continuous", 0, 14, 8, 0,
     "10 FF FE 01 10 FF 10 03 01 1B 40 00 1F 1E 1C 03 08 10 FF 10 00 05 1B 61 01"},
    {"BlackLine", 2, 3, 2, 0,
     "10 FF FE 01 10 FF 10 03 00 1B 40 00 1F 1E 1C 03 03 10 FF 10 00 02 1B 61 01"},
    {"Gap", 1, 8, 5, 0,
     "10 FF FE 01 10 FF 10 03 02 1B 40 00 1F 1E 1C 03 08 10 FF 10 00 05 1B 61 01"},
    {"Perforated", 3, -1, -1, 0, "10 FF FE 01 10 FF 10 03 03 1B 40 00 1B 61 01"},
    {"Roll", 4, -1, -1, 0, "10 FF FE 01 10 FF 10 03 01 1B 40 00 1B 61 01"},
    {"Recording", 5, -1, -1, 0, "10 FF FE 01 10 FF 10 03 01 1B 40 00 1B 61 01"},
    {"TattooHasNoPaperType", 6, -1, -1, 0, "10 FF FE 01 1B 40 00 1B 61 01"},
    {"TattooWrinkleHasNoPaperType", 7, 0, 0, 0,
     "10 FF FE 01 1B 40 00 1F 1E 1C 03 00 10 FF 10 00 00 1B 61 01"},
    {"SecondDensityForm", 0, -1, 15, 1, "10 FF FE 01 10 FF 10 03 01 1B 40 00 1F 1E 1C 02 0F 1B 61 01"},
    {"SecondDensityFormPastRangeIsEight", 0, -1, 16, 1,
     "10 FF FE 01 10 FF 10 03 01 1B 40 00 1F 1E 1C 02 08 1B 61 01"},
    {"SecondDensityFormNegative", 0, -1, -1, 2, "10 FF FE 01 10 FF 10 03 01 1B 40 00 1B 61 01"},
};

class PeriPagePreamble : public ::testing::TestWithParam<PreambleCase> {};

TEST_P(PeriPagePreamble, OneWriteAtDocumentStart) {
  const PreambleCase& c = GetParam();
  Driver d;
  Quiet(d);
  d.m_reg.iMediaType = c.media;
  d.m_reg.iSpeed = c.speed;
  d.m_reg.iDensity = c.density;
  d.m_reg.iDensityCommand = c.densityCommand;
  d.OnStartDoc(0);
  ASSERT_EQ(d.writes.size(), 1u);
  EXPECT_BYTES(FromHex(c.bytes), d.writes[0]);
}

INSTANTIATE_TEST_SUITE_P(Cases, PeriPagePreamble, ::testing::ValuesIn(kPreambles),
                         [](const auto& p) { return std::string(p.param.name); });

// A 384 x 2 page at 203 dpi, uncompressed: bytes before the raster, the
// raster commands' heads (one per band), and the bytes after the last band.
struct PageCase {
  const char* name;
  std::function<void(Driver&)> set;
  const char* before;
  std::vector<const char*> heads;
  const char* after;
};

const PageCase kPages[] = {
    {"Plain", [](Driver&) {}, "", {"1D 76 30 00 30 00 02 00"}, "10 FF FE 45"},
    {"BandsOfOneRow", [](Driver& d) { d.m_reg.iImageMaxLength = 1; }, "",
     {"1D 76 30 00 30 00 01 00", "1D 76 30 00 30 00 01 00"}, "10 FF FE 45"},
    {"BandLongerThanPage", [](Driver& d) { d.m_reg.iImageMaxLength = 50; }, "",
     {"1D 76 30 00 30 00 02 00"}, "10 FF FE 45"},
    {"DrawerBefore", [](Driver& d) { d.m_reg.iMoneyBox = 1; }, "1B 70 00 80 80",
     {"1D 76 30 00 30 00 02 00"}, "10 FF FE 45"},
    {"DrawerAfter", [](Driver& d) { d.m_reg.iMoneyBox = 2; }, "", {"1D 76 30 00 30 00 02 00"},
     "10 FF FE 45 1B 70 00 80 80"},
    {"GapFeedsToMark", [](Driver& d) { d.m_reg.iMediaType = 1; }, "",
     {"1D 76 30 00 30 00 02 00"}, "1D 0C 10 FF FE 45"},
    {"BlackLineFeedsToMark", [](Driver& d) { d.m_reg.iMediaType = 2; }, "",
     {"1D 76 30 00 30 00 02 00"}, "1D 0C 10 FF FE 45"},
    {"PerforatedFeedsToMark", [](Driver& d) { d.m_reg.iMediaType = 3; }, "",
     {"1D 76 30 00 30 00 02 00"}, "1D 0C 10 FF FE 45"},
    {"TattooNoMark", [](Driver& d) { d.m_reg.iMediaType = 6; }, "", {"1D 76 30 00 30 00 02 00"},
     "10 FF FE 45"},
    {"Feeds", [](Driver& d) { d.m_reg.iPreFeed = 10, d.m_reg.iPostFeed = 33; }, "1B 4A 4F",
     {"1D 76 30 00 30 00 02 00"}, "1B 4A FF 1B 4A 08 10 FF FE 45"},
    {"SoundsEveryPage",
     [](Driver& d) { d.m_reg.iBeginPrintSound = d.m_reg.iEndPrintSound = 1; }, kBeginBeep,
     {"1D 76 30 00 30 00 02 00"}, "1F 1B 1F 56 08 09 A0 99 10 FF FE 45"},
    {"Everything",
     [](Driver& d) {
       d.m_reg.iMediaType = 1, d.m_reg.iMoneyBox = 1, d.m_reg.iPreFeed = 1;
       d.m_reg.iPostFeed = 2, d.m_reg.iBeginPrintSound = d.m_reg.iEndPrintSound = 1;
     },
     "1B 70 00 80 80 1B 4A 07 1F 1B 1F 56 08 09 A0 22", {"1D 76 30 00 30 00 02 00"},
     "1D 0C 1B 4A 0F 1F 1B 1F 56 08 09 A0 99 10 FF FE 45"},
    {"NoPerPageCut", [](Driver& d) { d.m_reg.iCutType = 3; }, "", {"1D 76 30 00 30 00 02 00"},
     "10 FF FE 45"},
    {"HundredDpiMode",
     [](Driver& d) { d.m_resolution = 100; }, "", {"1D 76 30 03 30 00 02 00"}, "10 FF FE 45"},
};

class PeriPagePage : public ::testing::TestWithParam<PageCase> {};

TEST_P(PeriPagePage, OneWritePerPage) {
  const PageCase& c = GetParam();
  Driver d;
  Quiet(d);
  LoadPattern(d, 384, 2, 203);
  c.set(d);
  d.PaintPage();

  const std::vector<uint8_t> ink = InkRows(384, 2, 48);
  std::vector<uint8_t> expected = FromHex(c.before);
  const size_t rowsPerBand = 2 / c.heads.size();
  for (size_t i = 0; i < c.heads.size(); ++i)
    expected = Cat({expected, FromHex(c.heads[i]), Slice(ink, i * rowsPerBand * 48, rowsPerBand * 48)});
  expected = Cat({expected, FromHex(c.after)});
  ASSERT_EQ(d.writes.size(), 1u);
  EXPECT_BYTES(expected, d.writes[0]);
}

INSTANTIATE_TEST_SUITE_P(Cases, PeriPagePage, ::testing::ValuesIn(kPages),
                         [](const auto& p) { return std::string(p.param.name); });

// Splits a compressed page into its blocks: {header, inflated rows}.
struct Block {
  std::vector<uint8_t> head;  // 1F 00 wH wL hH hL
  std::vector<uint8_t> rows;
  bool intact = false;  // inflates to the declared size, Adler-32 trailer right
};

std::vector<Block> ParseBlocks(const std::vector<uint8_t>& page, size_t at, size_t* end) {
  std::vector<Block> blocks;
  while (at + 10 <= page.size() && page[at] == 0x1F && page[at + 1] == 0x00) {
    Block b;
    b.head = Slice(page, at, 6);
    const size_t length = (size_t(page[at + 6]) << 24) | (size_t(page[at + 7]) << 16) |
                          (size_t(page[at + 8]) << 8) | page[at + 9];
    const std::vector<uint8_t> payload = Slice(page, at + 10, length);
    // Deflate data, then the big-endian Adler-32 of the rows; no zlib header.
    const uint64_t declared = uint64_t(page[at + 2] << 8 | page[at + 3]) *
                              uint64_t(page[at + 4] << 8 | page[at + 5]);
    size_t used = 0;
    std::string err;
    b.intact = Inflate(payload.data(), payload.size(), ZFormat::RawAdler32, declared, b.rows, used,
                       err) &&
               used == payload.size();
    blocks.push_back(b);
    at += 10 + length;
  }
  *end = at;
  return blocks;
}

struct CompressedCase {
  uint32_t width, height;
  int dpi;
  uint32_t widthBytes;
  const char* head;
};

class PeriPageCompressed : public ::testing::TestWithParam<CompressedCase> {};

TEST_P(PeriPageCompressed, OneBlockOfLeftmostBytes) {
  const CompressedCase& c = GetParam();
  Driver d;
  Quiet(d);
  LoadPattern(d, c.width, c.height, c.dpi);
  d.m_halftone.bImageCompress = 1;
  d.m_reg.iImageMaxLength = 1;  // no bands in compressed form
  d.PaintPage();
  ASSERT_EQ(d.writes.size(), 1u);
  size_t end = 0;
  const std::vector<Block> blocks = ParseBlocks(d.writes[0], 0, &end);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_BYTES(FromHex(c.head), blocks[0].head);
  EXPECT_BYTES(InkRows(c.width, c.height, c.widthBytes), blocks[0].rows);
  EXPECT_TRUE(blocks[0].intact);
  EXPECT_BYTES(FromHex("10 FF FE 45"), Slice(d.writes[0], end, 100));
}

INSTANTIATE_TEST_SUITE_P(
    Pages, PeriPageCompressed,
    ::testing::Values(CompressedCase{384, 2, 203, 48, "1F 00 00 30 00 02"},
                      CompressedCase{390, 5, 203, 49, "1F 00 00 31 00 05"},
                      CompressedCase{3000, 3, 203, 208, "1F 00 00 D0 00 03"},
                      CompressedCase{3000, 3, 300, 312, "1F 00 01 38 00 03"},
                      CompressedCase{3000, 3, 204, 312, "1F 00 01 38 00 03"},
                      CompressedCase{1664, 3, 203, 208, "1F 00 00 D0 00 03"}));

TEST(PeriPageCompressed, NoCapWithoutCompression) {
  Driver d;
  Quiet(d);
  LoadPattern(d, 3000, 1, 203);
  d.PaintPage();
  ASSERT_EQ(d.writes.size(), 1u);
  EXPECT_BYTES(Cat({FromHex("1D 76 30 00 77 01 01 00"), InkRows(3000, 1, 375),
                    FromHex("10 FF FE 45")}),
               d.writes[0]);
}

// Sounds and the document-end cut over a two-page job.
struct JobCase {
  const char* name;
  std::function<void(Driver&)> set;
  size_t writes;
  const char* afterPreamble;  // second write, or "" when none
  const char* last;           // last write of the job, "" when it is a page
};

const JobCase kJobs[] = {
    {"SoundsPerDocument",
     [](Driver& d) { d.m_reg.iBeginPrintSound = d.m_reg.iEndPrintSound = 2; }, 5, kBeginBeep,
     kEndBeep},
    {"NoSounds", [](Driver&) {}, 3, "", ""},
    {"CutAtDocumentEnd", [](Driver& d) { d.m_reg.iCutType = 1; }, 4, "", "1D 56 30"},
    {"EndBeepThenCut",
     [](Driver& d) { d.m_reg.iEndPrintSound = 2, d.m_reg.iCutType = 2; }, 5, "", "1D 56 31"},
};

class PeriPageJob : public ::testing::TestWithParam<JobCase> {};

TEST_P(PeriPageJob, WritesOfTheWholeJob) {
  const JobCase& c = GetParam();
  Driver d;
  Quiet(d);
  c.set(d);
  d.OnStartDoc(0);
  for (int page = 0; page < 2; ++page) {
    LoadPattern(d, 384, 2, 203);
    d.PaintPage();
  }
  d.OnEndDoc();
  ASSERT_EQ(d.writes.size(), c.writes);
  const size_t firstPage = *c.afterPreamble ? 2 : 1;
  if (*c.afterPreamble) {
    EXPECT_BYTES(FromHex(c.afterPreamble), d.writes[1]);
  }
  // The pages themselves carry no beep.
  const std::vector<uint8_t> page =
      Cat({FromHex("1D 76 30 00 30 00 02 00"), InkRows(384, 2, 48), FromHex("10 FF FE 45")});
  EXPECT_BYTES(page, d.writes[firstPage]);
  EXPECT_BYTES(page, d.writes[firstPage + 1]);
  if (*c.last) {
    EXPECT_BYTES(FromHex(c.last), d.writes.back());
  }
  if (std::string(c.name) == "EndBeepThenCut") {
    EXPECT_BYTES(FromHex(kEndBeep), d.writes[3]);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, PeriPageJob, ::testing::ValuesIn(kJobs),
                         [](const auto& p) { return std::string(p.param.name); });

// A page that never got an image: no rows at all.
TEST(PeriPageEmpty, ZeroRowsBandedSendsNoRaster) {
  Driver d;
  Quiet(d);
  d.m_resolution = 203;
  d.m_reg.iImageMaxLength = 8;
  d.PaintPage();
  ASSERT_EQ(d.writes.size(), 1u);
  EXPECT_BYTES(FromHex("10 FF FE 45"), d.writes[0]);
}

TEST(PeriPageEmpty, ZeroRowsUnbandedSendsEmptyRaster) {
  Driver d;
  Quiet(d);
  d.m_resolution = 203;
  d.PaintPage();
  ASSERT_EQ(d.writes.size(), 1u);
  EXPECT_BYTES(FromHex("1D 76 30 00 00 00 00 00 10 FF FE 45"), d.writes[0]);
}

// Row counts above 16 bits are split so that no field wraps.
struct TallCase {
  const char* name;
  int band;
  bool compress;
  std::vector<uint32_t> pieces;
};

class PeriPageTall : public ::testing::TestWithParam<TallCase> {};

TEST_P(PeriPageTall, PiecesOfAtMost65535Rows) {
  const TallCase& c = GetParam();
  const uint32_t rows = 70000;
  Driver d;
  Quiet(d);
  LoadPattern(d, 16, rows, 203);
  d.m_reg.iImageMaxLength = c.band;
  d.m_halftone.bImageCompress = c.compress;
  d.PaintPage();
  ASSERT_EQ(d.writes.size(), 1u);
  const std::vector<uint8_t>& out = d.writes[0];
  const std::vector<uint8_t> ink = InkRows(16, rows, 2);

  if (c.compress) {
    size_t end = 0;
    const std::vector<Block> blocks = ParseBlocks(out, 0, &end);
    ASSERT_EQ(blocks.size(), c.pieces.size());
    size_t row = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
      const uint32_t n = c.pieces[i];
      EXPECT_BYTES(FromHex("1F 00 00 02"), Slice(blocks[i].head, 0, 4));
      EXPECT_EQ(blocks[i].head[4] * 256 + blocks[i].head[5], int(n));
      EXPECT_BYTES(Slice(ink, row * 2, n * 2), blocks[i].rows);
      row += n;
    }
    EXPECT_EQ(end + 4, out.size());
    return;
  }
  std::vector<uint8_t> expected;
  size_t row = 0;
  for (uint32_t n : c.pieces) {
    expected = Cat({expected, FromHex("1D 76 30 00 02 00"), {uint8_t(n & 0xFF), uint8_t(n >> 8)},
                    Slice(ink, row * 2, n * 2)});
    row += n;
  }
  EXPECT_BYTES(Cat({expected, FromHex("10 FF FE 45")}), out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PeriPageTall,
    ::testing::Values(TallCase{"Unbanded", 0, false, {65535, 4465}},
                      TallCase{"BandAbove16Bits", 100000, false, {65535, 4465}},
                      TallCase{"Banded", 30000, false, {30000, 30000, 10000}},
                      TallCase{"Compressed", 0, true, {65535, 4465}}),
    [](const auto& p) { return std::string(p.param.name); });

// Recording paper loses its white lead-in and tail, not its side margins.
TEST(PeriPageRecording, WhiteRowsCutAtTopAndBottom) {
  const uint32_t width = 384, height = 10;
  std::vector<uint8_t> rows(48 * height, 0xFF);
  for (uint32_t y = 3; y < 7; ++y) rows[y * 48 + 20] = static_cast<uint8_t>(0xF0 | y);
  Driver d;
  Quiet(d);
  ASSERT_TRUE(d.m_image.CreateFromArray(rows.data(), width, height, 1, 48, false));
  d.AdjustEffWidthBits();
  d.m_resolution = 203;
  d.m_reg.iMediaType = 5;
  d.PaintPage();
  std::vector<uint8_t> ink(48 * 4, 0);
  for (uint32_t y = 0; y < 4; ++y) ink[y * 48 + 20] = static_cast<uint8_t>(~(0xF0 | (y + 3)));
  ASSERT_EQ(d.writes.size(), 1u);
  EXPECT_BYTES(Cat({FromHex("1D 76 30 00 30 00 04 00"), ink, FromHex("10 FF FE 45")}),
               d.writes[0]);
}

TEST(PeriPageRefused, TooWideUncompressedWritesNothing) {
  Driver d;
  Quiet(d);
  LoadPattern(d, 65536 * 8, 1, 203);
  d.PaintPage();
  EXPECT_TRUE(d.writes.empty());
  EXPECT_EQ(d.m_cmdBuffer.GetBufferLength(), 0);
}

TEST(PeriPageRefused, OverBufferLimitWritesNothing) {
  for (bool compress : {false, true}) {
    SCOPED_TRACE(compress);
    Driver d;
    Quiet(d);
    LoadPattern(d, 384, 240, 203);
    d.m_halftone.bImageCompress = compress;
    d.m_cmdBuffer.SetMaxBufferSize(32);
    d.PaintPage();
    EXPECT_TRUE(d.writes.empty());
  }
}

}  // namespace
