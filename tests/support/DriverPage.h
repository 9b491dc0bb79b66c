// One-bit test pages for the printer drivers: a fixed, uneven pattern (so a
// swapped row, a lost byte or a wrong polarity shows), loaded the way the
// job loop leaves a prepared page (bit 1 white, pad bits white).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

inline uint32_t StrideOf(uint32_t width) { return (width + 31) / 32 * 4; }

// Stored rows as the page image holds them, pad bits already white.
inline std::vector<uint8_t> PatternRows(uint32_t width, uint32_t height) {
  const uint32_t stride = StrideOf(width);
  std::vector<uint8_t> rows(static_cast<size_t>(stride) * height);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < stride; ++x) {
      uint8_t v = static_cast<uint8_t>(x * 37 + y * 11 + (x * y) % 7);
      if (x * 8 >= width)
        v = 0xFF;  // pad byte
      else if (width - x * 8 < 8)
        v |= static_cast<uint8_t>(0xFF >> (width - x * 8));  // pad bits of the last byte
      rows[static_cast<size_t>(y) * stride + x] = v;
    }
  return rows;
}

// Loads the pattern page into a driver and sets its resolution.
template <class D>
void LoadPattern(D& d, uint32_t width, uint32_t height, int dpi) {
  const std::vector<uint8_t> rows = PatternRows(width, height);
  ASSERT_TRUE(d.m_image.CreateFromArray(rows.data(), width, height, 1, StrideOf(width), false));
  d.AdjustEffWidthBits();
  d.m_resolution = dpi;
}

// The first rowBytes bytes of each stored row, inverted (bit 1 = dot) with
// the pad bits inside them cleared: what the raster commands carry.
inline std::vector<uint8_t> InkRows(uint32_t width, uint32_t height, uint32_t rowBytes) {
  const std::vector<uint8_t> rows = PatternRows(width, height);
  const uint32_t stride = StrideOf(width);
  std::vector<uint8_t> out;
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < rowBytes; ++x)
      out.push_back(static_cast<uint8_t>(~rows[static_cast<size_t>(y) * stride + x]));
  return out;
}

inline std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

inline std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t from, size_t count) {
  if (from > v.size()) return {};
  if (count > v.size() - from) count = v.size() - from;
  return std::vector<uint8_t>(v.begin() + from, v.begin() + from + count);
}
