// CMemoryOutputSink: keeps every write in memory, one entry per write, so a
// test or a benchmark sees exactly what a printer would have received and in
// how many pieces.
#pragma once

#include <cstdint>
#include <vector>

#include "render/OutputSink.h"

class CMemoryOutputSink : public IOutputSink {
 public:
  bool Write(const void* data, size_t length, size_t* written, int* error) override;
  const char* Name() const override { return "memory"; }

  // All writes joined.
  std::vector<uint8_t> Bytes() const;
  void Clear() { writes.clear(); }

  std::vector<std::vector<uint8_t>> writes;
};
