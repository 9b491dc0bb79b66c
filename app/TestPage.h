// The test page of a printer: drawn in memory as 8-bit gray (255 white)
// and printed as an ordinary raster job, so that it goes through the same
// engine and driver as any other page. It shows the printer's name and
// model, its dots per line and resolution, millimetre rulers along the top
// and left edges, a gray ramp left to the configured halftoning next to the
// same ramp already thresholded, bars 1, 2 and 3 dots wide, and the media,
// darkness and speed settings. Text uses a built-in 5 x 7 font, scaled by
// the resolution; what does not fit the page is cut off.
#pragma once

#include <pappl/pappl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/ModelTable.h"

namespace tavel {

struct TestPageInfo {
  std::string printerName, modelName;
  int dpi = 203;
  int headDots = 384;        // dots per line of the widest page
  unsigned width = 384;      // the page, in dots
  unsigned height = 0;       // 0: as long as the contents need
  std::vector<std::string> settings;  // "MEDIA: ...", "DARKNESS: ...", ...
  std::string halftoning;    // the configured method's name
};

struct GrayPage {
  unsigned width = 0, height = 0;
  std::vector<uint8_t> pixels;  // rows of width bytes
};

GrayPage DrawTestPage(const TestPageInfo& info);

// Writes the page as a one-page 8-bit gray PWG raster file; false and why
// on failure.
bool WriteGrayRaster(const std::string& path, const GrayPage& page, int dpi, std::string* err);

// The print head's dots per line. Thermal heads have 8 dots per millimetre
// ("203 dpi") or 12 ("300 dpi"); the widest paper a model takes (its PPD's
// largest custom width) can be wider than the head: 108 mm of labels under
// the 104 mm (832-dot) head of a 4-inch label printer.
int HeadDots(const ModelInfo& model);

// What the printer's settings put on its test page.
TestPageInfo TestPageFor(pappl_printer_t* printer);

// PAPPL's test-page callback: writes the printer's test page as a raster
// file next to the previews and returns its name for PAPPL to print.
const char* PrintTestPage(pappl_printer_t* printer, char* buffer, size_t bufsize);

}  // namespace tavel
