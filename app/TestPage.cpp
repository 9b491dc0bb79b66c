#include "app/TestPage.h"

#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/JobPreview.h"
#include "app/JobSettings.h"
#include "app/ModelTable.h"
#include "app/VendorOptions.h"

namespace tavel {
namespace {

constexpr int kGlyphWidth = 5;   // font columns
constexpr int kHighDpi = 300;     // heads of 12 dots per millimetre
constexpr int kGlyphHeight = 7;  // font rows
constexpr int kDotsPerFontScale = 100;  // one font scale step per 100 dpi
constexpr uint8_t kWhite = 255;
constexpr uint8_t kBlack = 0;
constexpr uint8_t kThresholdLevel = 128;  // the thresholded ramp's cut
// The test page's size is the default media's, held to a printer's: no
// wider than the widest head (when the model is unknown), no longer than
// the longest custom label (1 m, in IPP's hundredths of a millimetre).
constexpr int kMaxTestPageDots = 1280;
constexpr int kMaxMediaHundredths = 100000;
constexpr int kMaxTestPageDpi = 600;

struct Glyph {
  char c;
  uint8_t rows[kGlyphHeight];  // bit 4 is the leftmost column
};

// Upper case, digits and the punctuation names and settings use; other
// characters print as '?'.
const Glyph kFont[] = {
    {' ', {0, 0, 0, 0, 0, 0, 0}},
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'D', {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
    {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}},
    {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {'.', {0, 0, 0, 0, 0, 0x0C, 0x0C}},
    {',', {0, 0, 0, 0, 0x0C, 0x04, 0x08}},
    {':', {0, 0x0C, 0x0C, 0, 0x0C, 0x0C, 0}},
    {'-', {0, 0, 0, 0x1F, 0, 0, 0}},
    {'/', {0, 0x01, 0x02, 0x04, 0x08, 0x10, 0}},
    {'(', {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}},
    {')', {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}},
    {'=', {0, 0, 0x1F, 0, 0x1F, 0, 0}},
    {'_', {0, 0, 0, 0, 0, 0, 0x1F}},
    {'%', {0x18, 0x19, 0x02, 0x04, 0x08, 0x13, 0x03}},
    {'+', {0, 0x04, 0x04, 0x1F, 0x04, 0x04, 0}},
    {'\'', {0x04, 0x04, 0x08, 0, 0, 0, 0}},
    {'?', {0x0E, 0x11, 0x01, 0x02, 0x04, 0, 0x04}},
};

const Glyph& GlyphOf(char c) {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const Glyph& g : kFont)
    if (g.c == upper) return g;
  return kFont[sizeof kFont / sizeof kFont[0] - 1];
}

// Drawing on the gray page; everything outside it is dropped.
class Canvas {
 public:
  explicit Canvas(GrayPage* page) : m_page(page) {}

  void Fill(int x, int y, int w, int h, uint8_t value) {
    const int x0 = std::max(x, 0), y0 = std::max(y, 0);
    const int x1 = std::min(x + w, Width()), y1 = std::min(y + h, Height());
    for (int row = y0; row < y1; ++row)
      for (int col = x0; col < x1; ++col) At(col, row) = value;
  }
  // Text at (x, y), glyphs scale x scale dots per font dot; the width used.
  int Text(int x, int y, const std::string& text, int scale) {
    int cx = x;
    for (char c : text) {
      const Glyph& g = GlyphOf(c);
      for (int row = 0; row < kGlyphHeight; ++row)
        for (int col = 0; col < kGlyphWidth; ++col)
          if (g.rows[row] & (0x10 >> col))
            Fill(cx + col * scale, y + row * scale, scale, scale, kBlack);
      cx += (kGlyphWidth + 1) * scale;
    }
    return cx - x;
  }
  int Width() const { return static_cast<int>(m_page->width); }
  int Height() const { return static_cast<int>(m_page->height); }

