// zlib decompression with the checks a decoder of untrusted streams needs:
// the declared size is checked before it sizes memory, and the result must
// be exactly that size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class ZFormat {
  Zlib,       // RFC 1950: header, deflate data, Adler-32 (zlib checks it)
  RawAdler32  // deflate data then a big-endian Adler-32, no header
};

// Decompresses in[0..n) into exactly `expected` bytes. `consumed` receives
// how many input bytes the stream took (trailer included). On failure
// returns false with a reason in err.
bool Inflate(const uint8_t* in, size_t n, ZFormat format, uint64_t expected,
             std::vector<uint8_t>& out, size_t& consumed, std::string& err);
