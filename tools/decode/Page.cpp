#include "Page.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Stream.h"

bool Page::Fits(uint64_t x, uint64_t y, uint64_t rowBytes, uint64_t rows) const {
  return x <= kMaxOffset && y <= kMaxOffset && CanHold(x, y, rowBytes, rows);
}

bool Page::CanHold(uint64_t x, uint64_t y, uint64_t rowBytes, uint64_t rows) const {
  // Every operand is at most 2^28 once it passes the first check, so the
  // products below cannot overflow 64 bits.
  const uint64_t kBig = 1u << 28;
  if (x > kBig || y > kBig || rowBytes > kBig || rows > kBig) return false;
  uint64_t w = std::max(width_, x + rowBytes * 8);
  uint64_t h = std::max(height_, y + rows);
  return (w + 7) / 8 * h <= kMaxPageBytes;
}

bool Page::Draw(uint64_t x, uint64_t y, uint32_t rowBytes, uint32_t rows,
                const uint8_t* bits, bool invert, std::string& err) {
  if (!Fits(x, y, rowBytes, rows)) {
    err = Format("bitmap of %u x %u bytes at %llu,%llu does not fit a page", rowBytes, rows,
                 (unsigned long long)x, (unsigned long long)y);
    return false;
  }
  return Place(x, y, rowBytes, rows, bits, invert, err);
}

bool Page::Stack(uint32_t rowBytes, uint32_t rows, const uint8_t* bits, bool invert, std::string& err) {
  return Place(0, height_, rowBytes, rows, bits, invert, err);
}

bool Page::Place(uint64_t x, uint64_t y, uint32_t rowBytes, uint32_t rows,
                 const uint8_t* bits, bool invert, std::string& err) {
  if (!CanHold(x, y, rowBytes, rows)) {
    err = "page would exceed " + std::to_string(kMaxPageBytes >> 20) + " MiB";
    return false;
  }
  const size_t n = size_t(rowBytes) * rows;
  // Rows without bytes would stretch the page without a byte of input
  // behind them; they draw nothing, so they change nothing.
  if (n == 0) return true;
  width_ = std::max(width_, x + uint64_t(rowBytes) * 8);
  height_ = std::max(height_, y + rows);
  // Rows stacked right below the previous bitmap of the same width join it.
  Blit* last = blits_.empty() ? nullptr : &blits_.back();
  if (!last || last->x != x || last->rowBytes != rowBytes || last->y + last->rows != y) {
    blits_.push_back(Blit{x, y, rowBytes, 0, {}});
    last = &blits_.back();
  }
  const size_t old = last->bits.size();
  last->bits.insert(last->bits.end(), bits, bits + n);
  last->rows += rows;
  if (invert)
    for (size_t i = old; i < last->bits.size(); ++i) last->bits[i] = uint8_t(~last->bits[i]);
  return true;
}

std::vector<uint8_t> Page::Render() const {
  const uint64_t stride = Stride();
  std::vector<uint8_t> out(stride * height_, 0);
  for (const Blit& b : blits_) {
    const unsigned shift = b.x % 8;
    for (uint32_t r = 0; r < b.rows; ++r) {
      const uint8_t* src = &b.bits[size_t(r) * b.rowBytes];
      uint8_t* dst = &out[(b.y + r) * stride + b.x / 8];
      for (uint32_t i = 0; i < b.rowBytes; ++i) {
        dst[i] |= uint8_t(src[i] >> shift);
        // The canvas is at least x + rowBytes*8 dots wide, so the spill
        // byte exists whenever there is a spill.
        if (shift) dst[i + 1] |= uint8_t(src[i] << (8 - shift));
      }
    }
  }
  return out;
}

namespace {
void PngError(png_structp png, png_const_charp msg) {
  auto* err = static_cast<std::string*>(png_get_error_ptr(png));
  *err = msg;
  png_longjmp(png, 1);
}
void PngWarning(png_structp, png_const_charp) {}
}  // namespace

bool WritePng(const std::string& path, const Page& page, std::string& err) {
  if (page.Width() == 0 || page.Height() == 0) {
    err = "page is empty";
    return false;
  }
  if (page.Width() > 0x7FFFFFFF || page.Height() > 0x7FFFFFFF) {
    err = "page too large for PNG";
    return false;
  }
  // PNG gray 1-bit has 0 = black; the canvas has 1 = dot, so invert.
  std::vector<uint8_t> pixels = page.Render();
  for (auto& v : pixels) v = uint8_t(~v);
  std::vector<png_bytep> rows(page.Height());
  for (uint64_t r = 0; r < page.Height(); ++r) rows[r] = &pixels[r * page.Stride()];

  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    err = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &err, PngError, PngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info) {
    png_destroy_write_struct(&png, nullptr);
    std::fclose(f);
    err = "out of memory";
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    std::remove(path.c_str());  // no half-written image left behind
    err = path + ": " + err;
    return false;
  }
  png_init_io(png, f);
  // libpng refuses images over a million rows by default; a long receipt
  // can be taller than that.
  png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
  png_set_IHDR(png, info, png_uint_32(page.Width()), png_uint_32(page.Height()), 1,
               PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_image(png, rows.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  if (std::fclose(f) != 0) {
    std::remove(path.c_str());
    err = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
