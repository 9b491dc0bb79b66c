// Every page header is checked here, before any of its sizes reaches an
// allocation or an index. libcups itself accepts a width of 0, a line length
// that doesn't match the width, a height of 2^32 - 1 and 16 MiB lines.
#pragma once

#include <cups/raster.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "image/PageLimits.h"

namespace tavel {


// The number in one of the header's enum fields. libcups passes the stream's
// values through unchecked, and a value outside the enum's range must not be
// read as the enum.
template <class Enum>
uint32_t EnumValue(const Enum& field) {
  static_assert(sizeof(Enum) == sizeof(uint32_t), "header enums are 32 bits");
  uint32_t value;
  std::memcpy(&value, &field, sizeof value);
  return value;
}

struct HeaderVerdict {
  bool ok = true;
  std::string reason;  // short, for the user
  std::string detail;  // the numbers, for the log
};

HeaderVerdict CheckPageHeader(const cups_page_header2_t& header);

// How the colour space of a page is turned into the gray levels of the image.
enum class ColorHandling {
  kGray,       // 0 black ... max white
  kInvert,     // ink spaces: 0 white, so invert
  kSwapRgb,    // red first: swap to the image's blue-first order
  kUnsupported,
};

ColorHandling ColorHandlingFor(const cups_page_header2_t& header);

// The size check, then whether the page's colour space can be printed;
// `handling` tells how its colours are read when the page is accepted.
HeaderVerdict CheckPage(const cups_page_header2_t& header, ColorHandling* handling);

// Converts the page's raster bytes in place so that the image reads them as
// gray (0 black) or as blue-first colour.
void ConvertRasterColors(const cups_page_header2_t& header, ColorHandling handling, uint8_t* data,
                         uint64_t length);

// The byte that paints a white raster line in this page's colour space.
uint8_t WhiteByteFor(ColorHandling handling);

}  // namespace tavel
