#include "app/ImageReader.h"

#include <png.h>
// libjpeg's header needs FILE and size_t declared before it.
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>

#include <csetjmp>
#include <cstring>
#include <new>
#include <vector>

#include "app/PageFit.h"
#include "image/PageLimits.h"

namespace tavel {
namespace {

constexpr double kMetresPerInch = 0.0254;
constexpr double kCentimetresPerInch = 2.54;
constexpr size_t kMessageBytes = 200;
// libjpeg's density units.
constexpr int kJpegDotsPerInch = 1;
constexpr int kJpegDotsPerCm = 2;

// ------------------------------------------------------------------ PNG
// libpng reports errors by jumping back to the setjmp of the step that
// called it. Everything it touches is plain C data in PngState; the C++
// reader above it never lies between a setjmp and a longjmp.

struct PngState {
  png_structp png = nullptr;
  png_infop info = nullptr;
  FILE* file = nullptr;
  char message[kMessageBytes] = {0};
};

void PngError(png_structp png, png_const_charp message) {
  PngState* s = static_cast<PngState*>(png_get_error_ptr(png));
  std::snprintf(s->message, sizeof s->message, "%s", message ? message : "unknown error");
  png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

enum class PngStep { kHeader, kTransform, kRow, kImage };

// The one function that libpng jumps back into.
bool PngRun(PngState* s, PngStep step, png_bytep row, png_bytepp rows) {
  if (setjmp(png_jmpbuf(s->png))) return false;
  switch (step) {
    case PngStep::kHeader:
      png_init_io(s->png, s->file);
      png_read_info(s->png, s->info);
      break;
    case PngStep::kTransform:
      png_set_expand(s->png);
      png_set_strip_16(s->png);
      if (png_get_color_type(s->png, s->info) & PNG_COLOR_MASK_COLOR)
        png_set_rgb_to_gray_fixed(s->png, 1, -1, -1);
      png_set_interlace_handling(s->png);
      png_read_update_info(s->png, s->info);
      break;
    case PngStep::kRow: png_read_row(s->png, row, nullptr); break;
    case PngStep::kImage: png_read_image(s->png, rows); break;
  }
  return true;
}

// Gray with or without alpha to gray on white paper.
void Flatten(const uint8_t* in, unsigned channels, uint32_t width, uint8_t* gray) {
  if (channels == 1) {
    std::memcpy(gray, in, width);
    return;
  }
  for (uint32_t x = 0; x < width; ++x, in += 2) {
    const unsigned alpha = in[1];
    gray[x] = uint8_t((in[0] * alpha + 255 * (255 - alpha) + 127) / 255);
  }
}

class CPngReader : public CImageReader {
 public:
  ~CPngReader() override {
    if (m_s.png) png_destroy_read_struct(&m_s.png, m_s.info ? &m_s.info : nullptr, nullptr);
    if (m_s.file) std::fclose(m_s.file);
  }

  bool Open(const std::string& path) {
    m_s.file = std::fopen(path.c_str(), "rb");
    if (!m_s.file) return Fail("The document can't be opened.");
    png_byte signature[8] = {0};
    if (std::fread(signature, 1, sizeof signature, m_s.file) != sizeof signature ||
        png_sig_cmp(signature, 0, sizeof signature) != 0)
      return Fail("The document is not a PNG image.");
    std::rewind(m_s.file);
    m_s.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &m_s, PngError, PngWarning);
    m_s.info = m_s.png ? png_create_info_struct(m_s.png) : nullptr;
    if (!m_s.info) return Fail("There is not enough memory to read the PNG image.");
    if (!PngRun(&m_s, PngStep::kHeader, nullptr, nullptr)) return Broken();
    m_width = png_get_image_width(m_s.png, m_s.info);
    m_height = png_get_image_height(m_s.png, m_s.info);
    // At most gray and alpha per pixel once transformed; checked before
    // libpng allocates its rows.
    if (!DocumentSizeAllowed(m_width, m_height, 2, &m_error)) return false;
    png_uint_32 xPpm = 0, yPpm = 0;
    int unit = 0;
    if (png_get_pHYs(m_s.png, m_s.info, &xPpm, &yPpm, &unit) && unit == PNG_RESOLUTION_METER) {
      m_xRes = xPpm * kMetresPerInch;
      m_yRes = yPpm * kMetresPerInch;
    }
    const bool interlaced = png_get_interlace_type(m_s.png, m_s.info) != PNG_INTERLACE_NONE;
    if (!PngRun(&m_s, PngStep::kTransform, nullptr, nullptr)) return Broken();
    m_channels = png_get_channels(m_s.png, m_s.info);
    if (m_channels < 1 || m_channels > 2 ||
        png_get_rowbytes(m_s.png, m_s.info) != m_width * m_channels)
      return Fail("The PNG image has a layout that can't be read.");
    try {
      m_row.assign(size_t(m_width) * m_channels, 0);
      // An interlaced image comes in passes over the whole picture: it is
      // held (gray and alpha, within the size checked above).
      if (interlaced) {
        m_image.assign(size_t(m_width) * m_channels * m_height, 0);
        std::vector<png_bytep> rows(m_height);
        for (uint32_t y = 0; y < m_height; ++y)
          rows[y] = m_image.data() + size_t(y) * m_width * m_channels;
        if (!PngRun(&m_s, PngStep::kImage, nullptr, rows.data())) return Broken();
      }
    } catch (const std::bad_alloc&) {
      return Fail("There is not enough memory to read the PNG image.");
    }
    return true;
  }

  bool ReadRow(uint8_t* gray) override {
    if (m_y >= m_height) return false;
    const uint8_t* in = m_row.data();
    if (!m_image.empty()) {
      in = m_image.data() + size_t(m_y) * m_width * m_channels;
    } else if (!PngRun(&m_s, PngStep::kRow, m_row.data(), nullptr)) {
      return Broken();
    }
    ++m_y;
    Flatten(in, m_channels, m_width, gray);
    return true;
  }

 private:
  bool Fail(const char* why) {
    m_error = why;
    return false;
  }
  bool Broken() {
    m_error = std::string("The PNG image can't be read: ") + m_s.message + ".";
    return false;
  }

  PngState m_s;
  unsigned m_channels = 1;
  uint32_t m_y = 0;
  std::vector<uint8_t> m_row, m_image;
};

// ----------------------------------------------------------------- JPEG
// The same arrangement for libjpeg: its error exit jumps back into JpegRun.

struct JpegState {
  jpeg_decompress_struct info;
  jpeg_error_mgr errors;
  jmp_buf jump;
  FILE* file = nullptr;
  bool created = false;
  char message[JMSG_LENGTH_MAX] = {0};
};

void JpegError(j_common_ptr info) {
  JpegState* s = static_cast<JpegState*>(info->client_data);
  (*info->err->format_message)(info, s->message);
  std::longjmp(s->jump, 1);
}

// Warnings pass, except the one for data that ends early: the rest of the
// picture would be made up.
void JpegMessage(j_common_ptr info, int level) {
  if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF) JpegError(info);
}

enum class JpegStep { kHeader, kStart, kRow };

// The one function that libjpeg jumps back into.
bool JpegRun(JpegState* s, JpegStep step, JSAMPROW row) {
  if (setjmp(s->jump)) return false;
  switch (step) {
    case JpegStep::kHeader:
      jpeg_create_decompress(&s->info);
      s->created = true;
      s->info.client_data = s;
      jpeg_stdio_src(&s->info, s->file);
      jpeg_read_header(&s->info, TRUE);
      break;
    case JpegStep::kStart: jpeg_start_decompress(&s->info); break;
    case JpegStep::kRow: jpeg_read_scanlines(&s->info, &row, 1); break;
  }
  return true;
}

class CJpegReader : public CImageReader {
 public:
  CJpegReader() : m_s(new (std::nothrow) JpegState) {}
  ~CJpegReader() override {
    if (!m_s) return;
    if (m_s->created) jpeg_destroy_decompress(&m_s->info);
    if (m_s->file) std::fclose(m_s->file);
  }

