#include "filter/RasterPageSource.h"

#include <cstdio>

#include "filter/CupsMessages.h"

// One row per request, so that a page whose data ends counts exactly the
// rows that arrived whole. The input under libcups is read in large pieces
// (the job's read function buffers it), so this costs no extra system calls.
uint32_t CRasterPageSource::ReadRows(uint8_t* dst, uint32_t count) {
  const unsigned bpl = m_header.cupsBytesPerLine;
  if (bpl == 0) return 0;
  for (uint32_t i = 0; i < count; ++i, dst += bpl)
    if (cupsRasterReadPixels(m_raster, dst, bpl) == 0) return i;
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
