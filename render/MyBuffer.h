// CMyBuffer: growable byte array in which drivers assemble commands.
// Growth is exact (no spare room); appending beyond the maximum discards the
// earlier content first.
#pragma once

#include "image/PageLimits.h"

class CMyBuffer {
 public:
  // A buffer holds at most a page and its commands.
  static const int kDefaultMaxBufferSize = static_cast<int>(tavel::kMaxCommandBytes);

  CMyBuffer();
  virtual ~CMyBuffer();
  CMyBuffer(const CMyBuffer&) = delete;
  CMyBuffer& operator=(const CMyBuffer&) = delete;

  unsigned char* GetBuffer() const { return m_pBuffer; }
  int GetBufferLength() const { return m_nBufferLength; }
  int GetBufferSize() const { return m_nBufferSize; }
  int GetMaxBufferSize() const { return m_nMaxBufferSize; }
  void SetMaxBufferSize(int size) { m_nMaxBufferSize = size; }

  // Returns false when the memory could not be had (the buffer is unchanged).
  bool SetBufferSize(int size);
  void InitBuffer(int size);
  bool AddBuffer(const void* data, int count);
  bool AddByte(unsigned char value);
  bool AddStringA(const char* text);
  bool AddInt(int value);

  // True once an append or a resize could not get memory.
  bool Failed() const { return m_failed; }

 private:
  int m_nBufferLength;
  unsigned char* m_pBuffer;
  int m_nBufferSize;
  int m_nMaxBufferSize;
  bool m_failed;
};
