// Small helpers the command-language drivers share for assembling bytes.
#pragma once

#include <climits>
#include <cstdint>

#include "render/MyBuffer.h"

namespace tavel {

// Appends count bytes and confirms they all landed after what was already
// there. A CMyBuffer that hits its size limit drops its earlier content, and
// one that cannot get memory keeps what it had; either would leave a page
// with missing bytes, so both count as failure here.
inline bool AppendAll(CMyBuffer& dst, const void* data, int64_t count) {
  if (count < 0) return false;
  if (count == 0) return true;
  const int64_t before = dst.GetBufferLength();
  if (count > INT_MAX || before + count > INT_MAX) return false;
  if (!dst.AddBuffer(data, static_cast<int>(count))) return false;
  return dst.GetBufferLength() == before + count;
}

// Appends a builder's scratch buffer; a scratch buffer that lost an append of
// its own is not passed on.
inline bool AppendAll(CMyBuffer& dst, const CMyBuffer& src) {
  if (src.Failed()) return false;
  return AppendAll(dst, src.GetBuffer(), src.GetBufferLength());
}

// rows x bytes per row as a buffer length, or -1 when it does not fit an int.
inline int64_t BlockLength(uint64_t bytesPerRow, uint64_t rows) {
  const uint64_t limit = static_cast<uint64_t>(INT_MAX);
  if (bytesPerRow > limit || rows > limit) return -1;
  if (bytesPerRow != 0 && rows > limit / bytesPerRow) return -1;
  return static_cast<int64_t>(bytesPerRow * rows);
}

}  // namespace tavel
