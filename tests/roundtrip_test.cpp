// Pages through the filter, as the scheduler runs it, and back through the
// decoder: what the printer would burn must be exactly the page that was
// sent, in every printer language, raw and compressed.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "printers/FamilyTable.h"
#include "render/MapOptionSource.h"
#include "render/MemoryOutputSink.h"
#include "render/MemoryPageSource.h"
#include "support/CupsChain.h"
#include "support/HexDump.h"
#include "support/FilterRunner.h"
#include "support/PpdWriter.h"
#include "support/RasterWriter.h"

namespace {

struct Language {
  const char* name;
  int model;
  bool compress;
};

struct Picture {
  unsigned width, height;
  std::vector<bool> ink;  // row by row
  RasterPage page;
};

// Random dots sent as a one-bit page (bit 0 is black).
Picture RandomOneBit(unsigned w, unsigned h, unsigned seed) {
  Picture p{w, h, std::vector<bool>(size_t{w} * h), UniformPage(MakeHeader(w, h, 1), 0xFF)};
  std::mt19937 rng(seed);
  const unsigned bpl = p.page.header.cupsBytesPerLine;
  for (unsigned y = 0; y < h; ++y)
    for (unsigned x = 0; x < w; ++x)
      if (rng() & 1) {
        p.ink[size_t{y} * w + x] = true;
        p.page.data[size_t{y} * bpl + x / 8] &= static_cast<uint8_t>(~(0x80 >> (x % 8)));
      }
  return p;
}

// Gray stripes and rings sent as 8 bits; the filter's threshold (175) makes
// ink of every value up to it.
Picture PatternedGray(unsigned w, unsigned h) {
  Picture p{w, h, std::vector<bool>(size_t{w} * h), UniformPage(MakeHeader(w, h, 8), 0xFF)};
  for (unsigned y = 0; y < h; ++y)
    for (unsigned x = 0; x < w; ++x) {
      uint8_t v = static_cast<uint8_t>(((x / 3) * 37 + ((x - w / 2) * (x - w / 2) + y * y) / 9) % 256);
      p.page.data[size_t{y} * w + x] = v;
      p.ink[size_t{y} * w + x] = v <= 175;
    }
  return p;
}

class RoundTrip : public ::testing::TestWithParam<Language> {
 protected:
  void Check(const Picture& pic) {
    const Language& lang = GetParam();
    FilterJob job;
    job.ppdPath = WriteTempFile(
        "p.ppd", PpdText(lang.model, {{"ImageFilter", "0", {"0", "3"}},
                                      {"ImageCompress", lang.compress ? "1" : "0", {"0", "1"}}}));
    job.input = WriteRaster({pic.page});
    FilterResult r = RunFilter(job);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    std::string dir = MakeTempDir();
    std::string stream = dir + "/out.bin";
    ASSERT_TRUE(WriteFile(stream, std::string(r.out.begin(), r.out.end())));
    Decoded d = DecodeStream(lang.name, stream, dir + "/page");
    ASSERT_TRUE(d.ok) << d.err;
    ASSERT_EQ(d.pages.size(), 1u) << d.listing;
    const GrayImage& got = d.pages[0];
    ASSERT_GE(got.width, static_cast<int>(pic.width));
    ASSERT_EQ(got.height, static_cast<int>(pic.height));
    for (int y = 0; y < got.height; ++y)
      for (int x = 0; x < got.width; ++x) {
        bool expected = x < static_cast<int>(pic.width) && pic.ink[size_t(y) * pic.width + x];
        ASSERT_EQ(got.Ink(x, y), expected) << "dot " << x << "," << y;
      }
  }
};

TEST_P(RoundTrip, RandomOneBitPage) { Check(RandomOneBit(203, 61, 5)); }

// The engine driven in process, with its settings from a plain map and its
// bytes kept in memory, writes exactly what the filter process writes with
// the same choices marked in its PPD: the front end adds nothing.
TEST_P(RoundTrip, EngineInProcessMatchesFilter) {
  const Language& lang = GetParam();
  const std::map<std::string, std::string> choices = {
      {"ImageFilter", "3"},       {"ImageCompress", lang.compress ? "1" : "0"},
      {"Darkness", "10"},         {"zeMediaTracking", "Gap"},
      {"AdjustHoriaontal", "1"},  {"FeedOffset", "2"},
      {"BeginPrintSound", "EveryPage"}, {"EndPrintSound", "EveryDoc"},
      {"MoneyBox", "AfterPrint"}, {"CutType", "FullCutPage"},
      {"PostAction", "Cutter"}};
  std::vector<PpdOption> options;
  for (const auto& c : choices) options.push_back({c.first, c.second, {c.second}});
  const Picture pic = PatternedGray(384, 97);
  const std::vector<RasterPage> pages = {pic.page, RandomOneBit(203, 61, 5).page};

  FilterJob job;
  job.ppdPath = WriteTempFile("p.ppd", PpdText(lang.model, options, "*ImageMaxLength: \"40\"\n"));
  job.input = WriteRaster(pages);
  const FilterResult r = RunFilter(job);
  ASSERT_EQ(r.exitStatus, 0) << r.err;

  CMapOptionSource settings(choices, {{"ImageMaxLength", "40"}});
  CMemoryOutputSink sink;
  CBaseRender* driver = tavel::CreateDriver(lang.model);
  ASSERT_NE(driver, nullptr);
  driver->SetOptionSource(&settings);
  driver->SetOutputSink(&sink);
  driver->GetPrinterParameters();
  driver->OnStartDoc(0);
  for (const RasterPage& page : pages) {
    CMemoryPageSource rows(page.data.data(), page.data.size(), page.header.cupsBytesPerLine);
    EXPECT_EQ(driver->PrintPage(page.header, rows).outcome, PageOutcome::kPrinted);
  }
  driver->OnEndDoc();
  driver->Release();
  EXPECT_BYTES(r.out, sink.Bytes());
}
TEST_P(RoundTrip, PatternedGrayPage) { Check(PatternedGray(384, 97)); }

INSTANTIATE_TEST_SUITE_P(
    Languages, RoundTrip,
    ::testing::Values(Language{"tspl", 20, false}, Language{"tspl", 20, true},
                      Language{"escpos", 21, false}, Language{"cpcl", 22, false},
                      Language{"paperang", 23, false}, Language{"peripage", 24, false},
                      Language{"peripage", 24, true}),
    [](const auto& p) {
      return std::string(p.param.name) + (p.param.compress ? "Compressed" : "Raw");
    });

}  // namespace
