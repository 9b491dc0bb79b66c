// IPageSource: where the engine takes one page's raster rows from, and how
// it tells the front end about the page's progress. The filter reads a CUPS
// raster stream; a printer application hands over the lines it collected.
#pragma once

#include <cstdint>

class IPageSource {
 public:
  virtual ~IPageSource() = default;
  // Reads up to `count` rows of the page header's cupsBytesPerLine bytes
  // each, top row first, into `dst`; returns the whole rows delivered.
  // Fewer than asked means the page's data ended; whatever a source left
  // in the rows it did not count is painted white by the engine.
  virtual uint32_t ReadRows(uint8_t* dst, uint32_t count) = 0;
  // The page was refused before any row was read: drop the rest of its data
  // so that the next page is found where it is.
  virtual void SkipPage() {}
  // The page was accepted and its memory is held; its rows are read next.
  virtual void PageStarted(int /*page*/) {}
  // The page's image hooks have run; OnEndPage comes next.
  virtual void PageFinished(int /*page*/) {}
};
