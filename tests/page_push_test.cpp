// Rows pushed into the engine: whatever the chunking, the colour space or
// the way the page ends, a pushed page prints exactly what the same page
// read from a source prints; copies, drawn pages and the per-page tone
// choice each checked against the page printed the plain way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "printers/FamilyTable.h"
#include "render/BaseRender.h"
#include "render/MapOptionSource.h"
#include "render/MemoryOutputSink.h"
#include "render/MemoryPageSource.h"
#include "render/PageTones.h"
#include "support/RasterWriter.h"

namespace {

constexpr int kTsplModel = 20;

struct Messages : IJobLog {
  void Log(int, const char*) override {}
  void Message(const char* prefix, const char* text) override {
    if (std::string(prefix) == "ERROR") errors += std::string(text) + "\n";
  }
  std::string errors;
};

// One job on a real driver; `pages` drives the engine, the printer bytes
// and the error messages come back.
struct Job {
  explicit Job(const std::string& grayMethod = "3")
      : settings({{"ImageFilter", grayMethod}}), driver(tavel::CreateDriver(kTsplModel)) {
    driver->SetOptionSource(&settings);
    driver->SetOutputSink(&sink);
    driver->SetJobLog(&log);
    driver->GetPrinterParameters();
    driver->OnStartDoc(0);
  }
  ~Job() { driver->Release(); }
  std::vector<uint8_t> End() {
    driver->OnEndDoc();
    return sink.Bytes();
  }
  CMapOptionSource settings;
  CMemoryOutputSink sink;
  Messages log;
  CBaseRender* driver;
};

RasterPage Noise(cups_page_header2_t h, unsigned seed) {
  RasterPage p{h, std::vector<uint8_t>(size_t(h.cupsBytesPerLine) * h.cupsHeight)};
  std::mt19937 rng(seed);
  for (uint8_t& b : p.data) b = static_cast<uint8_t>(rng());
  return p;
}

std::vector<uint8_t> Pulled(const RasterPage& page, int copies = 1, const char* method = "3") {
  Job job(method);
  for (int i = 0; i < copies; ++i) {
    CMemoryPageSource rows(page.data.data(), page.data.size(), page.header.cupsBytesPerLine);
    EXPECT_EQ(job.driver->PrintPage(page.header, rows).outcome, PageOutcome::kPrinted);
  }
  return job.End();
}

void Push(CBaseRender* driver, const RasterPage& page, uint32_t rows, uint32_t chunk) {
  const uint32_t bpl = page.header.cupsBytesPerLine;
  for (uint32_t y = 0; y < rows; y += chunk)
    driver->PushRows(page.data.data() + size_t(y) * bpl, std::min(chunk, rows - y));
}

TEST(PagePush, MatchesThePageReadFromASource) {
  // Wide enough that one push of the whole page spans several of the
  // engine's conversion chunks.
  const struct {
    const char* what;
    cups_page_header2_t header;
  } kinds[] = {
      {"1-bit white", MakeHeader(203, 61, 1, CUPS_CSPACE_W)},
      {"8-bit gray", MakeHeader(300, 97, 8, CUPS_CSPACE_SW)},
      {"8-bit ink", MakeHeader(3000, 700, 8, CUPS_CSPACE_K)},
      {"24-bit RGB", MakeHeader(2000, 400, 24, CUPS_CSPACE_RGB)},
      {"32-bit RGBA", MakeHeader(1500, 300, 32, CUPS_CSPACE_RGBA)},
  };
  for (const auto& kind : kinds) {
    const RasterPage page = Noise(kind.header, 7);
    const std::vector<uint8_t> expected = Pulled(page);
    for (uint32_t chunk : {1u, 13u, kind.header.cupsHeight}) {
      Job job;
      ASSERT_TRUE(job.driver->BeginPage(page.header)) << kind.what;
      Push(job.driver, page, page.header.cupsHeight, chunk);
      const PageResult r = job.driver->EndPage();
      EXPECT_EQ(r.outcome, PageOutcome::kPrinted) << kind.what;
      EXPECT_FALSE(r.truncated) << kind.what;
      EXPECT_TRUE(job.End() == expected) << kind.what << ", " << chunk << " rows a push";
    }
  }
}

// Rows that never came: a short page is reported and printed with white
// rows, one with no row at all is not printed, unless the front end says
// the rest is white paper.
TEST(PagePush, MissingRowsAreWhite) {
  const RasterPage page = Noise(MakeHeader(200, 40, 8, CUPS_CSPACE_K), 3);
  RasterPage halfWhite = page;
  std::fill(halfWhite.data.begin() + 20 * 200, halfWhite.data.end(), 0);  // ink space: white
  const std::vector<uint8_t> blankHalf = Pulled(halfWhite);
  const std::vector<uint8_t> allWhite = Pulled(UniformPage(page.header, 0));
  const struct {
    uint32_t rows;
    bool blankRest;
    PageOutcome outcome;
    bool truncated;
    const std::vector<uint8_t>* printed;  // null: only the document framing
  } cases[] = {
      {20, false, PageOutcome::kPrinted, true, &blankHalf},
      {20, true, PageOutcome::kPrinted, false, &blankHalf},
      {0, false, PageOutcome::kNoData, true, nullptr},
      {0, true, PageOutcome::kPrinted, false, &allWhite},
  };
  Job empty;
  const std::vector<uint8_t> framing = empty.End();
  for (const auto& c : cases) {
    const std::string what = std::to_string(c.rows) + (c.blankRest ? " rows, rest blank" : " rows");
    Job job;
    ASSERT_TRUE(job.driver->BeginPage(page.header));
    Push(job.driver, page, c.rows, 7);
    if (c.blankRest) job.driver->BlankRest();
    const PageResult r = job.driver->EndPage();
    EXPECT_EQ(r.outcome, c.outcome) << what;
    EXPECT_EQ(r.truncated, c.truncated) << what;
    EXPECT_EQ(job.log.errors.find("The print data ended inside page 1.") != std::string::npos,
              c.truncated)
        << what << ": " << job.log.errors;
    EXPECT_TRUE(job.End() == (c.printed ? *c.printed : framing)) << what;
  }
}

TEST(PagePush, CopiesPrintTheKeptPage) {
  const RasterPage page = Noise(MakeHeader(400, 90, 8, CUPS_CSPACE_SW), 11);
  Job job;
  ASSERT_TRUE(job.driver->BeginPage(page.header));
  Push(job.driver, page, page.header.cupsHeight, 90);
  EXPECT_EQ(job.driver->EndPage(true).outcome, PageOutcome::kPrinted);
  EXPECT_EQ(job.driver->PrintPageCopy(true).outcome, PageOutcome::kPrinted);
  EXPECT_EQ(job.driver->PrintPageCopy(false).outcome, PageOutcome::kPrinted);
  EXPECT_EQ(job.driver->PageNumber(), 3);
  // Nothing is kept after the last copy.
  EXPECT_EQ(job.driver->PrintPageCopy(false).outcome, PageOutcome::kRefused);
  EXPECT_NE(job.log.errors.find("Page 4 can't be printed"), std::string::npos) << job.log.errors;
  EXPECT_TRUE(job.End() == Pulled(page, 3));
}

// A page the front end draws itself: white until drawn, then exactly the
// 8-bit page pushed row by row. A dropped page is not counted.
TEST(PagePush, DrawnPagesAndDroppedPages) {
  const cups_page_header2_t gray = MakeHeader(250, 60, 8, CUPS_CSPACE_SW);
  const RasterPage page = Noise(gray, 5);
  for (bool draw : {false, true}) {
    Job job;
    ASSERT_TRUE(job.driver->AcceptPage(MakeHeader(10, 10, 1, CUPS_CSPACE_W)).ok);
    job.driver->AbandonPage();
    ASSERT_TRUE(job.driver->AcceptPage(MakeHeader(5000, 20, 24, CUPS_CSPACE_RGB)).ok);
    size_t stride = 0;
    uint8_t* rows = job.driver->DrawPage(gray, &stride);
    ASSERT_NE(rows, nullptr);
    ASSERT_GE(stride, gray.cupsWidth);
    for (uint32_t y = 0; draw && y < gray.cupsHeight; ++y)
      std::memcpy(rows + y * stride, page.data.data() + y * gray.cupsWidth, gray.cupsWidth);
    EXPECT_EQ(job.driver->EndPage().outcome, PageOutcome::kPrinted);
    EXPECT_EQ(job.driver->PageNumber(), 1);
    EXPECT_TRUE(job.End() == Pulled(draw ? page : UniformPage(gray, 255))) << draw;
  }
  Job job;
  ASSERT_TRUE(job.driver->AcceptPage(gray).ok);
  size_t stride = 0;
  EXPECT_EQ(job.driver->DrawPage(MakeHeader(250, 60, 1, CUPS_CSPACE_W), &stride), nullptr);
  EXPECT_NE(job.log.errors, "");
}

// The per-page tone choice against the configured method (3, a dither)
// and the threshold (0): auto dithers a photo and thresholds line art.
TEST(PagePush, PageTonesPickTheMethod) {
  const cups_page_header2_t h = MakeHeader(240, 120, 8, CUPS_CSPACE_SW);
  RasterPage photo{h, std::vector<uint8_t>(240 * 120)};
  for (uint32_t y = 0; y < 120; ++y)
    for (uint32_t x = 0; x < 240; ++x) photo.data[y * 240 + x] = uint8_t(64 + (x + y) / 3);
  RasterPage lineArt = UniformPage(h, 255);
  for (uint32_t y = 20; y < 100; y += 8)
    for (uint32_t x = 10; x < 230; ++x) lineArt.data[y * 240 + x] = x % 5 ? 0 : 128;
  const struct {
    const char* what;
    const RasterPage* page;
    PageTones tones;
    const char* sameAsMethod;
  } cases[] = {
      {"photo, auto", &photo, PageTones::kAuto, "3"},
      {"line art, auto", &lineArt, PageTones::kAuto, "0"},
      {"photo, threshold", &photo, PageTones::kThreshold, "0"},
      {"photo, configured", &photo, PageTones::kConfigured, "3"},
  };
  ASSERT_FALSE(Pulled(photo, 1, "3") == Pulled(photo, 1, "0"));
  for (const auto& c : cases) {
    Job job("3");
    job.driver->SetPageTones(c.tones);
    ASSERT_TRUE(job.driver->BeginPage(h));
    Push(job.driver, *c.page, h.cupsHeight, h.cupsHeight);
    job.driver->EndPage();
    EXPECT_TRUE(job.End() == Pulled(*c.page, 1, c.sameAsMethod)) << c.what;
  }
}

// The automatic tone choice: line art (with anti-aliased edges two
// pixels wide) is thresholded, gray areas are dithered.
TEST(PageTones, TellsLineArtFromContinuousTone) {
  const uint32_t w = 200, h = 100;
  struct Row {
    const char* what;
    int edge;        // gray edge pixels each side of the bars
    uint32_t grayRows;  // rows of a gray ramp under the bars
    bool inverted;
    bool tone;
  };
  const Row rows[] = {{"bars", 0, 0, false, false},
                      {"anti-aliased bars", 2, 0, false, false},
                      {"a thin ramp", 1, 1, false, false},
                      {"a ramp", 1, 20, false, true},
                      {"a ramp, 0 is white", 1, 20, true, true}};
  for (const Row& r : rows) {
    std::vector<uint8_t> page(size_t(w) * h, 255);
    for (uint32_t y = 10; y < 40; ++y)
      for (uint32_t x = 0; x < w; ++x) {
        const uint32_t phase = x % 20;  // 8 black, then white, with edges between
        if (phase < 8) page[y * w + x] = 0;
        else if (phase < 8u + uint32_t(r.edge)) page[y * w + x] = 128;
      }
    for (uint32_t y = 50; y < 50 + r.grayRows; ++y)
      for (uint32_t x = 0; x < w; ++x) page[y * w + x] = uint8_t(64 + x * 127 / w);
    if (r.inverted)
      for (uint8_t& v : page) v = uint8_t(255 - v);
    EXPECT_EQ(tavel::IsContinuousTone(page.data(), w, h, w, r.inverted), r.tone) << r.what;
  }
}

}  // namespace
