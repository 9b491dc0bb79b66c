// Cost of the page preparation steps on a full 576 x 2000 receipt page (72 mm
// at 203 dpi, about 25 cm long): dithering with the default method, a fixed
// threshold and a quarter turn. Each iteration starts from a fresh copy of the
// 8-bit page, made outside the timed region.
#include <benchmark/benchmark.h>

#include "image/RasterImage.h"

namespace {

constexpr uint32_t kWidth = 576;
constexpr uint32_t kHeight = 2000;

// A gray page with gradients and texture, so that dithering takes both
// branches everywhere.
const CRasterImage& Page8() {
  static CRasterImage page = [] {
    CRasterImage img(kWidth, kHeight, 8);
    img.SetGrayPalette();
    for (uint32_t y = 0; y < kHeight; ++y) {
      uint8_t* row = img.GetBits(y);
      for (uint32_t x = 0; x < kWidth; ++x) row[x] = static_cast<uint8_t>((x * 255 / kWidth) ^ (y * 7));
    }
    img.SetXDPI(203);
    img.SetYDPI(203);
    return img;
  }();
  return page;
}

template <typename Op>
void RunOnFreshPage(benchmark::State& state, const CRasterImage& source, Op op) {
  for (auto _ : state) {
    state.PauseTiming();
    CRasterImage img(source);
    state.ResumeTiming();
    benchmark::DoNotOptimize(op(img));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void BM_Dither2(benchmark::State& state) {
  RunOnFreshPage(state, Page8(), [](CRasterImage& img) { return img.Dither(2); });
}

void BM_Threshold(benchmark::State& state) {
  RunOnFreshPage(state, Page8(), [](CRasterImage& img) { return img.Threshold(175); });
}

void BM_Rotate90(benchmark::State& state) {
  RunOnFreshPage(state, Page8(), [](CRasterImage& img) { return img.Rotate(90.0f); });
}

// The filter turns the page after it is one bit deep.
void BM_Rotate90OneBit(benchmark::State& state) {
  static CRasterImage bw = [] {
    CRasterImage img(Page8());
    img.Threshold(128);
    return img;
  }();
  RunOnFreshPage(state, bw, [](CRasterImage& img) { return img.Rotate(90.0f); });
}

BENCHMARK(BM_Dither2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Threshold)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Rotate90)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Rotate90OneBit)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
