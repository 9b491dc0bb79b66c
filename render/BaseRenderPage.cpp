// The page entry point: one page from its header and rows to the printer.
//
// A front end hands over a page in three steps. AcceptPage checks its
// header against the size policy and the colour spaces the head can print
// (a refused page is reported); HoldPage makes its image, and PushRows
// writes each row straight into it, colours converted to gray, so that no
// other copy of the page is held. A front end that draws the page itself
// (placed on its media) gets the image's rows from DrawPage instead. EndPage
// paints rows that never arrived as white paper, decides the page's tones
// when asked to, and runs OnStartPage, OnBeginBmp (preparation to one bit),
// OnPaintBmp in the driver's ink polarity, OnEndBmp and OnEndPage. Every
// failure is reported once, through the page-error path, and told to the
// caller in the result. PrintPage is the same path for a front end that
// reads the rows from a source.
#include <cstdlib>
#include <cstring>

#include "render/BaseRender.h"
#include "image/MemoryGate.h"
#include "render/PageError.h"
#include "render/PageTones.h"

namespace {

// Rows are converted this many bytes at a time (at least one row): few
// calls into a source, little memory beside the page image.
constexpr uint64_t kReadChunkBytes = 1024 * 1024;
// What the image holds for white paper, whatever the page's colour space.
constexpr uint8_t kImageWhite = 0xFF;
// The halftoning method that prints with the threshold.
constexpr int kThresholdMethod = 0;

}  // namespace

tavel::HeaderVerdict CBaseRender::AcceptPage(const cups_page_header2_t& header) {
  DropPageCopy();
  ++m_page;
  m_pageFailed = false;
  m_pageState = PageState::kNone;
  m_colors = tavel::ColorHandling::kUnsupported;
  tavel::HeaderVerdict verdict = tavel::CheckPage(header, &m_colors);
  if (!verdict.ok) {
    tavel::ReportError(
        *m_log, LOG_ERR,
        tavel::Format("Page %d can't be printed: %s", m_page, verdict.reason.c_str()),
        "page %d: %s", m_page, verdict.detail.c_str());
    return verdict;
  }
  m_pageHeader = header;
  m_haveHeader = true;
  m_pageState = PageState::kAccepted;
  return verdict;
}

bool CBaseRender::HoldPage() {
  if (m_pageState != PageState::kAccepted) return false;
  m_pageState = PageState::kNone;
  const cups_page_header2_t& h = m_pageHeader;
  const uint64_t bpl = h.cupsBytesPerLine;
  m_chunkRows = static_cast<uint32_t>(bpl >= kReadChunkBytes ? 1 : kReadChunkBytes / bpl);
  if (!m_image.CreateForRows(h.cupsWidth, h.cupsHeight, h.cupsBitsPerPixel) ||
      !ReservePageRows(m_chunkRows * bpl)) {
    tavel::ReportError(
        *m_log, LOG_ERR,
        tavel::Format("Page %d can't be printed: %s", m_page, "there is not enough memory for it."),
        "page %d: no memory for %llu bytes of raster (%s)", m_page,
        static_cast<unsigned long long>(bpl * h.cupsHeight),
        *m_image.GetLastError() ? m_image.GetLastError() : "read buffer");
    m_image.Destroy();
    return false;
  }
  m_rowsIn = 0;
  m_blankRest = false;
  m_pageState = PageState::kHeld;
  return true;
}

bool CBaseRender::BeginPage(const cups_page_header2_t& header) {
  return AcceptPage(header).ok && HoldPage();
}

