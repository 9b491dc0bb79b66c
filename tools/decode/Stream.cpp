#include "Stream.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

bool Stream::Fail(size_t offset, const std::string& what) {
  if (error.empty()) {
    errorOffset = offset;
    error = what;
  }
  return false;
}

bool Stream::Cut(size_t offset, const std::string& what) {
  if (error.empty()) cutShort = true;
  return Fail(offset, what);
}

void Stream::AddPage(Page&& page) {
  pageSizes.push_back({page.Width(), page.Height()});
  if (keepPages) pages.push_back(std::move(page));
}

void Stream::Item(size_t offset, const std::string& text) const {
  if (list) *list << Format("%8zu  ", offset) << text << '\n';
}

std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out(n > 0 ? size_t(n) : 0, '\0');
  if (n > 0) std::vsnprintf(&out[0], size_t(n) + 1, fmt, ap2);
  va_end(ap2);
  return out;
}

std::string Hex(const uint8_t* p, size_t n, size_t limit) {
  std::string out;
  for (size_t i = 0; i < n && i < limit; ++i) out += Format(i ? " %02X" : "%02X", p[i]);
  if (n > limit) out += " ...";
  return out;
}

bool ReadLine(Stream& s, size_t pos, std::string& line, size_t& next) {
  constexpr size_t kMaxLine = 4096;
  line.clear();
  for (size_t p = pos; p < s.size; ++p) {
    uint8_t c = s.data[p];
    if (c == '\r') {
      if (p + 1 >= s.size) return s.Cut(p, "stream ends after CR, LF missing (truncated?)");
      if (s.data[p + 1] != '\n') return s.Fail(p + 1, Format("CR not followed by LF but by 0x%02X", s.data[p + 1]));
      next = p + 2;
      return true;
    }
    if (c < 0x20 || c > 0x7E) {
      if (p == pos) return s.Fail(p, Format("unknown command byte 0x%02X", c));
      return s.Fail(p, Format("unexpected byte 0x%02X in command text \"%s\"", c, line.c_str()));
    }
    if (line.size() >= kMaxLine) return s.Fail(pos, "command line longer than 4096 bytes");
    line += char(c);
  }
  return s.Cut(pos, "command line not ended by CR LF (truncated?)");
}

bool ParseInt(const std::string& text, int64_t& value) {
  size_t i = 0;
  bool neg = false;
  if (i < text.size() && text[i] == '-') {
    neg = true;
    ++i;
  }
  size_t digits = text.size() - i;
  if (digits < 1 || digits > 10) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  value = neg ? -v : v;
  return true;
}

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == sep)
      parts.emplace_back();
    else
      parts.back() += c;
  }
  return parts;
}
