// Time and output size of one receipt-sized page (576 x 2000, 8-bit gray)
// through the engine's page entry point: preparation and each printer
// language's encoder.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "printers/FamilyTable.h"
#include "render/MapOptionSource.h"
#include "render/MemoryPageSource.h"
#include "render/OutputSink.h"

namespace {

// Counts the printer bytes instead of keeping them.
class CountingSink : public IOutputSink {
 public:
  bool Write(const void*, size_t length, size_t* written, int*) override {
    bytes += static_cast<long long>(length);
    *written = length;
    return true;
  }
  const char* Name() const override { return "counter"; }
  long long bytes = 0;
};

std::vector<uint8_t> GrayPage(int w, int h) {
  std::vector<uint8_t> page(static_cast<size_t>(w) * static_cast<size_t>(h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      page[static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)] =
          static_cast<uint8_t>((x * 3 + y / 4) % 256);
  return page;
}

cups_page_header2_t GrayHeader(unsigned w, unsigned h, unsigned dpi) {
  cups_page_header2_t header;
  std::memset(&header, 0, sizeof header);
  header.cupsWidth = w;
  header.cupsHeight = h;
  header.cupsBitsPerColor = 8;
  header.cupsBitsPerPixel = 8;
  header.cupsBytesPerLine = w;
  header.cupsColorSpace = CUPS_CSPACE_W;
  header.cupsColorOrder = CUPS_ORDER_CHUNKED;
  header.HWResolution[0] = header.HWResolution[1] = dpi;
  return header;
}

void BM_Page(benchmark::State& state) {
  const int model = static_cast<int>(state.range(0));
  const int w = 576, h = 2000;
  const std::vector<uint8_t> page = GrayPage(w, h);
  const cups_page_header2_t header = GrayHeader(w, h, 203);
  CMapOptionSource options;
  options.SetChoice("ImageCompress", state.range(1) ? "1" : "0");
  CountingSink sink;
  CBaseRender* driver = tavel::CreateDriver(model);
  driver->SetOptionSource(&options);
  driver->SetOutputSink(&sink);
  driver->GetPrinterParameters();
  for (auto _ : state) {
    CMemoryPageSource rows(page.data(), page.size(), header.cupsBytesPerLine);
    driver->PrintPage(header, rows);
  }
  driver->Release();
  state.counters["bytes/page"] =
      benchmark::Counter(static_cast<double>(sink.bytes) / static_cast<double>(state.iterations()));
}

// {model number, compression}: TSPL, ESC/POS, CPCL, Paperang, PeriPage.
BENCHMARK(BM_Page)
    ->ArgNames({"model", "compress"})
    ->Args({20, 0})
    ->Args({20, 1})
    ->Args({21, 0})
    ->Args({22, 0})
    ->Args({23, 0})
    ->Args({24, 0})
    ->Args({24, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
