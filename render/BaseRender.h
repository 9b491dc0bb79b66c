// CBaseRender: the base of every printer-language driver, and the engine's
// page entry point. A front end gives the driver an option source and an
// output sink, reads the job settings once (GetPrinterParameters), frames
// the job with OnStartDoc/OnEndDoc and hands over each page: its header
// (AcceptPage, HoldPage), its rows pushed straight into the page image
// (PushRows) and its end (EndPage), which runs the page hooks in their fixed
// order; PrintPage does the same with rows read from a source. A driver
// encodes the prepared one-bit page in OnPaintBmp and hands its bytes to
// WriteSpool.
#pragma once

#include <cups/raster.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "image/RasterImage.h"
#include "render/JobLog.h"
#include "render/MyBuffer.h"
#include "render/ObjRef.h"
#include "render/OptionSource.h"
#include "render/OutputSink.h"
#include "render/PageHeaderCheck.h"
#include "render/PageSource.h"
#include "render/Settings.h"

// What became of one page handed to PrintPage.
enum class PageOutcome {
  kPrinted,      // the driver encoded and sent it
  kRefused,      // its header or memory ruled it out; nothing of it was read
  kNotPrepared,  // its image could not be built or reduced to one bit
  kNotSent,      // the driver reported that it could not send it as asked
  kNoData,       // its data ended before its first row; nothing was sent
};

struct PageResult {
  PageOutcome outcome = PageOutcome::kRefused;
  bool truncated = false;  // its data ended early; the missing rows are white
  // The page went through preparation to the driver (printed or not sent).
  bool Prepared() const {
    return outcome == PageOutcome::kPrinted || outcome == PageOutcome::kNotSent;
  }
};

// How a page's gray levels become dots, page by page.
enum class PageTones {
  kConfigured,  // the job's halftoning method (ImageFilter)
  kThreshold,   // the threshold, which keeps the edges of line art crisp
  kAuto,        // decided from the complete page: continuous tone (an 8-bit
                // page with enough gray areas) gets the configured method,
                // anything else the threshold
};

class CBaseRender : public TObjRefImpl<IObjRef> {
 public:
  CBaseRender();
  ~CBaseRender() override;

  // Where the job settings come from and where the printer bytes go; both
  // stay owned by the front end and must outlive the job.
  void SetOptionSource(IOptionSource* source) { m_options = source; }
  void SetOutputSink(IOutputSink* sink) { m_sink = sink; }
  // Where diagnostics and messages go; stays owned by the front end. Null
  // (and the start) is a silent log.
  void SetJobLog(IJobLog* log) { m_log = log ? log : &m_silentLog; }
  IJobLog& JobLog() const { return *m_log; }

  // The page entry point, rows pushed. AcceptPage counts the page and checks
  // its header (a refused page is reported, and nothing more of it is taken);
  // HoldPage makes its image (false, reported, when there is no memory for
  // it); BeginPage is the two. PushRows writes the next rows, of the
  // header's cupsBytesPerLine bytes each, straight into the image. EndPage
  // paints the rows that never came as white paper (a short page, reported,
  // and not printed when no row came), runs OnStartPage, OnBeginBmp
  // (preparation), OnPaintBmp, OnEndBmp and OnEndPage, and says what became
  // of the page. With `keepForCopy` a copy of the loaded page is kept for
  // PrintPageCopy, which prints it once more as the next page.
  tavel::HeaderVerdict AcceptPage(const cups_page_header2_t& header);
  bool HoldPage();
  bool BeginPage(const cups_page_header2_t& header);
  void PushRows(const uint8_t* rows, uint32_t count);
  PageResult EndPage(bool keepForCopy = false);
  PageResult PrintPageCopy(bool keepForCopy);
  void DropPageCopy();
  // An accepted page the front end draws itself at another size (placed on
  // its media): `drawn` is the header of an 8-bit gray page (0 black), whose
  // image is made white and returned, rows `*stride` bytes apart; every row
  // counts as delivered. Null, reported, when it can't be.
  uint8_t* DrawPage(const cups_page_header2_t& drawn, size_t* stride);
  // How the accepted page's raster is read (for a front end that reads it).
  tavel::ColorHandling PageColors() const { return m_colors; }
  // The rows not pushed are white paper by the front end's choice (a
  // cancelled job): not a short page.
  void BlankRest() { m_blankRest = true; }
  // Drops the page begun: nothing of it is printed and it is not counted.
  void AbandonPage();
  // The same path for rows read from a source: BeginPage, the rows as the
  // source delivers them, EndPage; the source hears of the page's progress.
  PageResult PrintPage(const cups_page_header2_t& header, IPageSource& source);
  // Pages begun so far; the number of the current page.
  int PageNumber() const { return m_page; }
  // Applies from the next page on; kConfigured until set.
  void SetPageTones(PageTones tones) { m_tones = tones; }