uint8_t* CBaseRender::DrawPage(const cups_page_header2_t& drawn, size_t* stride) {
  if (m_pageState != PageState::kAccepted) return nullptr;
  tavel::ColorHandling colors = tavel::ColorHandling::kUnsupported;
  if (!tavel::CheckPage(drawn, &colors).ok || colors != tavel::ColorHandling::kGray ||
      drawn.cupsBitsPerPixel != 8) {
    m_pageState = PageState::kNone;
    ReportPageError("The page could not be placed on the media.", "page %d: placed as %ux%u",
                    m_page, drawn.cupsWidth, drawn.cupsHeight);
    return nullptr;
  }
  m_pageHeader = drawn;
  m_colors = colors;
  if (!HoldPage()) return nullptr;
  // Every row is the front end's to draw, on white paper.
  for (uint32_t y = 0; y < drawn.cupsHeight; ++y)
    std::memset(m_image.GetBits(y), kImageWhite, m_image.GetEffWidth());
  m_rowsIn = drawn.cupsHeight;
  *stride = m_image.GetEffWidth();
  return m_image.GetBits(0);
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

// Rows already in the read buffer: converted there, then into the image.
void CBaseRender::StoreRows(uint8_t* rows, uint32_t count) {
  const cups_page_header2_t& h = m_pageHeader;
  const uint32_t bpl = h.cupsBytesPerLine;
  tavel::ConvertRasterColors(h, m_colors, rows, static_cast<uint64_t>(count) * bpl);
  for (uint32_t i = 0; i < count; ++i)
    m_image.SetRowFromArray(m_rowsIn + i, rows + static_cast<uint64_t>(i) * bpl,
                            h.cupsBitsPerPixel, bpl);
  m_rowsIn += count;
}

void CBaseRender::PushRows(const uint8_t* rows, uint32_t count) {
  if (m_pageState != PageState::kHeld) return;
  const cups_page_header2_t& h = m_pageHeader;
  const uint32_t bpl = h.cupsBytesPerLine;
  if (count > h.cupsHeight - m_rowsIn) count = h.cupsHeight - m_rowsIn;
  if (m_colors == tavel::ColorHandling::kGray) {
    // Gray rows need no conversion: they go straight into the image.
    for (uint32_t i = 0; i < count; ++i)
      m_image.SetRowFromArray(m_rowsIn++, rows + static_cast<uint64_t>(i) * bpl,
                              h.cupsBitsPerPixel, bpl);
    return;
  }
  while (count > 0) {
    const uint32_t n = count < m_chunkRows ? count : m_chunkRows;
    std::memcpy(m_pageRows, rows, static_cast<size_t>(n) * bpl);
    StoreRows(m_pageRows, n);
    rows += static_cast<uint64_t>(n) * bpl;
    count -= n;
  }
}


void CBaseRender::AbandonPage() {
  if (m_pageState == PageState::kNone) return;
  m_pageState = PageState::kNone;
  m_image.Destroy();
  --m_page;
}

void CBaseRender::DropPageCopy() { m_kept.Destroy(); }

PageResult CBaseRender::PrintPage(const cups_page_header2_t& header, IPageSource& source) {
  if (!BeginPage(header)) {
    source.SkipPage();
    return PageResult();
  }
  // The first row comes alone: a page whose data ends before any of it
  // arrived is not printed at all (a thermal printer would feed a whole
  // page of blank paper for it).
  if (ReadRows(source, 1) == 0) return FinishPage(nullptr, false);
  source.PageStarted(m_page);
  while (m_rowsIn < header.cupsHeight) {
    const uint32_t left = header.cupsHeight - m_rowsIn;
    const uint32_t want = left < m_chunkRows ? left : m_chunkRows;
    if (ReadRows(source, want) < want) break;
  }
  return FinishPage(&source, false);
}

// A source may leave part of a row it did not deliver whole behind: only
// whole rows are stored, the rest is painted white at the end of the page.
uint32_t CBaseRender::ReadRows(IPageSource& source, uint32_t want) {
  uint32_t n = source.ReadRows(m_pageRows, want);
  if (n > want) n = want;
  StoreRows(m_pageRows, n);
  return n;
}

PageResult CBaseRender::EndPage(bool keepForCopy) { return FinishPage(nullptr, keepForCopy); }

void CBaseRender::ReportShortPage(uint32_t rowsArrived) const {
  tavel::ReportError(*m_log, LOG_ERR, tavel::Format("The print data ended inside page %d.", m_page),
                     "page %d: %u of %u lines arrived", m_page, rowsArrived,
                     m_pageHeader.cupsHeight);
}

PageResult CBaseRender::FinishPage(IPageSource* progress, bool keepForCopy) {
  PageResult result;
  if (m_pageState != PageState::kHeld) {
    m_pageState = PageState::kNone;
    return result;  // refused, and reported
  }
  m_pageState = PageState::kNone;
  const cups_page_header2_t& h = m_pageHeader;
  if (m_rowsIn < h.cupsHeight && !m_blankRest) {
    ReportShortPage(m_rowsIn);
    result.truncated = true;
    if (m_rowsIn == 0) {
      m_image.Destroy();
      result.outcome = PageOutcome::kNoData;
      return result;
    }
  }
  if (m_rowsIn < h.cupsHeight) {
    // Rows past the end of the data print as white paper.
    const uint32_t bpl = h.cupsBytesPerLine;
    std::memset(m_pageRows, tavel::WhiteByteFor(m_colors), bpl);
    tavel::ConvertRasterColors(h, m_colors, m_pageRows, bpl);
    for (uint32_t y = m_rowsIn; y < h.cupsHeight; ++y)
      m_image.SetRowFromArray(y, m_pageRows, h.cupsBitsPerPixel, bpl);
  }
  m_continuousTone = m_tones == PageTones::kAuto && h.cupsBitsPerPixel == 8 &&
                     m_image.GetBpp() == 8 &&
                     tavel::IsContinuousTone(m_image.GetBits(0), m_image.GetWidth(),
                                             m_image.GetHeight(), m_image.GetEffWidth(), false);
  if (keepForCopy) {
    // A copy that can't be kept is reported when it is asked for.
    m_kept.Copy(m_image);
  }
  result.outcome = RunPage(progress);
  return result;
}

PageResult CBaseRender::PrintPageCopy(bool keepForCopy) {
  PageResult result;
  m_pageState = PageState::kNone;
  ++m_page;
  m_pageFailed = false;
  if (keepForCopy)
    m_image.Copy(m_kept);
  else
    m_image.Transfer(m_kept);
  if (!m_image.IsValid()) {
    tavel::ReportError(
        *m_log, LOG_ERR,
        tavel::Format("Page %d can't be printed: %s", m_page, "there is not enough memory for it."),
        "page %d: no copy of the page to print", m_page);
    DropPageCopy();
    return result;
  }
  result.outcome = RunPage(nullptr);
  return result;
}

// The loaded page through the hooks, as every page goes.
PageOutcome CBaseRender::RunPage(IPageSource* progress) {
  const cups_page_header2_t& h = m_pageHeader;
  LogPageHeader();
  m_resolution = static_cast<int>(h.HWResolution[0]);
  LogAt(LOG_DEBUG, "create image width=%d, height=%d, bitsPerPixel=%d, bytesPerLine=%d",
        h.cupsWidth, h.cupsHeight, h.cupsBitsPerPixel, h.cupsBytesPerLine);
  m_image.SetXDPI(static_cast<int32_t>(h.HWResolution[0]));
  m_image.SetYDPI(static_cast<int32_t>(h.HWResolution[1]));
  OnStartPage();
  const PageOutcome outcome = RunPageHooks();
  if (progress) progress->PageFinished(m_page);
  OnEndPage();
  return outcome;
}

int CBaseRender::PageGrayMethod() const {
  switch (m_tones) {
    case PageTones::kThreshold: return kThresholdMethod;
    case PageTones::kAuto: return m_continuousTone ? m_halftone.iGrayMethod : kThresholdMethod;
    default: return m_halftone.iGrayMethod;
  }
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
  LogAt(LOG_DEBUG, "DEBUG: Duplex = %d\n", static_cast<int>(tavel::EnumValue(h.Duplex)));
  LogAt(LOG_DEBUG, "DEBUG: HWResolution = [ %d %d ]\n", h.HWResolution[0], h.HWResolution[1]);
  LogAt(LOG_DEBUG, "DEBUG: ImagingBoundingBox = [ %d %d %d %d ]\n", h.ImagingBoundingBox[0],
        h.ImagingBoundingBox[1], h.ImagingBoundingBox[2], h.ImagingBoundingBox[3]);
  LogAt(LOG_DEBUG, "DEBUG: Margins = [ %d %d ]\n", h.Margins[0], h.Margins[1]);
  LogAt(LOG_DEBUG, "DEBUG: ManualFeed = %d\n", static_cast<int>(tavel::EnumValue(h.ManualFeed)));
  LogAt(LOG_DEBUG, "DEBUG: MediaPosition = %d\n",
        static_cast<int>(tavel::EnumValue(h.MediaPosition)));
  LogAt(LOG_DEBUG, "DEBUG: NumCopies = %d\n", h.NumCopies);
  LogAt(LOG_DEBUG, "DEBUG: Orientation = %d\n", static_cast<int>(tavel::EnumValue(h.Orientation)));
  LogAt(LOG_DEBUG, "DEBUG: PageSize = [ %d %d ]\n", h.PageSize[0], h.PageSize[1]);
  LogAt(LOG_DEBUG, "DEBUG: cupsWidth = %d\n", h.cupsWidth);
  LogAt(LOG_DEBUG, "DEBUG: cupsHeight = %d\n", h.cupsHeight);
  LogAt(LOG_DEBUG, "DEBUG: cupsMediaType = %d\n",
        static_cast<int>(tavel::EnumValue(h.cupsMediaType)));
  LogAt(LOG_DEBUG, "DEBUG: cupsBitsPerColor = %d\n", h.cupsBitsPerColor);
  LogAt(LOG_DEBUG, "DEBUG: cupsBitsPerPixel = %d\n", h.cupsBitsPerPixel);
  LogAt(LOG_DEBUG, "DEBUG: cupsBytesPerLine = %d\n", h.cupsBytesPerLine);
  LogAt(LOG_DEBUG, "DEBUG: cupsColorOrder = %d\n",
        static_cast<int>(tavel::EnumValue(h.cupsColorOrder)));
  LogAt(LOG_DEBUG, "DEBUG: cupsColorSpace = %d\n",
        static_cast<int>(tavel::EnumValue(h.cupsColorSpace)));
  LogAt(LOG_DEBUG, "DEBUG: cupsCompression = %d\n",
        static_cast<int>(tavel::EnumValue(h.cupsCompression)));
}