  bool Open(const std::string& path) {
    if (!m_s) return Fail("There is not enough memory to read the JPEG image.");
    m_s->file = std::fopen(path.c_str(), "rb");
    if (!m_s->file) return Fail("The document can't be opened.");
    unsigned char soi[2] = {0};
    if (std::fread(soi, 1, 2, m_s->file) != 2 || soi[0] != 0xFF || soi[1] != 0xD8)
      return Fail("The document is not a JPEG image.");
    std::rewind(m_s->file);
    m_s->info.err = jpeg_std_error(&m_s->errors);
    m_s->errors.error_exit = JpegError;
    m_s->errors.emit_message = JpegMessage;
    if (!JpegRun(m_s.get(), JpegStep::kHeader, nullptr)) return Broken();
    jpeg_decompress_struct& info = m_s->info;
    m_width = info.image_width;
    m_height = info.image_height;
    if (!DocumentSizeAllowed(m_width, m_height, unsigned(info.num_components), &m_error))
      return false;
    // libjpeg's own working memory (a progressive picture keeps all its
    // coefficients) within the same bound.
    info.mem->max_memory_to_use = long(kMaxPageBytes);
    if (info.density_unit == kJpegDotsPerInch || info.density_unit == kJpegDotsPerCm) {
      const double per = info.density_unit == kJpegDotsPerCm ? kCentimetresPerInch : 1;
      m_xRes = info.X_density * per;
      m_yRes = info.Y_density * per;
    }
    m_cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    info.out_color_space = m_cmyk ? JCS_CMYK : JCS_GRAYSCALE;
    if (!JpegRun(m_s.get(), JpegStep::kStart, nullptr)) return Broken();
    if (info.output_width != m_width || info.output_components != (m_cmyk ? 4 : 1))
      return Fail("The JPEG image has a layout that can't be read.");
    try {
      m_row.assign(size_t(m_width) * unsigned(info.output_components), 0);
    } catch (const std::bad_alloc&) {
      return Fail("There is not enough memory to read the JPEG image.");
    }
    return true;
  }

