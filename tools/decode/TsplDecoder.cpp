#include "TsplDecoder.h"

#include <cstring>

#include "Explain.h"
#include "Inflate.h"

namespace {

// "<number>" or "<number> mm" (or " dot"), the number possibly with decimals.
bool IsDistance(const std::string& text) {
  std::string num = text;
  for (const char* unit : {" mm", " dot"}) {
    size_t n = std::strlen(unit);
    if (num.size() > n && num.compare(num.size() - n, n, unit) == 0) {
      num.resize(num.size() - n);
      break;
    }
  }
  size_t i = (!num.empty() && num[0] == '-') ? 1 : 0;
  size_t digits = 0, dots = 0;
  for (; i < num.size(); ++i) {
    if (num[i] == '.') {
      if (++dots > 1 || digits == 0) return false;
    } else if (num[i] >= '0' && num[i] <= '9') {
      ++digits;
    } else {
      return false;
    }
  }
  return digits > 0 && num.back() != '.';
}

bool IsDistancePair(const std::string& text) {
  auto parts = Split(text, ',');
  return parts.size() == 2 && IsDistance(parts[0]) && IsDistance(parts[1]);
}

bool IsOneOf(const std::string& text, std::initializer_list<const char*> words) {
  for (const char* w : words)
    if (text == w) return true;
  return false;
}

bool IsCount(const std::string& text) {
  int64_t v;
  return ParseInt(text, v) && v >= 0;
}

// Reads one decimal field of the BITMAP head and the comma after it.
bool ReadField(Stream& s, size_t& pos, const char* name, int64_t& value) {
  std::string digits;
  size_t start = pos;
  while (pos < s.size && s.data[pos] >= '0' && s.data[pos] <= '9' && digits.size() < 11)
    digits += char(s.data[pos++]);
  if (pos >= s.size) return s.Cut(pos, Format("BITMAP head ends inside its %s field (truncated?)", name));
  if (!ParseInt(digits, value))
    return s.Fail(start, Format("BITMAP %s field is not a number", name));
  if (s.data[pos] != ',')
    return s.Fail(pos, Format("BITMAP %s field followed by 0x%02X, not ','", name, s.data[pos]));
  ++pos;
  return true;
}

struct Label {
  bool open = false;     // a command came since the last PRINT
  size_t openedAt = 0;
  Page canvas;
};

bool DecodeBitmap(Stream& s, size_t start, size_t& pos, Label& label) {
  int64_t x, y, rowBytes, rows, mode, length = 0;
  pos = start + 7;  // "BITMAP "
  if (!ReadField(s, pos, "x", x) || !ReadField(s, pos, "y", y) ||
      !ReadField(s, pos, "width", rowBytes) || !ReadField(s, pos, "height", rows) ||
      !ReadField(s, pos, "mode", mode))
    return false;
  if (mode != 1 && mode != 3) return s.Fail(start, Format("BITMAP mode %lld unknown (1 raw, 3 zlib)", (long long)mode));
  if (mode == 3 && !ReadField(s, pos, "length", length)) return false;
  const uint64_t bytes = uint64_t(rowBytes) * uint64_t(rows);
  if (!label.canvas.Fits(uint64_t(x), uint64_t(y), uint64_t(rowBytes), uint64_t(rows)))
    return s.Fail(start, Format("BITMAP of %lld x %lld at %lld,%lld is larger than any page",
                                (long long)rowBytes, (long long)rows, (long long)x, (long long)y));
  std::string err;
  if (mode == 1) {
    if (!s.Has(pos, bytes))
      return s.Cut(pos, Format("bitmap data ends after %zu of %llu bytes", s.size - pos,
                                (unsigned long long)bytes));
    // Mode 1 rows are the page as stored: a clear bit is a dot.
    if (!label.canvas.Draw(uint64_t(x), uint64_t(y), uint32_t(rowBytes), uint32_t(rows),
                           s.data + pos, true, err))
      return s.Fail(start, err);
    s.Item(start, Format("BITMAP x=%lld y=%lld %lldx%lld mode 1 (%llu bytes)", (long long)x,
                         (long long)y, (long long)rowBytes, (long long)rows,
                         (unsigned long long)bytes));
    NotePlaced(s, start, uint64_t(x), uint64_t(y), uint32_t(rowBytes), uint32_t(rows), s.data + pos, true, false);
    pos += size_t(bytes);
  } else {
    if (!s.Has(pos, uint64_t(length)))
      return s.Cut(pos, Format("zlib stream ends after %zu of %lld bytes", s.size - pos,
                                (long long)length));
    std::vector<uint8_t> raw;
    size_t consumed = 0;
    if (!Inflate(s.data + pos, size_t(length), ZFormat::Zlib, bytes, raw, consumed, err))
      return s.Fail(pos, "BITMAP mode 3: " + err);
    if (consumed != size_t(length))
      return s.Fail(pos + consumed, Format("zlib stream ends %zu bytes before its declared length %lld",
                                           size_t(length) - consumed, (long long)length));
    // The compressed payload is the inverted page: a set bit is a dot.
    if (!label.canvas.Draw(uint64_t(x), uint64_t(y), uint32_t(rowBytes), uint32_t(rows),
                           raw.data(), false, err))
      return s.Fail(start, err);
    s.Item(start, Format("BITMAP x=%lld y=%lld %lldx%lld mode 3 (zlib %lld bytes -> %llu bytes)",
                         (long long)x, (long long)y, (long long)rowBytes, (long long)rows,
                         (long long)length, (unsigned long long)bytes));
    NotePlaced(s, start, uint64_t(x), uint64_t(y), uint32_t(rowBytes), uint32_t(rows), raw.data(), false, true);
    pos += size_t(length);
  }
  if (!s.Has(pos, 2)) return s.Cut(pos, "stream ends after bitmap data, CR LF missing (truncated?)");
  if (s.data[pos] != '\r' || s.data[pos + 1] != '\n')
    return s.Fail(pos, "bitmap data not followed by CR LF but by " + Hex(s.data + pos, s.size - pos, 4) +
                           " (data longer than width x height?)");
  pos += 2;
  return true;
}

// Checks one text command; returns false (with the error recorded) when it
// is unknown or its arguments are malformed.
bool CheckCommand(Stream& s, size_t start, const std::string& line) {
  size_t sp = line.find(' ');
  std::string word = line.substr(0, sp);
  std::string args = sp == std::string::npos ? "" : line.substr(sp + 1);
  bool ok;
  if (word == "SIZE" || word == "GAP" || word == "BLINE") {
    ok = IsDistancePair(args);
  } else if (word == "OFFSET") {
    ok = IsDistance(args);
  } else if (word == "DENSITY" || word == "SPEED") {
    ok = IsCount(args);
  } else if (word == "CLS") {
    ok = sp == std::string::npos;
  } else if (word == "PRINT") {
    auto parts = Split(args, ',');
    ok = (parts.size() == 1 || parts.size() == 2) && IsCount(parts[0]) &&
         (parts.size() == 1 || IsCount(parts[1]));
  } else if (word == "SET") {
    size_t sp2 = args.find(' ');
    std::string what = args.substr(0, sp2);
    std::string value = sp2 == std::string::npos ? "" : args.substr(sp2 + 1);
    if (what == "RIBBON" || what == "PEEL" || what == "TEAR")
      ok = IsOneOf(value, {"ON", "OFF"});
    else if (what == "CUTTER")
      ok = IsOneOf(value, {"FALSE", "OFF", "BATCH"}) || IsCount(value);
    else if (what == "PARTIAL_CUTTER")
      ok = IsOneOf(value, {"OFF", "BATCH"}) || IsCount(value);
    else
      return s.Fail(start, "unknown SET command \"" + line + "\"");
  } else {
    return s.Fail(start, "unknown command \"" + line + "\"");
  }
  if (!ok) return s.Fail(start, "malformed arguments in \"" + line + "\"");
  return true;
}

}  // namespace

