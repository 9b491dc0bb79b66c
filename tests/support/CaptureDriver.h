// Runs a real driver but keeps what it hands to WriteSpool, one entry per
// call, instead of writing to standard output.
#pragma once

#include <cstdint>
#include <vector>

#include "render/BaseRender.h"

template <class Driver>
class CaptureDriver : public Driver {
 public:
  void WriteSpool(const void* data, int length) override {
    if (length <= 0) return;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    writes.emplace_back(p, p + length);
  }
  // All writes joined.
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> all;
    for (const auto& w : writes) all.insert(all.end(), w.begin(), w.end());
    return all;
  }
  std::vector<std::vector<uint8_t>> writes;
};
