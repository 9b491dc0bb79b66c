// The page entry point: one page from its header and rows to the printer.
//
// Per page, in this order: check the header against the size policy and the
// colour spaces the head can print (a refused page is reported and its data
// skipped); hold the page's raster; read its rows (rows that never arrive
// print as white paper); convert its colours to gray; build the page image;
// run OnStartPage, OnBeginBmp (preparation to one bit), OnPaintBmp in the
// driver's ink polarity, OnEndBmp and OnEndPage. Every failure is reported
// once, through the page-error path, and told to the caller in the result.
#include <cstdlib>
#include <cstring>

#include "render/BaseRender.h"
#include "render/PageError.h"
#include "render/PageHeaderCheck.h"

PageResult CBaseRender::PrintPage(const cups_page_header2_t& header, IPageSource& source) {
  PageResult result;
  ++m_page;
  m_pageFailed = false;

  tavel::ColorHandling colors = tavel::ColorHandling::kUnsupported;
  tavel::HeaderVerdict verdict = tavel::CheckPage(header, &colors);
  if (!verdict.ok) {
    tavel::ReportError(*m_log, 3, tavel::Format("Page %d can't be printed: %s", m_page,
                                        verdict.reason.c_str()),
                       "page %d: %s", m_page, verdict.detail.c_str());
    source.SkipPage();
    return result;
  }

  const uint64_t pageBytes = static_cast<uint64_t>(header.cupsBytesPerLine) * header.cupsHeight;
  if (!ReservePageRows(pageBytes)) {
    tavel::ReportError(*m_log, 3, tavel::Format("Page %d can't be printed: %s", m_page,
                                        "there is not enough memory for it."),
                       "page %d: no memory for %llu bytes of raster", m_page,
                       static_cast<unsigned long long>(pageBytes));
    source.SkipPage();
    return result;
  }

  m_pageHeader = header;
  m_haveHeader = true;
  source.PageStarted(m_page);
  if (!LoadPage(source, static_cast<int>(colors), &result)) {
    result.outcome = PageOutcome::kNotPrepared;
  } else {
    OnStartPage();
    result.outcome = RunPageHooks();
  }
  source.PageFinished(m_page);
  OnEndPage();
  return result;
}

bool CBaseRender::ReservePageRows(uint64_t bytes) {
  if (bytes <= m_pageRowsCapacity) return true;
  if (bytes > tavel::kMaxPageBytes) return false;
  // At least one byte, so that an empty page still has a buffer to name.
  void* p = std::realloc(m_pageRows, static_cast<size_t>(bytes ? bytes : 1));
  if (!p) return false;
  m_pageRows = static_cast<uint8_t*>(p);
  m_pageRowsCapacity = bytes;
  return true;
}

bool CBaseRender::LoadPage(IPageSource& source, int colorHandling, PageResult* result) {
  const cups_page_header2_t& h = m_pageHeader;
  const tavel::ColorHandling colors = static_cast<tavel::ColorHandling>(colorHandling);
  const uint32_t bpl = h.cupsBytesPerLine;

  uint32_t rowsRead = 0;
  while (rowsRead < h.cupsHeight) {
    const uint32_t n = source.ReadRows(m_pageRows + static_cast<uint64_t>(rowsRead) * bpl,
                                       h.cupsHeight - rowsRead);
    if (n == 0) break;
    rowsRead += n;
  }
  if (rowsRead < h.cupsHeight) {
    // The rows that never came print as white paper.
    std::memset(m_pageRows + static_cast<uint64_t>(rowsRead) * bpl, tavel::WhiteByteFor(colors),
                static_cast<uint64_t>(h.cupsHeight - rowsRead) * bpl);
    tavel::ReportError(*m_log, 3, tavel::Format("The print data ended inside page %d.", m_page),
                       "page %d: %u of %u lines arrived", m_page, rowsRead, h.cupsHeight);
    result->truncated = true;
  }
  const uint64_t pageBytes = static_cast<uint64_t>(bpl) * h.cupsHeight;
  tavel::ConvertRasterColors(h, colors, m_pageRows, pageBytes);

  LogPageHeader();
  m_resolution = static_cast<int>(h.HWResolution[0]);
  if (!m_image.CreateFromArray(m_pageRows, h.cupsWidth, h.cupsHeight, h.cupsBitsPerPixel, bpl,
                               false)) {
    LogAt(3, "create image error\n");
    tavel::ReportError(*m_log, 3, tavel::Format("Page %d could not be prepared for printing.", m_page),
                       "page %d: %s", m_page,
                       *m_image.GetLastError() ? m_image.GetLastError()
                                               : "the image could not be built");
    return false;
  }
  LogAt(7, "create image width=%d, height=%d, bitsPerPixel=%d, bytesPerLine=%d", h.cupsWidth,
      h.cupsHeight, h.cupsBitsPerPixel, h.cupsBytesPerLine);
  m_image.SetXDPI(static_cast<int32_t>(h.HWResolution[0]));
  m_image.SetYDPI(static_cast<int32_t>(h.HWResolution[1]));
  return true;
}

