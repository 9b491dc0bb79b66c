// CRasterPageSource: the pages of a CUPS raster stream as the engine reads
// them, with the scheduler's page accounting and progress lines.
#pragma once

#include <cups/raster.h>

#include "render/PageSource.h"

class CRasterPageSource : public IPageSource {
 public:
  CRasterPageSource(cups_raster_t* raster, const cups_page_header2_t& header)
      : m_raster(raster), m_header(header) {}

  uint32_t ReadRows(uint8_t* dst, uint32_t count) override;
  void SkipPage() override;
  void PageStarted(int page) override;
  void PageFinished(int page) override;

 private:
  cups_raster_t* m_raster;
  const cups_page_header2_t& m_header;
};
