// CMemoryPageSource: a page whose rows are already in memory, back to back
// at cupsBytesPerLine bytes each.
#pragma once

#include <cstddef>
#include <cstdint>

#include "render/PageSource.h"

class CMemoryPageSource : public IPageSource {
 public:
  CMemoryPageSource(const uint8_t* data, size_t length, uint32_t bytesPerLine);
  uint32_t ReadRows(uint8_t* dst, uint32_t count) override;

 private:
  const uint8_t* m_data;
  size_t m_left;
  uint32_t m_bytesPerLine;
};
