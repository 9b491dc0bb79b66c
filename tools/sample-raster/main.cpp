// Writes a small CUPS raster job (8-bit gray, 203 dpi) to standard output:
// a frame, a gray ramp and a checker block, so that the whole page
// preparation has something to do. Used by the demo and handy for trying a
// printer without a print system: tavelpress-sample-raster | rastertotavelpress ...
#include <cups/raster.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

ssize_t WriteOut(void*, unsigned char* buffer, size_t bytes) {
  return static_cast<ssize_t>(fwrite(buffer, 1, bytes, stdout));
}

unsigned char Pixel(unsigned x, unsigned y, unsigned w, unsigned h, int page) {
  if (x < 8 || y < 8 || x >= w - 8 || y >= h - 8) return 0;             // frame
  if (y > 24 && y < 24u + 40u + 20u * static_cast<unsigned>(page)) return static_cast<unsigned char>(x * 255 / w);  // ramp
  if (y > h / 2 && x > w / 4 && x < 3 * w / 4) return ((x / 16 + y / 16) & 1) ? 0 : 255;
  return 255;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned width = argc > 1 ? static_cast<unsigned>(atoi(argv[1])) : 384;
  unsigned height = argc > 2 ? static_cast<unsigned>(atoi(argv[2])) : 240;
  int pages = argc > 3 ? atoi(argv[3]) : 2;
  if (width < 32 || height < 32 || width > 4096 || height > 20000 || pages < 1 || pages > 100) {
    fprintf(stderr, "usage: tavelpress-sample-raster [width height pages]\n");
    return 1;
  }
  cups_raster_t* r = cupsRasterOpenIO(WriteOut, nullptr, CUPS_RASTER_WRITE);
  std::vector<unsigned char> line(width);
  for (int p = 0; p < pages; ++p) {
    cups_page_header2_t h;
    memset(&h, 0, sizeof h);
    h.HWResolution[0] = h.HWResolution[1] = 203;
    h.cupsWidth = width;
    h.cupsHeight = height;
    h.cupsBitsPerColor = h.cupsBitsPerPixel = 8;
    h.cupsBytesPerLine = width;
    h.cupsColorSpace = CUPS_CSPACE_SW;
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsNumColors = 1;
    h.PageSize[0] = width * 72 / 203;
    h.PageSize[1] = height * 72 / 203;
    h.NumCopies = 1;
    cupsRasterWriteHeader2(r, &h);
    for (unsigned y = 0; y < height; ++y) {
      for (unsigned x = 0; x < width; ++x) line[x] = Pixel(x, y, width, height, p);
      cupsRasterWritePixels(r, line.data(), width);
    }
  }
  cupsRasterClose(r);
  return 0;
}
