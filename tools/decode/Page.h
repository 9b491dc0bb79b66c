// A printed page as the decoder rebuilds it: bitmaps placed on a canvas
// that grows to hold them, and its PNG form.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// No page the filter sends comes near this; it keeps a hostile stream from
// making the decoder allocate gigabytes.
constexpr uint64_t kMaxPageBytes = 256ull << 20;
// Bitmaps are placed at most this many dots from the page's top-left corner.
constexpr uint64_t kMaxOffset = 65535;

class Page {
 public:
  // Places rowBytes x rows bytes of one-bit rows (MSB leftmost) with their
  // top-left corner at dot (x, y). With invert, a clear bit is a dot;
  // otherwise a set bit is. Dots are OR-ed onto what is already there.
  // Fails, with a reason, when the canvas would grow past kMaxPageBytes.
  bool Draw(uint64_t x, uint64_t y, uint32_t rowBytes, uint32_t rows,
            const uint8_t* bits, bool invert, std::string& err);
  // Draws below everything drawn so far, at the left edge.
  bool Stack(uint32_t rowBytes, uint32_t rows, const uint8_t* bits, bool invert,
             std::string& err);
  // Whether Draw would take a bitmap of that size at (x, y): offsets up to
  // kMaxOffset, the whole canvas within kMaxPageBytes.
  bool Fits(uint64_t x, uint64_t y, uint64_t rowBytes, uint64_t rows) const;
  // Whether Stack would take that many rows.
  bool FitsBelow(uint64_t rowBytes, uint64_t rows) const { return CanHold(0, height_, rowBytes, rows); }

  uint64_t Width() const { return width_; }   // dots
  uint64_t Height() const { return height_; } // rows
  uint64_t Stride() const { return (width_ + 7) / 8; }
  // The whole canvas: Height() rows of Stride() bytes, set bit = dot.
  std::vector<uint8_t> Render() const;

 private:
  bool CanHold(uint64_t x, uint64_t y, uint64_t rowBytes, uint64_t rows) const;
  bool Place(uint64_t x, uint64_t y, uint32_t rowBytes, uint32_t rows, const uint8_t* bits,
             bool invert, std::string& err);

  struct Blit {
    uint64_t x, y;
    uint32_t rowBytes, rows;
    std::vector<uint8_t> bits;  // set bit = dot
  };
  std::vector<Blit> blits_;
  uint64_t width_ = 0, height_ = 0;
};

// Writes the page as a 1-bit gray PNG, black where the head burns.
bool WritePng(const std::string& path, const Page& page, std::string& err);
