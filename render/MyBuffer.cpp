#include "render/MyBuffer.h"
#include "image/MemoryGate.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

CMyBuffer::CMyBuffer()
    : m_nBufferLength(0), m_pBuffer(nullptr), m_nBufferSize(0),
      m_nMaxBufferSize(kDefaultMaxBufferSize), m_failed(false) {
  SetBufferSize(1024);
  InitBuffer(0);
}

CMyBuffer::~CMyBuffer() {
  std::free(m_pBuffer);
  m_pBuffer = nullptr;
  m_nBufferLength = 0;
  m_nBufferSize = 0;
  m_nMaxBufferSize = 0;
}

// Grows to exactly `size` bytes; never shrinks. The content is kept.
bool CMyBuffer::SetBufferSize(int size) {
  if (size <= 0) return true;
  if (m_pBuffer && m_nBufferSize >= size) return true;
  void* p = tavel::GateRealloc(m_pBuffer, static_cast<size_t>(size));
  if (!p) {
    m_failed = true;
    return false;
  }
  m_pBuffer = static_cast<unsigned char*>(p);
  m_nBufferSize = size;
  return true;
}

void CMyBuffer::InitBuffer(int size) {
  bool ok = true;
  if (size > 0) ok = SetBufferSize(size);
  if (m_pBuffer) std::memset(m_pBuffer, 0, static_cast<size_t>(m_nBufferSize));
  m_nBufferLength = (size > 0 && ok) ? size : 0;
}

bool CMyBuffer::AddBuffer(const void* data, int count) {
  if (count <= 0) return true;
  if (!data) return false;
  long long needed = static_cast<long long>(m_nBufferLength) + count;
  if (needed > m_nBufferSize) {
    if (m_nMaxBufferSize > 0 && needed > m_nMaxBufferSize) {
      // Past the limit the earlier content is given up and the new bytes
      // start the buffer again.
      InitBuffer(0);
      needed = count;
      if (needed > m_nMaxBufferSize) {
        // Not even the new bytes fit under the limit: refuse them.
        m_failed = true;
        return false;
      }
    }
    if (needed > INT_MAX || !SetBufferSize(static_cast<int>(needed))) {
      m_failed = true;
      return false;
    }
  }
  std::memcpy(m_pBuffer + m_nBufferLength, data, static_cast<size_t>(count));
  m_nBufferLength += count;
  return true;
}

bool CMyBuffer::AddByte(unsigned char value) { return AddBuffer(&value, 1); }

bool CMyBuffer::AddStringA(const char* text) {
  if (!text) return true;
  size_t n = std::strlen(text);
  if (n > INT_MAX) return false;
  return AddBuffer(text, static_cast<int>(n));
}

bool CMyBuffer::AddInt(int value) {
  char text[16];
  int n = std::snprintf(text, sizeof text, "%d", value);
  return AddBuffer(text, n);
}
