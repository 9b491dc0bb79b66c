// Cost of the Paperang Huffman coder on one 576-dot receipt page (72 bytes x
// 2000 rows): building the tree, and coding the rows into 256-byte segments.
// Two contents: a dithered page (nearly every byte value, codes of about
// 8 bits) and a text-like one (mostly white bytes, one-bit codes).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "printers/HfmCode.h"

namespace {

constexpr int kRowBytes = 72;
constexpr int kRows = 2000;
// The Paperang driver's segment limit.
constexpr int kMaxPacket = 256;

std::vector<unsigned char> Page(bool sparse) {
  std::mt19937 rng(3);
  std::vector<unsigned char> page(static_cast<size_t>(kRowBytes) * kRows);
  for (auto& b : page) {
    const unsigned char any = static_cast<unsigned char>(rng());
    b = sparse && rng() % 10 != 0 ? 0 : any;
  }
  return page;
}

void BM_HfmTree(benchmark::State& state) {
  std::vector<unsigned char> page = Page(state.range(0) != 0);
  CHfmCode coder;
  for (auto _ : state) {
    int count = 0;
    HGMRNCODENODE* nodes = coder.GetHfmTree(page.data(), static_cast<int>(page.size()), &count, 0, 0);
    benchmark::DoNotOptimize(nodes);
    free(nodes);
  }
}

void BM_HfmCoding(benchmark::State& state) {
  std::vector<unsigned char> page = Page(state.range(0) != 0);
  CHfmCode coder;
  int count = 0;
  HGMRNCODENODE* nodes = coder.GetHfmTree(page.data(), static_cast<int>(page.size()), &count, 0, 0);
  for (auto _ : state) {
    int segments = 0;
    HFMCODESEGMENT* table =
        coder.HFMDGencoding(nodes, count, page.data(), kRowBytes, kRows, kMaxPacket, &segments);
    if (table == nullptr) {
      state.SkipWithError("coding failed");
      break;
    }
    free(table[0].data);
    free(table);
  }
  free(nodes);
}

// Arg: 0 dithered page, 1 text-like page.
BENCHMARK(BM_HfmTree)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HfmCoding)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
