#include "CpclDecoder.h"

#include "Explain.h"

namespace {

// Splits "WORD a b c" into numbers after checking the word and the count.
// Only the first number may be negative, and only when signedFirst says so.
bool Numbers(const std::vector<std::string>& words, size_t count, std::vector<int64_t>& out,
             bool signedFirst = false) {
  if (words.size() != count + 1) return false;
  out.resize(count);
  for (size_t i = 0; i < count; ++i)
    if (!ParseInt(words[i + 1], out[i]) || (out[i] < 0 && !(signedFirst && i == 0))) return false;
  return true;
}

}  // namespace

bool DecodeCpcl(Stream& s) {
  bool inLabel = false;
  size_t labelStart = 0;
  Page page;
  size_t pos = 0;
  while (pos < s.size) {
    const size_t start = pos;
    // ESC h, the status query, comes between lines, inside a label or not.
    if (s.Has(pos, 2) && s.data[pos] == 0x1B && s.data[pos + 1] == 'h') {
      s.Item(start, "status query ESC h");
      Note(s, start, Act::kStatusQuery);
      pos += 2;
      continue;
    }
    std::string line;
    if (!ReadLine(s, pos, line, pos)) return false;
    const auto words = Split(line, ' ');
    const std::string& word = words[0];
    std::vector<int64_t> n;
    if (word == "!") {
      if (inLabel) return s.Fail(start, Format("label header inside the label begun at offset %zu", labelStart));
      // The label offset moves the whole label; a shift to the left (the
      // filter's negative horizontal adjustment) makes it negative.
      if (!Numbers(words, 5, n, true)) return s.Fail(start, "malformed label header \"" + line + "\"");
      inLabel = true;
      labelStart = start;
      page = Page();
      s.Item(start, Format("! label: offset %lld, %lldx%lld dpi, height %lld, %lld cop%s", (long long)n[0],
                           (long long)n[1], (long long)n[2], (long long)n[3], (long long)n[4],
                           n[4] == 1 ? "y" : "ies"));
      Note(s, start, Act::kLabelHeader, n[0], n[3], n[4]);
      continue;
    }
    if (!inLabel) return s.Fail(start, "command outside a label (no \"! \" header before it): \"" + line + "\"");
    if (word == "PAGE-WIDTH") {
      if (!Numbers(words, 1, n)) return s.Fail(start, "malformed \"" + line + "\"");
      s.Item(start, line);
      Note(s, start, Act::kLabelWidth, n[0]);
    } else if (word == "CG") {
      if (!Numbers(words, 4, n)) return s.Fail(start, "malformed graphic command \"" + line + "\"");
      const int64_t rowBytes = n[0], rows = n[1], x = n[2], y = n[3];
      if (!page.Fits(uint64_t(x), uint64_t(y), uint64_t(rowBytes), uint64_t(rows)))
        return s.Fail(start, "graphic larger than any page: \"" + line + "\"");
      const uint64_t bytes = uint64_t(rowBytes) * uint64_t(rows);
      if (!s.Has(pos, bytes))
        return s.Cut(pos, Format("graphic data ends after %zu of %llu bytes", s.size - pos,
                                  (unsigned long long)bytes));
      std::string err;
      if (!page.Draw(uint64_t(x), uint64_t(y), uint32_t(rowBytes), uint32_t(rows), s.data + pos, false, err))
        return s.Fail(start, err);
      s.Item(start, Format("CG %lldx%lld at %lld,%lld (%llu bytes)", (long long)rowBytes, (long long)rows,
                           (long long)x, (long long)y, (unsigned long long)bytes));
      NotePlaced(s, start, uint64_t(x), uint64_t(y), uint32_t(rowBytes), uint32_t(rows), s.data + pos, false, false);
      pos += size_t(bytes);
    } else if (line == "FORM") {
      s.Item(start, "FORM (feed to next gap or mark)");
      Note(s, start, Act::kFeedToMark);
    } else if (line == "PRINT") {
      s.Item(start, Format("PRINT  -> page %zu", s.pageSizes.size() + 1));
      Note(s, start, Act::kPrint);
      s.AddPage(std::move(page));
      page = Page();
      inLabel = false;
    } else {
      return s.Fail(start, "unknown command \"" + line + "\"");
    }
  }
  if (inLabel)
    return s.Fail(s.size, Format("stream ends inside the label begun at offset %zu, no PRINT (truncated?)",
                                 labelStart));
  return true;
}
