#include "support/RasterWriter.h"

#include <cstring>

namespace {

ssize_t AppendToVector(void* ctx, unsigned char* buffer, size_t bytes) {
  auto* out = static_cast<std::vector<uint8_t>*>(ctx);
  out->insert(out->end(), buffer, buffer + bytes);
  return static_cast<ssize_t>(bytes);
}

}  // namespace

cups_page_header2_t MakeHeader(unsigned width, unsigned height, unsigned bitsPerPixel,
                               cups_cspace_t space, unsigned dpi, unsigned bytesPerLine) {
  cups_page_header2_t h;
  std::memset(&h, 0, sizeof h);
  std::strcpy(h.MediaClass, "PwgRaster");
  h.HWResolution[0] = h.HWResolution[1] = dpi;
  h.cupsWidth = width;
  h.cupsHeight = height;
  h.cupsBitsPerPixel = bitsPerPixel;
  h.cupsBitsPerColor = bitsPerPixel >= 24 ? 8 : bitsPerPixel;
  h.cupsColorOrder = CUPS_ORDER_CHUNKED;
  h.cupsColorSpace = space;
  h.cupsNumColors = bitsPerPixel >= 24 ? bitsPerPixel / 8 : 1;
  h.cupsBytesPerLine = bytesPerLine ? bytesPerLine : (width * bitsPerPixel + 7) / 8;
  h.PageSize[0] = dpi ? width * 72 / dpi : 0;
  h.PageSize[1] = dpi ? height * 72 / dpi : 0;
  h.NumCopies = 1;
  return h;
}

RasterPage UniformPage(const cups_page_header2_t& header, uint8_t value) {
  RasterPage p;
  p.header = header;
  p.data.assign(static_cast<size_t>(header.cupsBytesPerLine) * header.cupsHeight, value);
  return p;
}

std::vector<uint8_t> WriteRaster(const std::vector<RasterPage>& pages, cups_mode_t mode) {
  std::vector<uint8_t> out;
  cups_raster_t* r = cupsRasterOpenIO(AppendToVector, &out, mode);
  for (const RasterPage& p : pages) {
    cups_page_header2_t h = p.header;
    cupsRasterWriteHeader2(r, &h);
    if (!p.data.empty())
      cupsRasterWritePixels(r, const_cast<unsigned char*>(p.data.data()),
                            static_cast<unsigned>(p.data.size()));
  }
  cupsRasterClose(r);
  return out;
}

std::vector<uint8_t> WriteRasterHeaders(const std::vector<cups_page_header2_t>& headers) {
  std::vector<RasterPage> pages;
  for (const auto& h : headers) pages.push_back(RasterPage{h, {}});
  return WriteRaster(pages);
}
