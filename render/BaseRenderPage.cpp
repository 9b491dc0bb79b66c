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
#include "image/MemoryGate.h"
#include "render/PageError.h"

namespace {

// Rows are read into the image this many bytes at a time (at least one
// row): few calls into the source, little memory beside the page image.
constexpr uint64_t kReadChunkBytes = 1024 * 1024;

}  // namespace

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

  // The page goes straight into its image: no other copy of it is held.
  const uint64_t bpl = header.cupsBytesPerLine;
  const uint64_t chunkRows = bpl >= kReadChunkBytes ? 1 : kReadChunkBytes / bpl;
  if (!m_image.CreateForRows(header.cupsWidth, header.cupsHeight, header.cupsBitsPerPixel) ||
      !ReservePageRows(chunkRows * bpl)) {
    tavel::ReportError(*m_log, 3, tavel::Format("Page %d can't be printed: %s", m_page,
                                                "there is not enough memory for it."),
                       "page %d: no memory for %llu bytes of raster (%s)", m_page,
                       static_cast<unsigned long long>(bpl * header.cupsHeight),
                       *m_image.GetLastError() ? m_image.GetLastError() : "read buffer");
    m_image.Destroy();
    source.SkipPage();
    return result;
  }

  m_pageHeader = header;
  m_haveHeader = true;
  PageReader reader{source, colors, static_cast<uint32_t>(chunkRows), 0};

  // The first row comes alone: a page whose data ends before any of it
  // arrived is not printed at all (a thermal printer would feed a whole
  // page of blank paper for it).
  if (header.cupsHeight > 0 && ReadRows(reader, 1) == 0) {
    ReportShortPage(0);
    m_image.Destroy();
    result.outcome = PageOutcome::kNoData;
    result.truncated = true;
    return result;
  }

  source.PageStarted(m_page);
  LoadRest(reader, &result);
  OnStartPage();
  result.outcome = RunPageHooks();
  source.PageFinished(m_page);
  OnEndPage();
  return result;
}

bool CBaseRender::ReservePageRows(uint64_t bytes) {
  if (bytes <= m_pageRowsCapacity) return true;
  if (bytes > tavel::kMaxPageBytes) return false;
  void* p = tavel::GateRealloc(m_pageRows, static_cast<size_t>(bytes));
  if (!p) return false;
  m_pageRows = static_cast<uint8_t*>(p);
  m_pageRowsCapacity = bytes;
  return true;
}

// Reads up to `want` rows into the image at the reader's next row. Rows the
// source did not deliver whole print as white paper: a source that stops
// inside a row may have left part of it behind, which is painted over.
uint32_t CBaseRender::ReadRows(PageReader& reader, uint32_t want) {
  const cups_page_header2_t& h = m_pageHeader;
  const uint32_t bpl = h.cupsBytesPerLine;
  const uint64_t bytes = static_cast<uint64_t>(want) * bpl;
  uint32_t n = reader.source.ReadRows(m_pageRows, want);
  if (n > want) n = want;
  if (n < want) {
    const uint64_t whole = static_cast<uint64_t>(n) * bpl;
    std::memset(m_pageRows + whole, tavel::WhiteByteFor(reader.colors), bytes - whole);
  }
  tavel::ConvertRasterColors(h, reader.colors, m_pageRows, bytes);
  for (uint32_t i = 0; i < want; ++i)
    m_image.SetRowFromArray(reader.filled + i, m_pageRows + static_cast<uint64_t>(i) * bpl,
                            h.cupsBitsPerPixel, bpl);
  reader.filled += want;
  return n;
}

void CBaseRender::ReportShortPage(uint32_t rowsArrived) const {
  tavel::ReportError(*m_log, 3,
                     tavel::Format("The print data ended inside page %d.", m_page),
                     "page %d: %u of %u lines arrived", m_page, rowsArrived,
                     m_pageHeader.cupsHeight);
}

