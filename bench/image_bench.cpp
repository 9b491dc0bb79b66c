// Cost per pixel of the page preparation steps on a full 576 x 2000 receipt
// page (72 mm at 203 dpi, about 25 cm long): every tone method on the 8-bit
// page, every one-bit geometry operation on the page once it is one bit
// deep, and the white-edge scan and page shift both by the library's
// one-bit helpers and as the page preparation did them pixel by pixel.
// Each iteration starts from a fresh copy of the page, made outside the
// timed region. The counter ns/px is CPU time per pixel.
#include <benchmark/benchmark.h>

#include <string>

#include "image/RasterImage.h"
#include "support/ReferenceImage.h"

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
      for (uint32_t x = 0; x < kWidth; ++x)
        row[x] = static_cast<uint8_t>((x * 255 / kWidth) ^ (y * 7));
    }
    img.SetXDPI(203);
    img.SetYDPI(203);
    return img;
  }();
  return page;
}

// The same page dithered, with a white margin of 40 pixels all round, as
// the geometry steps meet it.
const CRasterImage& Page1() {
  static CRasterImage page = [] {
    CRasterImage img(Page8());
    img.Dither(2);
    for (uint32_t y = 0; y < kHeight; ++y) {
      uint8_t* row = img.GetBits(y);
      for (uint32_t x = 0; x < kWidth; ++x)
        if (y < 40 || y >= kHeight - 40 || x < 40 || x >= kWidth - 40)
          row[x / 8] = static_cast<uint8_t>(row[x / 8] | (0x80 >> (x % 8)));
    }
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
  state.counters["ns/px"] = benchmark::Counter(
      1e-9 * static_cast<double>(kWidth) * kHeight,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void Dither(benchmark::State& state, int method) {
  RunOnFreshPage(state, Page8(), [method](CRasterImage& img) { return img.Dither(method); });
}

void Threshold(benchmark::State& state) {
  RunOnFreshPage(state, Page8(), [](CRasterImage& img) { return img.Threshold(175); });
}

template <typename Op>
void OneBit(benchmark::State& state, Op op) {
  RunOnFreshPage(state, Page1(), op);
}

// Registered by name: the names carry hyphens.
const bool kDitherRegistered = [] {
  const char* const names[10] = {"0 Floyd-Steinberg", "1 Bayer 4x4",           "2 Burkes",
                                 "3 Stucki",          "4 Jarvis-Judice-Ninke", "5 Sierra",
                                 "6 Stevenson-Arce",  "7 ordered 4x4",         "8 Bayer 8x8",
                                 "9 ordered 16x16"};
  for (int method = 0; method < 10; ++method)
    benchmark::RegisterBenchmark((std::string("Dither/") + names[method]).c_str(), Dither, method);
  return true;
}();
BENCHMARK(Threshold);

BENCHMARK_CAPTURE(OneBit, Rotate 90, [](CRasterImage& img) { return img.Rotate(90.0f); });
BENCHMARK_CAPTURE(OneBit, Rotate 270, [](CRasterImage& img) { return img.Rotate(270.0f); });
BENCHMARK_CAPTURE(OneBit, Rotate 180, [](CRasterImage& img) { return img.Rotate(180.0f); });
BENCHMARK_CAPTURE(OneBit, Mirror, [](CRasterImage& img) { return img.Mirror(false, true); });
BENCHMARK_CAPTURE(OneBit, Crop, [](CRasterImage& img) {
  CRasterImage part;
  return img.Crop(37, static_cast<int32_t>(kHeight) - 21, static_cast<int32_t>(kWidth) - 29, 13,
                  &part);
});
BENCHMARK_CAPTURE(OneBit, Ink scan FindInkBounds, [](CRasterImage& img) {
  tagINKBOUNDS bounds;
  return img.FindInkBounds(bounds);
});
BENCHMARK_CAPTURE(OneBit, Shift ShiftOnWhite,
                  [](CRasterImage& img) { return img.ShiftOnWhite(13, -21); });
BENCHMARK_CAPTURE(OneBit, Ink scan pixel by pixel, [](CRasterImage& img) {
  tagINKBOUNDS bounds;
  return ref::InkBounds(img, bounds);
});
BENCHMARK_CAPTURE(OneBit, Shift by copy + Mix,
                  [](CRasterImage& img) { return ref::ShiftOnWhite(img, 13, -21); });

}  // namespace

BENCHMARK_MAIN();
