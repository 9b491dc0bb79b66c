#include "PeriPageDecoder.h"

#include <cstring>

#include "EscposDecoder.h"
#include "Explain.h"
#include "Inflate.h"

namespace {

bool Starts(const Stream& s, size_t pos, std::initializer_list<uint8_t> bytes) {
  if (!s.Has(pos, bytes.size())) return false;
  size_t i = 0;
  for (uint8_t b : bytes)
    if (s.data[pos + i++] != b) return false;
  return true;
}

// The command's fixed prefix is there but the stream ends inside it.
bool Cut(Stream& s, size_t start, const char* what) {
  return s.Cut(start, Format("%s cut short: stream ends after %zu bytes of it (truncated?)", what,
                              s.size - start));
}

bool CompressedBlock(Stream& s, size_t& pos, Page& page) {
  const size_t start = pos;
  if (!s.Has(pos, 10)) return Cut(s, start, "compressed raster head");
  const uint32_t rowBytes = s.Be16(pos + 2), rows = s.Be16(pos + 4), length = s.Be32(pos + 6);
  if (!s.Has(pos + 10, length))
    return s.Cut(pos + 10, Format("compressed data ends after %zu of %u bytes", s.size - pos - 10, length));
  const uint64_t bytes = uint64_t(rowBytes) * rows;
  if (!page.FitsBelow(rowBytes, rows))
    return s.Fail(start, "compressed raster larger than any page");
  std::vector<uint8_t> raw;
  size_t consumed = 0;
  std::string err;
  if (!Inflate(s.data + pos + 10, length, ZFormat::RawAdler32, bytes, raw, consumed, err))
    return s.Fail(pos + 10, "compressed raster: " + err);
  if (consumed != length)
    return s.Fail(pos + 10 + consumed, Format("%zu bytes of the compressed block left after its Adler-32",
                                              size_t(length) - consumed));
  if (!page.Stack(rowBytes, rows, raw.data(), false, err)) return s.Fail(start, err);
  s.Item(start, Format("compressed raster %u bytes x %u rows (%u compressed bytes -> %llu bytes, Adler-32 ok)",
                       rowBytes, rows, length, (unsigned long long)bytes));
  NoteStacked(s, start, Piece::kBlock, rowBytes, rows);
  pos += 10 + size_t(length);
  return true;
}

// The settings of one value byte after a four-byte command.
struct ValueSetting {
  uint8_t command[4];
  const char* name;
  const char* form;  // after the value: which form of the command it was
  Act act;
};
const ValueSetting kValueSettings[] = {
    {{0x10, 0xFF, 0x10, 0x00}, "density", "", Act::kDarkness},
    {{0x1F, 0x1E, 0x1C, 0x03}, "speed", "", Act::kSpeed},
    {{0x1F, 0x1E, 0x1C, 0x02}, "density", " (1F 1E 1C 02 form)", Act::kDarkness},
};

const ValueSetting* ValueSettingAt(const Stream& s, size_t pos) {
  for (const ValueSetting& v : kValueSettings)
    if (s.Has(pos, 4) && !std::memcmp(&s.data[pos], v.command, 4)) return &v;
  return nullptr;
}

// The printer's settings: paper type, density (in either of its forms),
// speed and the beeps around printing. Returns 1 when one was read (pos
// moved past it), 0 when the bytes at pos are none of them, -1 when one is
// malformed (error recorded).
int Setting(Stream& s, size_t& pos) {
  const size_t start = pos;
  const auto refused = [](bool /* s.Fail's false */) { return -1; };
  if (Starts(s, pos, {0x10, 0xFF, 0x10, 0x03})) {
    if (!s.Has(pos, 5)) return refused(Cut(s, start, "paper type"));
    static const char* kPaper[] = {"black line", "continuous", "gap", "perforated"};
    uint8_t t = s.data[pos + 4];
    if (t > 3) return refused(s.Fail(pos + 4, Format("unknown paper type %u", t)));
    s.Item(start, Format("paper type %u (%s)", t, kPaper[t]));
    Note(s, start, Act::kPaperType, t);
    pos += 5;
  } else if (const ValueSetting* v = ValueSettingAt(s, pos)) {
    if (!s.Has(pos, 5)) return refused(Cut(s, start, v->name));
    s.Item(start, Format("%s %u%s", v->name, s.data[pos + 4], v->form));
    Note(s, start, v->act, s.data[pos + 4]);
    pos += 5;
  } else if (Starts(s, pos, {0x1F, 0x1B, 0x1F, 0x56, 0x08, 0x09, 0xA0})) {
    if (!s.Has(pos, 8)) return refused(Cut(s, start, "beep"));
    uint8_t kind = s.data[pos + 7];
    if (kind != 0x22 && kind != 0x99)
      return refused(s.Fail(pos + 7, Format("unknown beep 0x%02X", kind)));
    s.Item(start, kind == 0x22 ? "beep begin" : "beep end");
    Note(s, start, Act::kBeep, kind == 0x22);
    pos += 8;
  } else {
    return 0;
  }
  return 1;
}

}  // namespace

