#include "filter/RasterPageSource.h"

#include <cstdio>

#include "render/CupsMessages.h"

// Many rows per request: libcups then reads its input in large pieces. A
// request that can't be filled says nothing of how far it got, so a page
// whose data ends counts only the rows of the requests that were filled.
uint32_t CRasterPageSource::ReadRows(uint8_t* dst, uint32_t count) {
  const uint64_t bytes = static_cast<uint64_t>(m_header.cupsBytesPerLine) * count;
  if (count == 0 || bytes > 0xFFFFFFFFu) return 0;
  if (cupsRasterReadPixels(m_raster, dst, static_cast<unsigned>(bytes)) == 0) return 0;
  return count;
}

// Reads and drops the pixel data of a page that is not printed, so that the
// next page header is found where it is.
void CRasterPageSource::SkipPage() {
  static unsigned char chunk[65536];
  uint64_t left = static_cast<uint64_t>(m_header.cupsBytesPerLine) * m_header.cupsHeight;
  while (left > 0) {
    unsigned n = left > sizeof chunk ? static_cast<unsigned>(sizeof chunk)
                                     : static_cast<unsigned>(left);
    if (cupsRasterReadPixels(m_raster, chunk, n) == 0) break;
    left -= n;
  }
}

void CRasterPageSource::PageStarted(int page) {
  std::fprintf(stderr, "PAGE: %d 1\n", page);
  _cupsLangPrintFilter(stderr, "INFO", "Starting page %d.", page);
}

void CRasterPageSource::PageFinished(int page) {
  _cupsLangPrintFilter(stderr, "INFO", "Finished page %d.", page);
}
