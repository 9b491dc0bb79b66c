// The pixel work of page fitting, shared by every document reader: rows of
// 8-bit gray (0 black) come in one at a time from the top, are scaled by
// area averaging (each output dot is the mean of the document area it
// covers: thin lines survive a reduction, an enlargement keeps edges
// sharp), turned and placed on a white page of the fitted size, which the
// caller holds (the engine's page image). Besides it only two rows are
// held, never the whole document.
#pragma once

#include <cups/raster.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "app/PageFit.h"
#include "render/PageHeaderCheck.h"

namespace tavel {

class CPagePlacer {
 public:
  // Places a document of `width` x `height` pixels by `fit` on `page`: the
  // fit's width x height gray bytes (0 black), rows `stride` bytes apart,
  // white where nothing lands. False when there is no memory for the work.
  bool Start(const PageFit& fit, uint32_t width, uint32_t height, uint8_t* page, size_t stride);
  // The document's next row: `width` gray bytes.
  void AddRow(const uint8_t* gray);
  // Places what is left of the last rows; rows that never came stay white.
  void Finish();
  const PageFit& Fit() const { return m_fit; }

 private:
  void Emit(uint32_t v);

  PageFit m_fit;
  uint32_t m_srcWidth = 0, m_srcHeight = 0, m_y = 0;
  // Horizontal sampling: for scaled column u, the source columns
  // m_first[u] .. m_first[u] + m_count[u] - 1 with weights from m_weights.
  std::vector<uint32_t> m_first, m_count, m_weightAt;
  std::vector<float> m_weights;
  std::vector<float> m_row, m_acc;  // one scaled row, the row being summed
  double m_accWeight = 0;
  uint32_t m_accRow = 0;  // the scaled row being summed
  uint8_t* m_page = nullptr;
  size_t m_stride = 0;
};

// One raster row of a page the header check accepted, as 8-bit gray with 0
// black (1-, 2-, 4- and 8-bit gray or ink, 24-bit RGB, 32-bit RGBA).
void RasterRowToGray(const cups_page_header2_t& header, ColorHandling handling,
                     const uint8_t* row, uint8_t* gray);

// The header of a fitted 8-bit gray page, from the document's (size,
// depth and colour replaced; resolution the printer's).
cups_page_header2_t FittedHeader(const cups_page_header2_t& from, const PageFit& fit, int dpi);

}  // namespace tavel
