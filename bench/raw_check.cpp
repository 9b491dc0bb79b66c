// How long the printer application's check of a raw job takes (decoder,
// explanation, page sizes; RawJob.h), and the memory it needs: a TSPL
// label job of PAGES pages of 4 x 6 in at 203 dpi, drawn by the engine
// with a bar on each page, checked RUNS times. The check holds no page, so
// its memory should stay at one page's however many pages there are.
//
//   raw_check [PAGES] [RUNS]
//
// Prints "raw check\t<MB>\tMB\t<ms>\tms\t<KB>\tKB more": the job's size, the
// best time, and how much the check added to the largest resident memory.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/RawJob.h"
#include "printers/FamilyTable.h"
#include "render/MapOptionSource.h"
#include "render/MemoryOutputSink.h"
#include "render/MemoryPageSource.h"

namespace {

constexpr unsigned kWidth = 832, kHeight = 1218, kDpi = 203;  // 4 x 6 in

std::vector<uint8_t> LabelJob(int pages) {
  cups_page_header2_t header{};
  header.cupsWidth = kWidth;
  header.cupsHeight = kHeight;
  header.cupsBitsPerPixel = header.cupsBitsPerColor = 8;
  header.cupsBytesPerLine = kWidth;
  header.cupsColorSpace = CUPS_CSPACE_K;
  header.HWResolution[0] = header.HWResolution[1] = kDpi;
  header.PageSize[0] = kWidth * 72 / kDpi;
  header.PageSize[1] = kHeight * 72 / kDpi;
  std::vector<uint8_t> page(size_t{kWidth} * kHeight, 0);
  for (unsigned y = 100; y < 300; ++y) std::fill_n(page.begin() + y * kWidth + 100, 600, 255);
  CMapOptionSource settings({{"ImageFilter", "0"}}, {});
  CMemoryOutputSink sink;
  CBaseRender* driver = tavel::FamilyInfo(tavel::Family::kTspl).create();
  driver->SetOptionSource(&settings);
  driver->SetOutputSink(&sink);
  driver->GetPrinterParameters();
  driver->OnStartDoc(0);
  for (int i = 0; i < pages; ++i) {
    CMemoryPageSource rows(page.data(), page.size(), kWidth);
    driver->PrintPage(header, rows);
  }
  driver->OnEndDoc();
  driver->Release();
  return sink.Bytes();
}

}  // namespace

int main(int argc, char** argv) {
  const int pages = argc > 1 ? std::atoi(argv[1]) : 200;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::vector<uint8_t> job = LabelJob(pages);
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  const long before = usage.ru_maxrss;
  double best = 1e9;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const tavel::RawVerdict verdict =
        tavel::CheckRawStream(job, tavel::Family::kTspl, true, kDpi, {kWidth, kHeight});
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!verdict.print) {
      std::fprintf(stderr, "raw_check: refused: %s\n", verdict.refusal.c_str());
      return 1;
    }
    best = std::min(best, ms);
  }
  getrusage(RUSAGE_SELF, &usage);
  std::printf("raw check\t%.2f\tMB\t%.1f\tms\t%ld\tKB more\n", static_cast<double>(job.size()) / 1e6,
              best, usage.ru_maxrss - before);
  return 0;
}
