// CBaseRender: the base of every printer-language driver, and the engine's
// page entry point. A front end gives the driver an option source and an
// output sink, reads the job settings once (GetPrinterParameters), frames
// the job with OnStartDoc/OnEndDoc and hands over each page with PrintPage,
// which runs the page hooks in their fixed order. A driver encodes the
// prepared one-bit page in OnPaintBmp and hands its bytes to WriteSpool.
#pragma once

#include <cups/raster.h>

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

  // The page entry point: checks the header, builds the page image from the
  // source's rows, runs OnStartPage, OnBeginBmp (preparation), OnPaintBmp,
  // OnEndBmp and OnEndPage, and says what became of the page.
  PageResult PrintPage(const cups_page_header2_t& header, IPageSource& source);
  // Pages handed to PrintPage so far; the number of the current page.
  int PageNumber() const { return m_page; }

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
  // Where the rows of the page being read come from and go.
  struct PageReader {
    IPageSource& source;
    tavel::ColorHandling colors;
    uint32_t chunkRows;  // rows per request after the first
    uint32_t filled;     // image rows written so far
  };
  uint32_t ReadRows(PageReader& reader, uint32_t want);
  // Reads the rest of the page's rows into m_image, a chunk at a time,
  // converting their colours; rows that never arrive are white.
  void LoadRest(PageReader& reader, PageResult* result);
  void ReportShortPage(uint32_t rowsArrived) const;
  // Makes room for a chunk of rows; the buffer is kept for the next page.
  bool ReservePageRows(uint64_t bytes);
  // Runs the image hooks on the loaded page.
  PageOutcome RunPageHooks();
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
};
