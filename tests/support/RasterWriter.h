// Raster streams for tests, written with libcups's own raster writer.
#pragma once

#include <cups/raster.h>

#include <cstdint>
#include <string>
#include <vector>

struct RasterPage {
  cups_page_header2_t header;
  std::vector<uint8_t> data;  // cupsBytesPerLine x cupsHeight bytes (may be shorter)
};

// A page header with consistent sizes; bytesPerLine 0 means "as the width needs".
cups_page_header2_t MakeHeader(unsigned width, unsigned height, unsigned bitsPerPixel,
                               cups_cspace_t space = CUPS_CSPACE_SW, unsigned dpi = 203,
                               unsigned bytesPerLine = 0);

// A page of one byte value everywhere.
RasterPage UniformPage(const cups_page_header2_t& header, uint8_t value);

// Writes the pages as one stream. Headers are written as given; pixel data
// as given (a shorter data vector makes a short page).
std::vector<uint8_t> WriteRaster(const std::vector<RasterPage>& pages,
                                 cups_mode_t mode = CUPS_RASTER_WRITE);
// Only the header of each page, no pixel data.
std::vector<uint8_t> WriteRasterHeaders(const std::vector<cups_page_header2_t>& headers);