 private:
  uint8_t& At(int x, int y) {
    return m_page->pixels[static_cast<size_t>(y) * m_page->width + static_cast<size_t>(x)];
  }
  GrayPage* m_page;
};

// Splits text into lines of at most `columns` characters, at spaces where
// it can.
std::vector<std::string> Wrap(const std::string& text, size_t columns) {
  std::vector<std::string> lines;
  std::string rest = text;
  columns = std::max<size_t>(columns, 1);
  while (rest.size() > columns) {
    const size_t space = rest.rfind(' ', columns);
    const bool atSpace = space != std::string::npos && space > 0;
    const size_t cut = atSpace ? space : columns;
    lines.push_back(rest.substr(0, cut));
    rest = rest.substr(atSpace ? cut + 1 : cut);
  }
  lines.push_back(rest);
  return lines;
}

// The page's contents, laid out top to bottom; returns the height they
// take. With draw false, only measures. Compact: the smallest text and
// lower patterns, for labels the full layout does not fit.
int Layout(const TestPageInfo& info, Canvas* canvas, bool draw, bool compact) {
  const double mm = info.dpi / 25.4;
  const int scale = compact ? 1 : std::max(1, info.dpi / kDotsPerFontScale);
  const int small = std::max(1, scale / 2);
  const int line = (kGlyphHeight + 4) * scale;
  const int width = static_cast<int>(info.width);
  auto dots = [mm](double millimetres) { return static_cast<int>(millimetres * mm + 0.5); };

  const int tickLong = dots(3), tickMid = dots(2), tickShort = dots(1);
  const int left = tickLong + 3 * (kGlyphWidth + 1) * small + dots(1);
  const int top = tickLong + kGlyphHeight * small + dots(1);
  const int right = width - dots(1);
  int y = top;
  if (draw) {
    // Rulers: a tick each millimetre, longer each 5, numbered each 10.
    for (int i = 0;; ++i) {
      const int at = dots(i);
      if (at >= std::max(width, canvas->Height())) break;
      const int len = i % 10 == 0 ? tickLong : i % 5 == 0 ? tickMid : tickShort;
      canvas->Fill(at, 0, 1, len, kBlack);
      canvas->Fill(0, at, len, 1, kBlack);
      if (i % 10 == 0 && i > 0) {
        // Numbers that would be cut by the page's edge are left out.
        const std::string n = std::to_string(i);
        const int textWidth = static_cast<int>(n.size()) * (kGlyphWidth + 1) * small;
        if (at + 2 + textWidth <= width)
          canvas->Text(at + 2, tickLong - kGlyphHeight * small, n, small);
        if (at + 2 + kGlyphHeight * small <= canvas->Height())
          canvas->Text(tickLong + 2, at + 2, n, small);
      }
    }
  }
  const size_t columns =
      static_cast<size_t>(std::max(1, (right - left) / ((kGlyphWidth + 1) * scale)));
  auto text = [&](const std::string& s) {
    for (const std::string& part : Wrap(s, columns)) {
      if (draw) canvas->Text(left, y, part, scale);
      y += line;
    }
  };
  text(info.printerName);
  text(info.modelName);
  text(std::to_string(info.headDots) + " DOTS/LINE, " + std::to_string(info.dpi) + " DPI");
  for (const std::string& s : info.settings) text(s);
  y += line / 2;

  // The ramp twice: once as gray for the engine's halftoning, once as the
  // threshold makes it.
  const int rampHeight = dots(compact ? 3 : 6);
  const int rampWidth = std::max(1, right - left);
  for (int pass = 0; pass < 2; ++pass) {
    text(pass == 0 ? "HALFTONING: " + info.halftoning : "THRESHOLD");
    if (draw)
      for (int x = 0; x < rampWidth; ++x) {
        const uint8_t gray = static_cast<uint8_t>(255 - x * 255 / rampWidth);
        const uint8_t v = pass == 0 ? gray : (gray < kThresholdLevel ? kBlack : kWhite);
        canvas->Fill(left + x, y, 1, rampHeight, v);
      }
    y += rampHeight + line / 2;
  }

  // Bars of 1, 2 and 3 dots with gaps of the same width, a group each.
  const int barHeight = dots(compact ? 2 : 4);
  text("BARS OF 1, 2, 3 DOTS");
  const int group = (right - left) / 3;
  if (draw)
    for (int bar = 1; bar <= 3; ++bar) {
      const int start = left + (bar - 1) * group;
      for (int x = start; x + bar <= start + group - dots(1); x += 2 * bar)
        canvas->Fill(x, y, bar, barHeight, kBlack);
    }
  y += barHeight + line / 2;
  return y + dots(2);
}

std::string MmText(int hundredths) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", hundredths / 100.0);
  return text;
}

}  // namespace

GrayPage DrawTestPage(const TestPageInfo& info) {
  GrayPage page;
  page.width = info.width;
  const int full = Layout(info, nullptr, false, false);
  page.height = info.height ? info.height : static_cast<unsigned>(full);
  page.pixels.assign(static_cast<size_t>(page.width) * page.height, kWhite);
  Canvas canvas(&page);
  Layout(info, &canvas, true, full > static_cast<int>(page.height));
  return page;
}

bool WriteGrayRaster(const std::string& path, const GrayPage& page, int dpi, std::string* err) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) {
    *err = "Unable to create \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  cups_page_header2_t header;
  const double widthPt = page.width * 72.0 / dpi, heightPt = page.height * 72.0 / dpi;
  pwg_media_t* media = pwgMediaForSize(static_cast<int>(page.width * 2540.0 / dpi + 0.5),
                                       static_cast<int>(page.height * 2540.0 / dpi + 0.5));
  bool ok = ras && media &&
            cupsRasterInitPWGHeader(&header, media, "sgray_8", dpi, dpi, "one-sided", nullptr);
  if (ok) {
    // The header's size is the page's, not a named medium's.
    header.cupsWidth = page.width;
    header.cupsHeight = page.height;
    header.cupsBytesPerLine = page.width;
    header.PageSize[0] = static_cast<unsigned>(widthPt + 0.5);
    header.PageSize[1] = static_cast<unsigned>(heightPt + 0.5);
    header.cupsPageSize[0] = static_cast<float>(widthPt);
    header.cupsPageSize[1] = static_cast<float>(heightPt);
    header.ImagingBoundingBox[2] = header.PageSize[0];
    header.ImagingBoundingBox[3] = header.PageSize[1];
    header.cupsImagingBBox[2] = static_cast<float>(widthPt);
    header.cupsImagingBBox[3] = static_cast<float>(heightPt);
    std::snprintf(header.cupsPageSizeName, sizeof header.cupsPageSizeName, "custom_%ux%u",
                  page.width, page.height);
    ok = cupsRasterWriteHeader2(ras, &header) &&
         cupsRasterWritePixels(ras, const_cast<unsigned char*>(page.pixels.data()),
                               static_cast<unsigned>(page.pixels.size())) == page.pixels.size();
  }
  if (ras) cupsRasterClose(ras);
  if (close(fd) != 0) ok = false;
  if (!ok) {
    *err = "Unable to write \"" + path + "\".";
    unlink(path.c_str());
  }
  return ok;
}