  bool ReadRow(uint8_t* gray) override {
    if (m_y >= m_height) return false;
    if (!JpegRun(m_s.get(), JpegStep::kRow, m_row.data())) return Broken();
    ++m_y;
    if (!m_cmyk) {
      std::memcpy(gray, m_row.data(), m_width);
      return true;
    }
    // Adobe's CMYK JPEGs store the inks inverted (255 is no ink).
    const bool inverted = m_s->info.saw_Adobe_marker;
    const uint8_t* p = m_row.data();
    for (uint32_t x = 0; x < m_width; ++x, p += 4) {
      unsigned c = p[0], m = p[1], y = p[2], k = p[3];
      if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
      const unsigned luma = (c * 77 + m * 150 + y * 29) >> 8;
      gray[x] = uint8_t(luma * k / 255);
    }
    return true;
  }

 private:
  bool Fail(const char* why) {
    m_error = why;
    return false;
  }
  bool Broken() {
    m_error = std::string("The JPEG image can't be read: ") + m_s->message + ".";
    return false;
  }

  std::unique_ptr<JpegState> m_s;
  bool m_cmyk = false;
  uint32_t m_y = 0;
  std::vector<uint8_t> m_row;
};

}  // namespace

std::unique_ptr<CImageReader> CImageReader::Open(const std::string& path,
                                                 const std::string& format, std::string* error) {
  if (format == "image/png") {
    std::unique_ptr<CPngReader> reader(new (std::nothrow) CPngReader);
    if (reader && reader->Open(path)) return reader;
    if (error) *error = reader ? reader->Error() : "There is not enough memory.";
    return nullptr;
  }
  if (format == "image/jpeg") {
    std::unique_ptr<CJpegReader> reader(new (std::nothrow) CJpegReader);
    if (reader && reader->Open(path)) return reader;
    if (error) *error = reader ? reader->Error() : "There is not enough memory.";
    return nullptr;
  }
  if (error) *error = "The document format " + format + " is not an image this printer reads.";
  return nullptr;
}

}  // namespace tavel