void CBaseRender::LoadRest(PageReader& reader, PageResult* result) {
  const cups_page_header2_t& h = m_pageHeader;
  while (reader.filled < h.cupsHeight) {
    const uint32_t left = h.cupsHeight - reader.filled;
    const uint32_t want = left < reader.chunkRows ? left : reader.chunkRows;
    const uint32_t before = reader.filled;
    const uint32_t n = ReadRows(reader, want);
    if (n < want) {
      result->truncated = true;
      ReportShortPage(before + n);
      break;
    }
  }
  if (reader.filled < h.cupsHeight) {
    // Rows past the end of the data print as white paper.
    const uint32_t bpl = h.cupsBytesPerLine;
    std::memset(m_pageRows, tavel::WhiteByteFor(reader.colors), bpl);
    tavel::ConvertRasterColors(h, reader.colors, m_pageRows, bpl);
    for (uint32_t y = reader.filled; y < h.cupsHeight; ++y)
      m_image.SetRowFromArray(y, m_pageRows, h.cupsBitsPerPixel, bpl);
  }

  LogPageHeader();
  m_resolution = static_cast<int>(h.HWResolution[0]);
  LogAt(7, "create image width=%d, height=%d, bitsPerPixel=%d, bytesPerLine=%d", h.cupsWidth,
        h.cupsHeight, h.cupsBitsPerPixel, h.cupsBytesPerLine);
  m_image.SetXDPI(static_cast<int32_t>(h.HWResolution[0]));
  m_image.SetYDPI(static_cast<int32_t>(h.HWResolution[1]));
}

PageOutcome CBaseRender::RunPageHooks() {
  OnBeginBmp();
  // A page whose preparation failed has been reported; the drivers only
  // encode a one-bit page.
  bool prepared = m_image.IsValid() && m_image.GetBpp() == 1;
  if (prepared) {
    PrepareForPrinter();
    prepared = m_image.IsValid();
  }
  if (prepared) PaintInInkPolarity();
  OnEndBmp();
  if (!prepared) return PageOutcome::kNotPrepared;
  return m_pageFailed ? PageOutcome::kNotSent : PageOutcome::kPrinted;
}

void CBaseRender::PaintPage() {
  PrepareForPrinter();
  PaintInInkPolarity();
}

void CBaseRender::PaintInInkPolarity() {
  if (InkBit() == 1) Negative();
  OnPaintBmp();
}

void CBaseRender::LogPageHeader() const {
  const cups_page_header2_t& h = m_pageHeader;
  LogAt(7, "DEBUG: Duplex = %d\n", static_cast<int>(tavel::EnumValue(h.Duplex)));
  LogAt(7, "DEBUG: HWResolution = [ %d %d ]\n", h.HWResolution[0], h.HWResolution[1]);
  LogAt(7, "DEBUG: ImagingBoundingBox = [ %d %d %d %d ]\n", h.ImagingBoundingBox[0],
      h.ImagingBoundingBox[1], h.ImagingBoundingBox[2], h.ImagingBoundingBox[3]);
  LogAt(7, "DEBUG: Margins = [ %d %d ]\n", h.Margins[0], h.Margins[1]);
  LogAt(7, "DEBUG: ManualFeed = %d\n", static_cast<int>(tavel::EnumValue(h.ManualFeed)));
  LogAt(7, "DEBUG: MediaPosition = %d\n", static_cast<int>(tavel::EnumValue(h.MediaPosition)));
  LogAt(7, "DEBUG: NumCopies = %d\n", h.NumCopies);
  LogAt(7, "DEBUG: Orientation = %d\n", static_cast<int>(tavel::EnumValue(h.Orientation)));
  LogAt(7, "DEBUG: PageSize = [ %d %d ]\n", h.PageSize[0], h.PageSize[1]);
  LogAt(7, "DEBUG: cupsWidth = %d\n", h.cupsWidth);
  LogAt(7, "DEBUG: cupsHeight = %d\n", h.cupsHeight);
  LogAt(7, "DEBUG: cupsMediaType = %d\n", static_cast<int>(tavel::EnumValue(h.cupsMediaType)));
  LogAt(7, "DEBUG: cupsBitsPerColor = %d\n", h.cupsBitsPerColor);
  LogAt(7, "DEBUG: cupsBitsPerPixel = %d\n", h.cupsBitsPerPixel);
  LogAt(7, "DEBUG: cupsBytesPerLine = %d\n", h.cupsBytesPerLine);
  LogAt(7, "DEBUG: cupsColorOrder = %d\n", static_cast<int>(tavel::EnumValue(h.cupsColorOrder)));
  LogAt(7, "DEBUG: cupsColorSpace = %d\n", static_cast<int>(tavel::EnumValue(h.cupsColorSpace)));
  LogAt(7, "DEBUG: cupsCompression = %d\n", static_cast<int>(tavel::EnumValue(h.cupsCompression)));
}