namespace {

// A media dimension (hundredths of a millimetre) in dots, within 0-1 m.
unsigned MediaDots(int hundredths, int dpi) {
  return static_cast<unsigned>(std::clamp(hundredths, 0, kMaxMediaHundredths) *
                                   static_cast<double>(dpi) / 2540.0 +
                               0.5);
}

}  // namespace

int HeadDots(const ModelInfo& model) {
  struct Head {
    const char* driver;
    int mm;  // what one line of dots spans
  };
  static const Head kHeads[] = {{"tspl-2in-203", 54}, {"tspl-4in-203", 104},
                                {"tspl-4in-300", 104}, {"escpos-58mm", 48},
                                {"escpos-80mm", 72},   {"cpcl-4in-203", 104},
                                {"paperang-384", 48},  {"peripage-384", 48}};
  const int dotsPerMm = model.dpi >= kHighDpi ? 12 : 8;
  for (const Head& head : kHeads)
    if (std::strcmp(head.driver, model.driverName) == 0) return head.mm * dotsPerMm;
  return static_cast<int>(model.maxWidthPt * model.dpi / 72.0 + 0.5);
}

TestPageInfo TestPageFor(pappl_printer_t* printer) {
  TestPageInfo info;
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  const ModelInfo* model = FindModel(papplPrinterGetDriverName(printer));
  info.printerName = papplPrinterGetName(printer);
  info.modelName = model ? model->modelName : data.make_and_model;
  info.dpi = data.x_default > 0 && data.x_default <= kMaxTestPageDpi ? data.x_default : 203;
  if (model) info.headDots = HeadDots(*model);
  const pappl_media_col_t& media = data.media_default;
  // The media's size in dots, no wider than the head.
  const unsigned widest =
      static_cast<unsigned>(info.headDots > 0 ? info.headDots : kMaxTestPageDots);
  info.width = std::min(MediaDots(media.size_width, info.dpi), widest);
  if (info.width == 0) info.width = widest;
  // Labels are as long as the label; a roll takes what the page needs.
  if (media.tracking != PAPPL_MEDIA_TRACKING_CONTINUOUS)
    info.height = MediaDots(media.size_length, info.dpi);
  info.settings.push_back(std::string("MEDIA: ") + media.size_name);
  info.settings.push_back(MmText(media.size_width) + " X " + MmText(media.size_length) + " MM, " +
                          media.type);
  const bool darkness = data.darkness_supported > 0;
  info.settings.push_back(
      "DARKNESS: " +
      (!darkness ? std::string("NONE")
                 : data.darkness_configured == kDarknessAsInstalled
                       ? std::string("OWN")
                       : std::to_string(data.darkness_configured) + "%") +
      ", SPEED: " +
      (data.speed_default > 0 ? MmText(data.speed_default) + " MM/S" : std::string("OWN")));
  info.halftoning = "DEFAULT";
  if (model)
    if (const ModelOption* option = model->Option("ImageFilter"))
      info.halftoning = VendorValue(*FindVendorOption("halftoning"), option->defaultChoice);
  if (ipp_t* attrs = papplPrinterGetDriverAttributes(printer)) {
    if (ipp_attribute_t* a = ippFindAttribute(attrs, "halftoning-default", IPP_TAG_KEYWORD))
      info.halftoning = ippGetString(a, 0, nullptr);
    ippDelete(attrs);
  }
  return info;
}

const char* PrintTestPage(pappl_printer_t* printer, char* buffer, size_t bufsize) {
  const std::string folder = PreviewFolder(printer);
  if (folder.empty()) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR,
                    "No folder to write the test page to (preview-directory).");
    return nullptr;
  }
  const std::string path = folder + "/test-page.pwg";
  const std::string partial = path + ".new";
  std::string err;
  const TestPageInfo info = TestPageFor(printer);
  if (!WriteGrayRaster(partial, DrawTestPage(info), info.dpi, &err) ||
      rename(partial.c_str(), path.c_str()) != 0) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "%s", err.c_str());
    return nullptr;
  }
  std::snprintf(buffer, bufsize, "%s", path.c_str());
  return buffer;
}

}  // namespace tavel
