// CRasterJob: one print job of the printer application, from PAPPL's raster
// callbacks to the engine. It reads the job settings once, frames the job
// with OnStartDoc/OnEndDoc, collects each page's lines and hands the page to
// the engine's page entry point, and sends the printer bytes to the job's
// device. Each job has its own driver, settings and buffers, so printers
// print at the same time without sharing anything.
//
// Cancel: PAPPL stops handing over lines; the page in progress is completed
// with white paper and printed, and the document end is still sent.
#pragma once

#include <pappl/pappl.h>

#include <cstdint>
#include <vector>

#include "app/DeviceOutputSink.h"
#include "app/ModelTable.h"
#include "app/PapplJobLog.h"
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

 private:
  static bool PrintRasterFileNamed(pappl_job_t* job, pappl_device_t* device,
                                   const char* filename);
  CRasterJob(const tavel::ModelInfo& model, pappl_job_t* job, pappl_device_t* device);
  ~CRasterJob();

  bool Open(pappl_job_t* job, const pappl_pr_options_t& options);
  bool BeginPage(pappl_job_t* job, const cups_page_header2_t& header);
  bool PrintCollectedPage(pappl_job_t* job);
  // Decodes what was sent and keeps it as the job's preview.
  void KeepPreview(pappl_job_t* job);
  // The halftoning method for this page under print-content-optimize.
  int PageGrayMethod() const;

  const tavel::ModelInfo& m_model;
  CBaseRender* m_driver;
  CMapOptionSource m_settings;
  CDeviceOutputSink m_sink;
  CPapplJobLog m_log;
  unsigned m_content;   // print-content-optimize
  int m_photoMethod;    // the configured halftoning method
  cups_page_header2_t m_header;
  std::vector<uint8_t> m_rows;
  uint32_t m_linesSeen;  // lines handed over for the current page
  bool m_inPage;
  std::vector<uint8_t> m_sent;  // the bytes sent, for the job's preview
  uint64_t m_sentPageBytes;     // their pages' size as one-bit pictures
};
