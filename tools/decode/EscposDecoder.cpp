#include "EscposDecoder.h"

#include "Explain.h"

namespace {

constexpr uint8_t ESC = 0x1B, GS = 0x1D;
constexpr uint8_t kDle = 0x10, kEot = 0x04;  // DLE EOT n: the status query

bool Truncated(Stream& s, size_t start, const char* what) {
  return s.Cut(start, Format("%s cut short: stream ends after %zu bytes of it (truncated?)", what,
                              s.size - start));
}

const char* ScaleName(unsigned m) {
  switch (m & 3) {
    case 1: return " (double width)";
    case 2: return " (double height)";
    case 3: return " (double width and height)";
  }
  return "";
}

}  // namespace

int ParseSharedEscpos(Stream& s, size_t& pos, Page& page) {
  const size_t start = pos;
  if (pos + 1 >= s.size || (s.data[pos] != ESC && s.data[pos] != GS)) return 0;
  const uint8_t c0 = s.data[pos], c1 = s.data[pos + 1];
  if (c0 == ESC && c1 == 'a') {
    if (!s.Has(pos, 3)) return Truncated(s, start, "ESC a"), -1;
    uint8_t n = s.data[pos + 2];
    const char* names[] = {"left", "centre", "right"};
    unsigned k = n >= '0' ? n - '0' : n;
    if (k > 2) return s.Fail(start + 2, Format("ESC a with unknown alignment %u", n)), -1;
    s.Item(start, Format("ESC a %u (align %s)", n, names[k]));
    Note(s, start, Act::kAlign, k);
    pos += 3;
    return 1;
  }
  if (c0 == ESC && c1 == 'J') {
    if (!s.Has(pos, 3)) return Truncated(s, start, "ESC J"), -1;
    s.Item(start, Format("ESC J %u (feed %u dots)", s.data[pos + 2], s.data[pos + 2]));
    Note(s, start, Act::kFeed, s.data[pos + 2]);
    pos += 3;
    return 1;
  }
  if (c0 == ESC && c1 == 'p') {
    if (!s.Has(pos, 5)) return Truncated(s, start, "ESC p"), -1;
    uint8_t pin = s.data[pos + 2];
    if (pin != 0 && pin != 1 && pin != '0' && pin != '1')
      return s.Fail(start + 2, Format("ESC p with unknown pin %u", pin)), -1;
    s.Item(start, Format("ESC p drawer pulse (pin %u, on %u, off %u)", pin, s.data[pos + 3],
                         s.data[pos + 4]));
    Note(s, start, Act::kDrawer, pin, s.data[pos + 3], s.data[pos + 4]);
    pos += 5;
    return 1;
  }
  if (c0 == GS && c1 == 'V') {
    if (!s.Has(pos, 3)) return Truncated(s, start, "GS V"), -1;
    uint8_t m = s.data[pos + 2];
    if (m != 0 && m != 1 && m != '0' && m != '1')
      return s.Fail(start + 2, Format("GS V with unknown cut mode 0x%02X", m)), -1;
    s.Item(start, Format("GS V %u %s cut", m & 1, (m & 1) ? "partial" : "full"));
    Note(s, start, Act::kCut, m & 1);
    pos += 3;
    return 1;
  }
  if (c0 == GS && c1 == 0x0C) {
    s.Item(start, "GS FF (feed to next mark)");
    Note(s, start, Act::kFeedToMark);
    pos += 2;
    return 1;
  }
  if (c0 == GS && c1 == 'v') {
    if (!s.Has(pos, 8)) return Truncated(s, start, "GS v 0 head"), -1;
    if (s.data[pos + 2] != '0')
      return s.Fail(start + 2, Format("GS v followed by 0x%02X, not '0'", s.data[pos + 2])), -1;
    const unsigned m = s.data[pos + 3];
    if ((m & ~3u) != 0 && (m & ~3u) != '0')
      return s.Fail(start + 3, Format("GS v 0 with unknown mode m=%u", m)), -1;
    const uint32_t rowBytes = s.Le16(pos + 4), rows = s.Le16(pos + 6);
    const uint64_t bytes = uint64_t(rowBytes) * rows;
    if (!s.Has(pos + 8, bytes))
      return s.Cut(pos + 8, Format("raster data ends after %zu of %llu bytes (%u bytes x %u rows)",
                                    s.size - pos - 8, (unsigned long long)bytes, rowBytes, rows)),
             -1;
    std::string err;
    if (!page.Stack(rowBytes, rows, s.data + pos + 8, false, err)) return s.Fail(start, err), -1;
    s.Item(start, Format("GS v 0 m=%u %u bytes x %u rows%s", m, rowBytes, rows, ScaleName(m)));
    NoteStacked(s, start, Piece::kBand, rowBytes, rows, m & 3);
    pos += 8 + size_t(bytes);
    return 1;
  }
  return 0;
}

bool DecodeEscpos(Stream& s) {
  Page page;
  bool hasRaster = false;
  auto endPage = [&]() {
    if (hasRaster) s.AddPage(std::move(page));
    page = Page();
    hasRaster = false;
  };
  size_t pos = 0;
  while (pos < s.size) {
    const size_t start = pos;
    const uint8_t c = s.data[pos];
    if (c == ESC && pos + 1 < s.size && s.data[pos + 1] == '@') {
      endPage();
      s.Item(start, "ESC @ (init)");
      Note(s, start, Act::kReset);
      pos += 2;
      continue;
    }
    if (c == kDle && s.Has(pos, 3) && s.data[pos + 1] == kEot && s.data[pos + 2] >= 1 && s.data[pos + 2] <= 4) {
      s.Item(start, Format("status query DLE EOT %u", s.data[pos + 2]));
      Note(s, start, Act::kStatusQuery);
      pos += 3;
      continue;
    }
    const bool raster = c == GS && pos + 1 < s.size && s.data[pos + 1] == 'v';
    int r = ParseSharedEscpos(s, pos, page);
    if (r < 0) return false;
    if (r > 0) {
      hasRaster |= raster;
      continue;
    }
    if ((c == ESC || c == GS) && pos + 1 >= s.size)
      return s.Cut(start, Format("stream ends after the prefix byte 0x%02X (truncated?)", c));
    if (c == ESC || c == GS)
      return s.Fail(start, Format("unknown command %s 0x%02X", c == ESC ? "ESC" : "GS", s.data[pos + 1]));
    return s.Fail(start, Format("unknown command byte 0x%02X", c));
  }
  endPage();
  return true;
}
