// Time and output size of one receipt-sized page (576 x 2000, 8-bit gray)
// through the whole preparation and each printer language's encoder.
#include <benchmark/benchmark.h>

#include <vector>

#include "printers/PrinterCPCL.h"
#include "printers/PrinterESCPOS.h"
#include "printers/PrinterPaperang.h"
#include "printers/PrinterPeriPage.h"
#include "printers/PrinterTSPL.h"

namespace {

// Counts the printer bytes instead of writing them.
template <class Driver>
class Counting : public Driver {
 public:
  void WriteSpool(const void*, int length) override { bytes += length > 0 ? length : 0; }
  long long bytes = 0;
};

std::vector<uint8_t> GrayPage(int w, int h) {
  std::vector<uint8_t> page(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      page[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>((x * 3 + y / 4) % 256);
  return page;
}

template <class Driver>
void BM_Page(benchmark::State& state) {
  const int w = 576, h = 2000;
  std::vector<uint8_t> page = GrayPage(w, h);
  Counting<Driver> d;
  d.m_resolution = 203;
  d.m_halftone.bImageCompress = static_cast<uint8_t>(state.range(0));
  for (auto _ : state) {
    d.m_image.CreateFromArray(page.data(), w, h, 8, w, false);
    d.AdjustImage();
    d.OnPaintBmp();
  }
  state.counters["bytes/page"] =
      benchmark::Counter(static_cast<double>(d.bytes) / static_cast<double>(state.iterations()));
}

BENCHMARK_TEMPLATE(BM_Page, CPrinterTSPL)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Page, CPrinterESCPOS)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Page, CPrinterCPCL)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Page, CPrinterPaperang)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Page, CPrinterPeriPage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