PageOutcome CBaseRender::RunPageHooks() {
  OnBeginBmp();
  // A page whose preparation failed has been reported; the drivers only
  // encode a one-bit page.
  const bool prepared = m_image.IsValid() && m_image.GetBpp() == 1;
  if (prepared) PaintPage();
  OnEndBmp();
  if (!prepared) return PageOutcome::kNotPrepared;
  return m_pageFailed ? PageOutcome::kNotSent : PageOutcome::kPrinted;
}

void CBaseRender::PaintPage() {
  PrepareForPrinter();
  if (InkBit() == 1) Negative();
  OnPaintBmp();
}

void CBaseRender::LogPageHeader() const {
  const cups_page_header2_t& h = m_pageHeader;
  LogAt(7, "DEBUG: Duplex = %d\n", h.Duplex);
  LogAt(7, "DEBUG: HWResolution = [ %d %d ]\n", h.HWResolution[0], h.HWResolution[1]);
  LogAt(7, "DEBUG: ImagingBoundingBox = [ %d %d %d %d ]\n", h.ImagingBoundingBox[0],
      h.ImagingBoundingBox[1], h.ImagingBoundingBox[2], h.ImagingBoundingBox[3]);
  LogAt(7, "DEBUG: Margins = [ %d %d ]\n", h.Margins[0], h.Margins[1]);
  LogAt(7, "DEBUG: ManualFeed = %d\n", h.ManualFeed);
  LogAt(7, "DEBUG: MediaPosition = %d\n", h.MediaPosition);
  LogAt(7, "DEBUG: NumCopies = %d\n", h.NumCopies);
  LogAt(7, "DEBUG: Orientation = %d\n", h.Orientation);
  LogAt(7, "DEBUG: PageSize = [ %d %d ]\n", h.PageSize[0], h.PageSize[1]);
  LogAt(7, "DEBUG: cupsWidth = %d\n", h.cupsWidth);
  LogAt(7, "DEBUG: cupsHeight = %d\n", h.cupsHeight);
  LogAt(7, "DEBUG: cupsMediaType = %d\n", h.cupsMediaType);
  LogAt(7, "DEBUG: cupsBitsPerColor = %d\n", h.cupsBitsPerColor);
  LogAt(7, "DEBUG: cupsBitsPerPixel = %d\n", h.cupsBitsPerPixel);
  LogAt(7, "DEBUG: cupsBytesPerLine = %d\n", h.cupsBytesPerLine);
  LogAt(7, "DEBUG: cupsColorOrder = %d\n", h.cupsColorOrder);
  LogAt(7, "DEBUG: cupsColorSpace = %d\n", h.cupsColorSpace);
  LogAt(7, "DEBUG: cupsCompression = %d\n", h.cupsCompression);
}
