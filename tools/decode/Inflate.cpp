#include "Inflate.h"

#include <zlib.h>

#include <cstring>

#include "Page.h"
#include "Stream.h"

bool Inflate(const uint8_t* in, size_t n, ZFormat format, uint64_t expected,
             std::vector<uint8_t>& out, size_t& consumed, std::string& err) {
  // Deflate cannot expand a byte into more than 1032; a size beyond that
  // is a lie, and believing it would cost memory.
  if (expected > kMaxPageBytes || expected > uint64_t(n) * 1032 + 64) {
    err = Format("declared size %llu bytes cannot come from %zu compressed bytes",
                 (unsigned long long)expected, n);
    return false;
  }
  if (n > 0xFFFFFFFFu) {
    err = "compressed block too large";
    return false;
  }
  // One spare byte shows whether the stream holds more than declared.
  out.assign(size_t(expected) + 1, 0);
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (inflateInit2(&z, format == ZFormat::Zlib ? 15 : -15) != Z_OK) {
    err = "zlib init failed";
    return false;
  }
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = uInt(n);
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  int rc;
  do {
    rc = inflate(&z, Z_NO_FLUSH);
  } while (rc == Z_OK && z.avail_out > 0);
  const uint64_t produced = z.total_out;
  consumed = z.total_in;
  const std::string zmsg = z.msg ? z.msg : "";
  inflateEnd(&z);

  if (produced > expected) {
    err = Format("compressed data holds more than the declared %llu bytes",
                 (unsigned long long)expected);
    return false;
  }
  if (rc == Z_DATA_ERROR && zmsg == "incorrect data check") {
    err = "bad Adler-32 of the decompressed data";
    return false;
  }
  if (rc == Z_BUF_ERROR || (rc == Z_OK && z.avail_in == 0)) {
    err = Format("compressed data ends early (%llu of %llu bytes decompressed)",
                 (unsigned long long)produced, (unsigned long long)expected);
    return false;
  }
  if (rc != Z_STREAM_END) {
    err = "bad compressed data" + (zmsg.empty() ? std::string() : ": " + zmsg);
    return false;
  }
  if (produced != expected) {
    err = Format("compressed data holds %llu bytes, %llu declared",
                 (unsigned long long)produced, (unsigned long long)expected);
    return false;
  }
  out.resize(size_t(expected));
  if (format == ZFormat::RawAdler32) {
    if (n - consumed < 4) {
      err = "Adler-32 trailer missing";
      return false;
    }
    const uint8_t* t = in + consumed;
    uint32_t stored = uint32_t(t[0]) << 24 | t[1] << 16 | t[2] << 8 | t[3];
    uint32_t actual = uint32_t(adler32(1, out.data(), uInt(out.size())));
    if (stored != actual) {
      err = Format("bad Adler-32: stream says %08X, data gives %08X", stored, actual);
      return false;
    }
    consumed += 4;
  }
  return true;
}
