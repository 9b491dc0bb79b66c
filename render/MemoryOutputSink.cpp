#include "render/MemoryOutputSink.h"

bool CMemoryOutputSink::Write(const void* data, size_t length, size_t* written, int*) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  writes.emplace_back(p, p + length);
  *written = length;
  return true;
}

std::vector<uint8_t> CMemoryOutputSink::Bytes() const {
  std::vector<uint8_t> all;
  for (const auto& w : writes) all.insert(all.end(), w.begin(), w.end());
  return all;
}
