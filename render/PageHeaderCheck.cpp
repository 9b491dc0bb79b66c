#include "render/PageHeaderCheck.h"

#include <cstdio>

namespace tavel {
namespace {

HeaderVerdict Refuse(const char* reason, const char* fmt, unsigned a, unsigned b = 0,
                     unsigned c = 0) {
  HeaderVerdict v;
  v.ok = false;
  v.reason = reason;
  char text[256];
  std::snprintf(text, sizeof text, fmt, a, b, c);
  v.detail = text;
  return v;
}

const char* ColorSpaceName(unsigned space) {
  switch (space) {
    case CUPS_CSPACE_W: return "W (gray)";
    case CUPS_CSPACE_RGB: return "RGB";
    case CUPS_CSPACE_RGBA: return "RGBA";
    case CUPS_CSPACE_K: return "K (black)";
    case CUPS_CSPACE_CMY: return "CMY";
    case CUPS_CSPACE_YMC: return "YMC";
    case CUPS_CSPACE_CMYK: return "CMYK";
    case CUPS_CSPACE_YMCK: return "YMCK";
    case CUPS_CSPACE_KCMY: return "KCMY";
    case CUPS_CSPACE_KCMYcm: return "KCMYcm";
    case CUPS_CSPACE_GMCK: return "GMCK";
    case CUPS_CSPACE_GMCS: return "GMCS";
    case CUPS_CSPACE_WHITE: return "WHITE";
    case CUPS_CSPACE_GOLD: return "GOLD";
    case CUPS_CSPACE_SILVER: return "SILVER";
    case CUPS_CSPACE_CIEXYZ: return "CIE XYZ";
    case CUPS_CSPACE_CIELab: return "CIE Lab";
    case CUPS_CSPACE_RGBW: return "RGBW";
    case CUPS_CSPACE_SW: return "SW (sRGB gray)";
    case CUPS_CSPACE_SRGB: return "sRGB";
    case CUPS_CSPACE_ADOBERGB: return "Adobe RGB";
    default: return "an unknown colour space";
  }
}

}  // namespace

HeaderVerdict CheckPage(const cups_page_header2_t& h, ColorHandling* handling) {
  *handling = ColorHandling::kUnsupported;
  HeaderVerdict verdict = CheckPageHeader(h);
  if (!verdict.ok) return verdict;
  *handling = ColorHandlingFor(h);
  if (*handling != ColorHandling::kUnsupported) return verdict;
  verdict.ok = false;
  verdict.reason = std::string("the printer can't print ") + ColorSpaceName(EnumValue(h.cupsColorSpace)) +
                   " pages.";
  char detail[128];
  std::snprintf(detail, sizeof detail,
                "cupsColorSpace = %u, cupsColorOrder = %u, cupsBitsPerPixel = %u",
                EnumValue(h.cupsColorSpace), EnumValue(h.cupsColorOrder), h.cupsBitsPerPixel);
  verdict.detail = detail;
  return verdict;
}

HeaderVerdict CheckPageHeader(const cups_page_header2_t& h) {
  const unsigned bpp = h.cupsBitsPerPixel;
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24 && bpp != 32)
    return Refuse("The page has a pixel depth the printer can't use.",
                  "cupsBitsPerPixel = %u (1, 4, 8, 24 or 32 expected)", bpp);
  if (h.cupsWidth == 0)
    return Refuse("The page has no width.", "cupsWidth = %u", h.cupsWidth);
  if (h.HWResolution[0] == 0 || h.HWResolution[1] == 0 || h.HWResolution[0] > kMaxResolution ||
      h.HWResolution[1] > kMaxResolution)
    return Refuse("The page has an unusable resolution.", "HWResolution = [ %u %u ], limit %u",
                  h.HWResolution[0], h.HWResolution[1], kMaxResolution);
  const uint64_t needed = (static_cast<uint64_t>(h.cupsWidth) * bpp + 7) / 8;
  if (h.cupsBytesPerLine < needed)
    return Refuse("The page's raster lines are too short for its width.",
                  "cupsBytesPerLine = %u, cupsWidth = %u at %u bits need more",
                  h.cupsBytesPerLine, h.cupsWidth, bpp);
  if (h.cupsBytesPerLine > kMaxLineBytes)
    return Refuse("The page is too wide.", "cupsBytesPerLine = %u, limit %u", h.cupsBytesPerLine,
                  static_cast<unsigned>(kMaxLineBytes));
  const uint64_t total = static_cast<uint64_t>(h.cupsBytesPerLine) * h.cupsHeight;
  if (total > kMaxPageBytes)
    return Refuse("The page is too large to print.",
                  "cupsBytesPerLine = %u x cupsHeight = %u exceeds %u bytes", h.cupsBytesPerLine,
                  h.cupsHeight, static_cast<unsigned>(kMaxPageBytes));
  return HeaderVerdict();
}

ColorHandling ColorHandlingFor(const cups_page_header2_t& h) {
  const unsigned bpp = h.cupsBitsPerPixel;
  const bool chunked = EnumValue(h.cupsColorOrder) == CUPS_ORDER_CHUNKED;
  switch (EnumValue(h.cupsColorSpace)) {
    case CUPS_CSPACE_W:
    case CUPS_CSPACE_SW:
      return bpp <= 8 ? ColorHandling::kGray : ColorHandling::kUnsupported;
    case CUPS_CSPACE_K:
    case CUPS_CSPACE_GOLD:
    case CUPS_CSPACE_SILVER:
    case CUPS_CSPACE_WHITE:
      return bpp <= 8 ? ColorHandling::kInvert : ColorHandling::kUnsupported;
    case CUPS_CSPACE_RGB:
    case CUPS_CSPACE_SRGB:
    case CUPS_CSPACE_ADOBERGB:
      if (bpp == 24 && chunked) return ColorHandling::kSwapRgb;
      return ColorHandling::kUnsupported;
    case CUPS_CSPACE_RGBA:
      if (bpp == 32 && chunked) return ColorHandling::kSwapRgb;
      return ColorHandling::kUnsupported;
    default:
      return ColorHandling::kUnsupported;
  }
}

void ConvertRasterColors(const cups_page_header2_t& h, ColorHandling handling, uint8_t* data,
                         uint64_t length) {
  if (handling == ColorHandling::kInvert) {
    for (uint64_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(~data[i]);
  } else if (handling == ColorHandling::kSwapRgb) {
    const uint64_t step = h.cupsBitsPerPixel / 8;
    const uint64_t line = h.cupsBytesPerLine;
    for (uint64_t start = 0; start + line <= length; start += line) {
      uint8_t* p = data + start;
      for (uint64_t x = 0; x < h.cupsWidth; ++x, p += step) {
        uint8_t t = p[0];
        p[0] = p[2];
        p[2] = t;
      }
    }
  }
}

uint8_t WhiteByteFor(ColorHandling handling) {
  return handling == ColorHandling::kInvert ? 0x00 : 0xFF;
}

}  // namespace tavel
