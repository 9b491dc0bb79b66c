// Every allocation of a small job, made to fail in turn, for every printer
// language: the job never crashes or leaks, a page that did not reach the
// printer whole is reported with an ERROR and sends nothing of itself, and a
// page reported as printed decodes to exactly the page of a job with all the
// memory it wanted.
//
// This test links the engine built with the allocation gate armed
// (TAVEL_ALLOC_GATE), so it drives the engine in process.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "image/MemoryGate.h"
#include "printers/FamilyTable.h"
#include "render/MapOptionSource.h"
#include "render/MemoryOutputSink.h"
#include "render/MemoryPageSource.h"
#include "support/RasterWriter.h"
#include "tools/decode/CpclDecoder.h"
#include "tools/decode/EscposDecoder.h"
#include "tools/decode/PaperangDecoder.h"
#include "tools/decode/PeriPageDecoder.h"
#include "tools/decode/TsplDecoder.h"

namespace {

struct Language {
  const char* name;
  int model;
  bool (*decode)(Stream&);
  std::map<std::string, std::string> choices;
};

// Keeps the messages for the user; the log lines are not needed.
struct Messages : IJobLog {
  void Log(int, const char*) override {}
  void Message(const char* prefix, const char* text) override {
    lines += std::string(prefix) + ": " + text + "\n";
  }
  std::string lines;
};

struct JobRun {
  std::vector<PageOutcome> outcomes;
  std::vector<uint8_t> bytes;
  std::string messages;
  long allocations = 0;  // through the gate, this run
};

// A gray page with text-like edges and a ramp: dithering, turning and
// compression all have work to do.
std::vector<uint8_t> GrayPage(unsigned w, unsigned h) {
  std::vector<uint8_t> page(size_t{w} * h);
  for (unsigned y = 0; y < h; ++y)
    for (unsigned x = 0; x < w; ++x)
      page[size_t{y} * w + x] =
          static_cast<uint8_t>(((x / 5 + y / 3) % 3 == 0) ? 0 : (x * 255 / w) & 0xF0);
  return page;
}


// One document of two pages with the allocation numbered failAt failing.
JobRun RunJob(const Language& lang, long failAt) {
  const unsigned w = 72, h = 40;
  const std::vector<uint8_t> page = GrayPage(w, h);
  const cups_page_header2_t header = MakeHeader(w, h, 8);
  CMapOptionSource settings(lang.choices);
  CMemoryOutputSink sink;
  Messages messages;
  JobRun run;

  tavel::ArmAllocationFailure(failAt);
  CBaseRender* driver = tavel::CreateDriver(lang.model);
  if (!driver) return run;
  driver->SetJobLog(&messages);
  driver->SetOptionSource(&settings);
  driver->SetOutputSink(&sink);
  driver->GetPrinterParameters();
  driver->OnStartDoc(0);
  for (int i = 0; i < 2; ++i) {
    CMemoryPageSource rows(page.data(), page.size(), w);
    run.outcomes.push_back(driver->PrintPage(header, rows).outcome);
  }
  driver->OnEndDoc();
  driver->Release();
  run.allocations = tavel::AllocationsCounted();
  tavel::ArmAllocationFailure(0);
  run.bytes = sink.Bytes();
  run.messages = messages.lines;
  return run;
}

// The decoded pages of a stream, each as its rendered canvas.
std::vector<std::vector<uint8_t>> Decode(const Language& lang, const std::vector<uint8_t>& bytes,
                                         std::string* error) {
  Stream s(bytes, nullptr);
  std::vector<std::vector<uint8_t>> pages;
  if (!lang.decode(s)) *error = s.error;
  for (const Page& p : s.pages) pages.push_back(p.Render());
  return pages;
}

class AllocationFailure : public ::testing::TestWithParam<Language> {};

TEST_P(AllocationFailure, EveryAllocationOfAJob) {
  const Language& lang = GetParam();
  const JobRun whole = RunJob(lang, 0);
  const long allocations = whole.allocations;
  ASSERT_EQ(whole.outcomes, (std::vector<PageOutcome>{PageOutcome::kPrinted, PageOutcome::kPrinted}))
      << whole.messages;
  std::string error;
  const auto wholePages = Decode(lang, whole.bytes, &error);
  ASSERT_EQ(wholePages.size(), 2u) << error;
  ASSERT_GT(allocations, 4);

  for (long n = 1; n <= allocations; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(allocations));
    const JobRun run = RunJob(lang, n);
    size_t printed = 0;
    for (PageOutcome o : run.outcomes) printed += o == PageOutcome::kPrinted;
    // A failed page says so; a job in which every page printed says nothing
    // is wrong (the allocation may have had a fallback: raw instead of
    // compressed).
    if (printed < run.outcomes.size()) {
      EXPECT_NE(run.messages.find("ERROR: "), std::string::npos) << run.messages;
    }
    // Only whole pages reach the printer, and they are the right pages.
    std::string decodeError;
    const auto pages = Decode(lang, run.bytes, &decodeError);
    EXPECT_TRUE(decodeError.empty()) << decodeError << "\n" << run.messages;
    ASSERT_EQ(pages.size(), printed) << run.messages;
    for (const auto& p : pages) EXPECT_EQ(p, wholePages[0]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Languages, AllocationFailure,
    ::testing::Values(
        Language{"TsplCompressed", 20, DecodeTspl,
                 {{"ImageCompress", "1"}, {"Rotate", "1"}, {"ImageFilter", "3"}}},
        Language{"Escpos", 21, DecodeEscpos,
                 {{"CutType", "FullCutPage"}, {"ImageFilter", "1"}, {"CropEdgeTop", "-1"}}},
        Language{"Cpcl", 22, DecodeCpcl, {{"zeMediaTracking", "Gap"}, {"Rotate", "2"}}},
        Language{"Paperang", 23, DecodePaperang, {{"ImageFilter", "6"}}},
        Language{"PeriPageCompressed", 24, DecodePeriPage,
                 {{"ImageCompress", "1"}, {"zeMediaTracking", "Recording"}}}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
