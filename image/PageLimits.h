// The one size policy of the engine: how much raster one page may hold. The
// page header check, the image container and the command buffers all take
// their limits from here, so a page the check accepts is one the rest can
// hold.
#pragma once

#include <cstdint>

namespace tavel {

// Largest page raster held in memory (bytes per line x lines). Far above any
// label or receipt, well below what the image can address.
constexpr uint64_t kMaxPageBytes = 256ull * 1024 * 1024;
// Longest raster line: a 4-inch head at 600 dpi needs 2400 dots; this leaves
// room for 24- and 32-bit colour pages of ordinary paper sizes.
constexpr uint64_t kMaxLineBytes = 1024 * 1024;
// Highest resolution in dots per inch that is taken as real.
constexpr unsigned kMaxResolution = 9600;
// Room for the commands around a page's bitmap in a driver's buffer.
constexpr uint64_t kCommandHeadroom = 1024 * 1024;
// Most bytes a driver assembles for one page: a one-bit page of the largest
// size with its commands.
constexpr uint64_t kMaxCommandBytes = kMaxPageBytes + kCommandHeadroom;

}  // namespace tavel
