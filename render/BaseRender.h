// CBaseRender: the base of every printer-language driver. The job loop runs
// its document and page hooks in a fixed order; a driver encodes the prepared
// one-bit page in OnPaintBmp and hands its bytes to WriteSpool.
#pragma once

#include <cups/ppd.h>
#include <cups/raster.h>

#include <list>
#include <string>

#include "image/RasterImage.h"
#include "render/MyBuffer.h"
#include "render/ObjRef.h"
#include "render/Settings.h"

class CBaseRender : public TObjRefImpl<IObjRef> {
 public:
  CBaseRender();
  ~CBaseRender() override;

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

  // Writes printer bytes to standard output at once. Short writes are
  // completed; after a write fails for good nothing more is sent.
  virtual void WriteSpool(const void* data, int length);
  virtual void AddLog(const char* format, ...) __attribute__((format(printf, 2, 3)));
  virtual void GetPrinterParameters();

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

  // Reports a failure of this page to CUPS ("ERROR") with the detail as
  // "DEBUG"; drivers use it where a page cannot be sent as asked.
  void ReportPageError(const char* message, const char* detail);

  CRasterImage m_image;
  int m_resolution;
  tagREGSTRUCT m_reg;
  tagREGSTRUCTWITHALFTONE m_halftone;
  tagWaterMarkConfig m_waterMark;
  std::list<CMyBuffer*> m_sendBufferList;
  ppd_file_t* m_ppd;
  cups_page_header2_t* m_pageHeader;
  bool m_initialized;
  std::string m_modelName;

 protected:
  bool m_outputFailed;
};