bool DecodeTspl(Stream& s) {
  Label label;
  size_t pos = 0;
  while (pos < s.size) {
    const size_t start = pos;
    // The status query is obeyed wherever it comes and belongs to no label.
    if (s.Has(pos, 3) && std::memcmp(s.data + pos, "\x1B!?", 3) == 0) {
      s.Item(start, "status query <ESC>!?");
      Note(s, start, Act::kStatusQuery);
      pos += 3;
      continue;
    }
    if (!label.open) {
      label.open = true;
      label.openedAt = start;
    }
    static const char kBitmap[] = "BITMAP ";
    if (s.Has(pos, 7) && std::memcmp(s.data + pos, kBitmap, 7) == 0) {
      if (!DecodeBitmap(s, start, pos, label)) return false;
      continue;
    }
    std::string line;
    if (!ReadLine(s, pos, line, pos)) return false;
    if (!CheckCommand(s, start, line)) return false;
    if (line == "CLS") {
      label.canvas = Page();
      s.Item(start, "CLS (clear image buffer)");
    } else if (line.compare(0, 6, "PRINT ") == 0) {
      s.Item(start, line + Format("  -> page %zu", s.pageSizes.size() + 1));
      s.AddPage(std::move(label.canvas));
      label = Label();
    } else {
      s.Item(start, line);
    }
    NoteTspl(s, start, line);
  }
  if (label.open)
    return s.Fail(s.size, Format("stream ends inside the label begun at offset %zu, no PRINT (truncated?)",
                                 label.openedAt));
  return true;
}
