// CRasterJob: one print job of the printer application, from PAPPL's raster
// callbacks to the engine. It reads the job settings once, frames the job
// with OnStartDoc/OnEndDoc, hands each page's lines to the engine as they
// come, and sends the printer bytes to the job's device. Each job has its
// own driver, settings and buffers, so printers print at the same time
// without sharing anything.
//
// Every page is fitted to the job's media (PageFit): a page already of the
// media's size goes straight into the engine's page, line by line; any
// other is placed (PagePlacer) into the engine's page as its lines come.
// The engine holds the only copy of the page.
// Documents PAPPL spools (PWG raster, PDF through Ghostscript, PNG, JPEG)
// are read here with every size checked before it is used; copies repeat
// the document (collated) or each page (uncollated, as CUPS does unless
// asked otherwise). A document that can't be read ends its job with a
// job-state-message that says why.
//
// The printer, when it can be asked (StatusWatch.h), is asked before the
// job's first bytes and before each page and copy; the job waits while it
// can't print.
//
// Cancel: PAPPL stops handing over lines; the page in progress is completed
// with white paper and printed, and the document end is still sent. Every
// loop here checks for a cancel; Ghostscript is killed on one.
#pragma once

#include <pappl/pappl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/DeviceOutputSink.h"
#include "app/ModelTable.h"
#include "app/PageFit.h"
#include "app/PagePlacer.h"
#include "app/PapplJobLog.h"
#include "app/StatusWatch.h"
#include "render/BaseRender.h"
#include "render/MapOptionSource.h"

class CRasterJob {
 public:
  // The PAPPL raster callbacks.
  static bool StartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
  static bool StartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
                        unsigned page);
  static bool WriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
                        unsigned y, const unsigned char* line);
  static bool EndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
                      unsigned page);
  static bool EndJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
  // A PWG raster file that PAPPL prints from its spool (the test page): its
  // pages go through the callbacks above. PAPPL's MIME filter callback.
  static bool PrintRasterFile(pappl_job_t* job, pappl_device_t* device, void* data);
  static bool PrintPdfFile(pappl_job_t* job, pappl_device_t* device, void* data);
  // PNG and JPEG documents.
  static bool PrintImageFile(pappl_job_t* job, pappl_device_t* device, void* data);

 private:
  CRasterJob(const tavel::ModelInfo& model, pappl_job_t* job, pappl_device_t* device);
  ~CRasterJob();

  // Starts a job of ours (not streamed by PAPPL): options and the job
  // object, or false with the job's message set.
  static CRasterJob* StartOwnJob(pappl_job_t* job, pappl_device_t* device,
                                 pappl_pr_options_t** options);
  // Ends it; `ok` and what the end adds.
  static bool EndOwnJob(pappl_job_t* job, pappl_device_t* device, pappl_pr_options_t* options,
                        bool ok);
  // The pages of one raster stream through the page path; false (with the
  // job's message set) when the stream is broken or a page can't print.
  // With `rendered`, the stream holds those pages (a Ghostscript run) drawn
  // at their fits' scales: each is checked against its fit and placed.
  bool PrintRasterStream(pappl_job_t* job, cups_raster_t* ras, const char* what,
                         const std::vector<tavel::PageFit>* rendered = nullptr,
                         size_t first = 0, size_t count = 0);
  bool Open(pappl_job_t* job, const pappl_pr_options_t& options);
  // The page's fit decides where its lines go; false (the job's message
  // set) when it can't be printed at all.
  bool BeginPage(pappl_job_t* job, const cups_page_header2_t& header);
  bool PlacePage(pappl_job_t* job, const tavel::PageFit& fit);
  // The document's next line (of m_header), to the engine or the placer.
  void TakeLine(const unsigned char* line);
  // Ends the page begun and prints it and its copies.
  bool PrintCollectedPage(pappl_job_t* job);
  tavel::FitRequest FitFor(uint32_t width, uint32_t height, double xRes, double yRes) const;
  // Decodes what was sent and keeps it as the job's preview.
  void KeepPreview(pappl_job_t* job);
  // Asks the printer how it is before the job's first bytes; the answer
  // holds for page 1 (ReadyToSend).
  void AskAtStart(pappl_job_t* job);
  // Before bytes go to the printer: asks it how it is and waits while it
  // can't print. False (the job's message set unless cancelled) when the
  // job can't go on.
  bool ReadyToSend(pappl_job_t* job);
  // The job's message when its bytes could not be sent.
  std::string SendFailure() const;

  const tavel::ModelInfo& m_model;
  CBaseRender* m_driver;
  CMapOptionSource m_settings;
  CDeviceOutputSink m_sink;
  CPapplJobLog m_log;
  cups_page_header2_t m_header;  // the document page's
  cups_page_header2_t m_held;    // the page as the engine holds it
  // Where the current page's lines go: nowhere (refused), straight into the
  // engine's page, or through the placer into it.
  enum class PageMode { kNone, kDirect, kPlaced };
  PageMode m_mode;
  tavel::ColorHandling m_colors;  // how the document page's lines are read
  std::string m_refusal;          // why the engine refused the page, if it did
  tavel::CPagePlacer m_placer;
  std::vector<uint8_t> m_gray;    // one line as gray, for the placer
  uint32_t m_nextLine;   // the line the page takes next
  uint32_t m_linesSeen;  // lines handed over for the current page
  bool m_inPage;
  std::vector<uint8_t> m_sent;  // the bytes sent, for the job's preview
  uint64_t m_sentPageBytes;     // their pages' size as one-bit pictures
  tavel::FitRequest m_fit;      // the job's media, scaling and orientation
  const tavel::PageFit* m_rendered;  // the fit the page was drawn for, or null
  int m_copies;                 // copies asked for
  bool m_collate;               // copies repeat the document, not each page
  int m_pageCopies;             // times each collected page is printed
  bool m_own;                   // a job of ours, not one PAPPL streams
  pappl_device_t* m_device;
  bool m_startAsked;            // asked at the job's start: page 1 needs no question
  tavel::StatusAnswer m_startAnswer;
  tavel::PrinterStatus m_startStatus;
  int m_pagesSent;              // pages and copies the printer took
  int m_pagesTotal;             // pages and copies the job prints; 0 when not known
};