  // Document and page hooks, in slot order.
  virtual void OnStartDoc(unsigned long reserved);
  virtual void OnEndDoc();
  virtual void OnInit();
  virtual void OnDestroy();
  virtual void OnStartPage();
  virtual void OnEndPage();
  virtual void OnBeginBmp();
  virtual void OnEndBmp();
  virtual void OnPaintBmp();

  // Writes printer bytes to the output sink at once. Short writes are
  // completed; after a write fails for good nothing more is sent.
  virtual void WriteSpool(const void* data, int length);
  virtual void AddLog(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void LogAt(int priority, const char* format, ...) const __attribute__((format(printf, 3, 4)));
  virtual void GetPrinterParameters();

  // The bit value that means ink in the page OnPaintBmp receives. The
  // prepared page has ink as 0; a driver whose printer wants 1 says so and
  // the engine inverts the page once, before OnPaintBmp.
  virtual int InkBit() const { return 0; }
  // A driver's last changes to the prepared page (ink still 0) before it is
  // turned to the driver's polarity.
  virtual void PrepareForPrinter() {}
  // Hands the prepared page to OnPaintBmp in the driver's polarity.
  void PaintPage();

  void ResetSendBufferList();
  int mm_2_dots(int mm) const;
  void SetModelName(const char* name);
  std::string GetMarkedOption(const char* keyword);

  // Page image preparation for the one-bit head.
  void AdjustImage();
  void CropWhiteEdge(int top, int bottom, int left, int right);
  void Negative();
  void AdjustEffWidthBits();

  // True once a write to the printer failed; the job must not succeed.
  bool OutputFailed() const { return m_outputFailed; }

  // Reports that this page can't be sent as asked: the message as "ERROR",
  // the printf-style detail as "DEBUG", both in the log.
  void ReportPageError(const char* message, const char* detailFormat, ...)
      __attribute__((format(printf, 3, 4)));

  tagREGSTRUCT m_reg;
  tagREGSTRUCTWITHALFTONE m_halftone;
  tagWaterMarkConfig m_waterMark;
  std::list<CMyBuffer*> m_sendBufferList;
  std::string m_modelName;

 protected:
  // Logs the page header the way the job log has always shown it.
  void LogPageHeader() const;
  // Reads up to `want` rows from the source into the image.
  uint32_t ReadRows(IPageSource& source, uint32_t want);
  // Converts rows in the read buffer in place and writes them into the image.
  void StoreRows(uint8_t* rows, uint32_t count);
  void ReportShortPage(uint32_t rowsArrived) const;
  // Makes room for a chunk of rows; the buffer is kept for the next page.
  bool ReservePageRows(uint64_t bytes);
  // The end of a held page; `progress` hears that its hooks have run.
  PageResult FinishPage(IPageSource* progress, bool keepForCopy);
  // The loaded page through the hooks, OnStartPage to OnEndPage.
  PageOutcome RunPage(IPageSource* progress);
  // Runs the image hooks on the loaded page.
  PageOutcome RunPageHooks();
  // The halftoning method for the current page, under the page tones.
  int PageGrayMethod() const;
  // Turns the prepared page to the driver's polarity and paints it.
  void PaintInInkPolarity();

  CRasterImage m_image;
  int m_resolution;
  cups_page_header2_t m_pageHeader;
  bool m_haveHeader;
  bool m_initialized;
  bool m_outputFailed;
  bool m_pageFailed;  // ReportPageError was called for the current page
  int m_page;
  IOptionSource* m_options;
  IOutputSink* m_sink;
  CSilentJobLog m_silentLog;
  IJobLog* m_log;
  uint8_t* m_pageRows;  // a chunk of the current page's rows, as read
  uint64_t m_pageRowsCapacity;
  // Where the current page is: none (ended or refused), accepted (header
  // checked), held (its image made, rows coming).
  enum class PageState { kNone, kAccepted, kHeld };
  PageState m_pageState;
  tavel::ColorHandling m_colors;  // how the page's raster is read
  uint32_t m_chunkRows;           // rows converted at a time
  uint32_t m_rowsIn;              // image rows written so far
  bool m_blankRest;               // missing rows are white by the front end's choice
  PageTones m_tones;
  bool m_continuousTone;          // the current page's own verdict, for kAuto
  CRasterImage m_kept;            // the loaded page, for its next copy
};
