#include "render/MemoryPageSource.h"

#include <cstring>

CMemoryPageSource::CMemoryPageSource(const uint8_t* data, size_t length, uint32_t bytesPerLine)
    : m_data(data), m_left(data ? length : 0), m_bytesPerLine(bytesPerLine) {}

uint32_t CMemoryPageSource::ReadRows(uint8_t* dst, uint32_t count) {
  if (m_bytesPerLine == 0) return 0;
  const size_t available = m_left / m_bytesPerLine;
  const uint32_t rows = available < count ? static_cast<uint32_t>(available) : count;
  const size_t bytes = static_cast<size_t>(rows) * m_bytesPerLine;
  if (bytes > 0) std::memcpy(dst, m_data, bytes);
  m_data += bytes;
  m_left -= bytes;
  return rows;
}