bool DecodePeriPage(Stream& s) {
  Page page;
  bool pageOpen = false;  // a raster came since the last end-of-print
  size_t pageStart = 0;
  size_t pos = 0;
  while (pos < s.size) {
    const size_t start = pos;
    const uint8_t c = s.data[pos];
    if (Starts(s, pos, {0x10, 0xFF, 0xFE, 0x01})) {
      s.Item(start, "open (10 FF FE 01)");
      Note(s, start, Act::kWake);
      pos += 4;
    } else if (Starts(s, pos, {0x10, 0xFF, 0x50, 0xF1})) {
      s.Item(start, "status query battery (10 FF 50 F1)");
      Note(s, start, Act::kStatusQuery);
      pos += 4;
    } else if (Starts(s, pos, {0x10, 0xFF, 0xFE, 0x45})) {
      s.Item(start, Format("end of print  -> page %zu", s.pageSizes.size() + 1));
      Note(s, start, Act::kPrint);
      s.AddPage(std::move(page));
      page = Page();
      pageOpen = false;
      pos += 4;
    } else if (const int setting = Setting(s, pos)) {
      if (setting < 0) return false;
    } else if (Starts(s, pos, {0x1F, 0x00})) {
      if (!CompressedBlock(s, pos, page)) return false;
      if (!pageOpen) {
        pageOpen = true;
        pageStart = start;
      }
    } else if (Starts(s, pos, {0x1B, 0x40})) {
      // This printer's init carries one extra 00 byte.
      bool pad = s.Has(pos, 3) && s.data[pos + 2] == 0x00;
      s.Item(start, pad ? "ESC @ 00 (init)" : "ESC @ (init)");
      Note(s, start, Act::kReset);
      pos += pad ? 3 : 2;
    } else {
      const bool raster = Starts(s, pos, {0x1D, 0x76});
      int r = ParseSharedEscpos(s, pos, page);
      if (r < 0) return false;
      if (r == 0) {
        if ((c == 0x10 || c == 0x1F || c == 0x1B || c == 0x1D) && s.size - pos < 8)
          return s.Cut(start, "unknown or cut-short command " + Hex(s.data + pos, s.size - pos) +
                                   " at the end of the stream (truncated?)");
        return s.Fail(start, "unknown command bytes " + Hex(s.data + pos, s.size - pos, 4));
      }
      if (raster && !pageOpen) {
        pageOpen = true;
        pageStart = start;
      }
    }
  }
  if (pageOpen)
    return s.Fail(s.size, Format("stream ends inside the page begun at offset %zu, no end of print "
                                 "10 FF FE 45 (truncated?)",
                                 pageStart));
  return true;
}
