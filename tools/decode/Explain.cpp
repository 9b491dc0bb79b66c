#include "Explain.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

using tavel::Family;

namespace {

constexpr double kMmPerInch = 25.4;
// Distances beyond this many units are clamped: they only have to compare
// and print sanely, and no label comes near it.
constexpr double kFarthest = 1e9;

// Rounds dots to a whole number, safe for any double.
int64_t RoundDots(double dots) {
  if (!(dots == dots)) return 0;  // NaN
  return std::llround(std::max(-kFarthest, std::min(kFarthest, dots)));
}

// A TSPL distance: "<number> mm", "<number> dot" or a bare number, which
// TSPL reads as inches.
struct Dist {
  enum Unit { kMm, kDot, kInch } unit = kInch;
  std::string number;  // as written
  double value = 0;
};

Dist ParseDist(const std::string& text) {
  Dist d;
  d.number = text;
  for (auto unit : {Dist::kMm, Dist::kDot}) {
    const std::string suffix = unit == Dist::kMm ? " mm" : " dot";
    if (text.size() > suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
      d.unit = unit;
      d.number = text.substr(0, text.size() - suffix.size());
    }
  }
  const double v = std::strtod(d.number.c_str(), nullptr);
  d.value = std::isfinite(v) ? std::max(-kFarthest, std::min(kFarthest, v)) : kFarthest;
  return d;
}

const char* UnitName(Dist::Unit unit) {
  switch (unit) {
    case Dist::kMm: return " mm";
    case Dist::kDot: return " dots";
    case Dist::kInch: break;
  }
  return " in";
}

// A distance in dots at dpi.
double DistDots(const Dist& d, unsigned dpi) {
  return d.unit == Dist::kMm    ? d.value * dpi / kMmPerInch
         : d.unit == Dist::kDot ? d.value
                                : d.value * dpi;
}

// Dots as millimetres at dpi: "12.3 mm".
std::string MmAt(double dots, unsigned dpi) { return Format("%.1f mm", dots * kMmPerInch / dpi); }

// A distance in its own unit, and in millimetres when that is another;
// magnitude drops its sign.
std::string Said(const Dist& d, bool magnitude, unsigned dpi) {
  std::string number = d.number;
  if (magnitude && !number.empty() && number[0] == '-') number.erase(0, 1);
  std::string text = number + UnitName(d.unit);
  if (d.unit != Dist::kMm) {
    const double v = magnitude ? std::fabs(d.value) : d.value;
    text += " (" + MmAt(d.unit == Dist::kDot ? v : v * dpi, dpi) + ")";
  }
  return text;
}

// "1 row", "2 rows".
std::string Plural(uint64_t n, const char* thing) {
  return Format("%llu %s%s", (unsigned long long)n, thing, n == 1 ? "" : "s");
}

// "1 row is", "2 rows are".
std::string Count(uint64_t n, const char* thing) { return Plural(n, thing) + (n == 1 ? " is" : " are"); }

// How far right and down the dots of a bitmap reach, in dots from its
// corner; both 0 when it has none.
void InkExtent(const uint8_t* bits, uint32_t rowBytes, uint32_t rows, bool invert, uint64_t& right,
               uint64_t& bottom) {
  right = bottom = 0;
  for (uint32_t r = 0; r < rows; ++r) {
    const uint8_t* row = bits + size_t(r) * rowBytes;
    for (uint32_t i = rowBytes; i-- > 0;) {
      const unsigned b = (invert ? ~unsigned(row[i]) : unsigned(row[i])) & 0xFFu;
      if (!b) continue;
      unsigned col = 7;  // most significant bit leftmost
      while (!((b >> (7 - col)) & 1u)) --col;
      right = std::max(right, uint64_t(i) * 8 + col + 1);
      bottom = r + uint64_t(1);
      break;
    }
  }
}

}  // namespace

Explainer::Explainer(std::ostream& out, tavel::Family language, unsigned dpi)
    : out_(out), lang_(language), dpi_(dpi ? dpi : kDefaultDpi), assumed_(dpi == 0) {}

void Explainer::Attach(Stream& s) {
  s.explain = this;
  out_ << Format("what the printer will do (millimetres at %u dpi%s):\n", dpi_,
                 assumed_ ? "; --dpi gives the printer's" : "");
}

std::string Explainer::AtDpi() const { return size_.byDpi ? Format(" at %u dpi", dpi_) : ""; }

std::string Explainer::Mm(double dots) const { return MmAt(dots, dpi_); }

std::string Explainer::MmPair(double width, double height) const {
  return Format("%.1f x %.1f mm", width * kMmPerInch / dpi_, height * kMmPerInch / dpi_);
}

void Explainer::Emit(size_t at, const std::string& text) {
  said_ = true;
  out_ << Format("%8zu  ", at) << text << '\n';
}

void Explainer::Line(size_t at, const std::string& text) {
  Flush();
  Emit(at, text);
}

void Explainer::Warn(size_t at, const std::string& text) { Line(at, "warning: " + text); }

void Explainer::Flush() {
  if (!run_.open) return;
  run_.open = false;
  if (run_.feed) {
    Emit(run_.at, Format("feed %llu dots (%s)", (unsigned long long)run_.rows, Mm(double(run_.rows)).c_str()));
    return;
  }
  static const char* kScale[] = {"", " at double width", " at double height", " at double width and height"};
  const double w = double(run_.width) * ((run_.scale & 1) ? 2 : 1);
  const double h = double(run_.rows) * ((run_.scale & 2) ? 2 : 1);
  std::string text = Format("bitmap %llu x %llu dots%s (%s)", (unsigned long long)run_.width,
                            (unsigned long long)run_.rows, kScale[run_.scale & 3], MmPair(w, h).c_str());
  if (run_.piece == Piece::kBlock) text += ", compressed";
  if (run_.count > 1) {
    const char* name = run_.piece == Piece::kBand ? "bands" : run_.piece == Piece::kBlock ? "blocks" : "packets";
    text += Format(" in %llu %s", (unsigned long long)run_.count, name);
  }
  Emit(run_.at, text);
}

void Explainer::PagePart(size_t at) {
  if (pending_) return;
  pending_ = true;
  pendingAt_ = at;
}

void Explainer::Do(size_t at, Act act, int64_t a, int64_t b, int64_t c) {
  switch (act) {
    case Act::kReset:
      Line(at, "reset the printer to its defaults");
      break;
    case Act::kWake:
      Line(at, "start a job: wake the printer");
      break;
    case Act::kAlign:
      Line(at, a == 1 ? "centre what follows" : a == 2 ? "align what follows to the right" : "align what follows to the left");
      break;
    case Act::kFeed:
      Feed(at, uint64_t(a));
      break;
    case Act::kFeedToMark:
      FeedToMark(at);
      break;
    case Act::kCut:
      Line(at, a ? "partial cut: the paper stays joined at one point" : "full cut");
      break;
    case Act::kDrawer:
      Line(at, Format("open the cash drawer: pulse on pin %d for %lld ms, then %lld ms off", a == 1 || a == '1' ? 5 : 2,
                      (long long)b * 2, (long long)c * 2));
      break;
    case Act::kPaperType: {
      static const char* kMedia[] = {"paper with black marks", "continuous paper", "labels with gaps", "perforated paper"};
      Line(at, a >= 0 && a <= 3 ? std::string("media: ") + kMedia[a] : Format("media: paper type %lld", (long long)a));
      break;
    }
    case Act::kDarkness:
      Line(at, Format("darkness %lld", (long long)a));
      break;
    case Act::kSpeed:
      Line(at, Format("speed %lld", (long long)a));
      break;
    case Act::kBeep:
      Line(at, a ? "beep: printing starts" : "beep: printing has ended");
      break;
    case Act::kLabelHeader:
      LabelHeader(at, a, b, c);
      break;
    case Act::kLabelWidth:
      PagePart(at);
      size_.haveWidth = true;
      size_.width = double(a);
      Line(at, Format("label %lld dots wide (%s)", (long long)a, Mm(double(a)).c_str()));
      break;
    case Act::kBeginPage:
      PagePart(at);
      Line(at, "start a page");
      break;
    case Act::kCodeTable:
      PagePart(at);
      Line(at, Format("code table for the bitmap that follows (%lld nodes)", (long long)a));
      break;
    case Act::kPaperFeed:
      Line(at, Format("feed the paper (amount %lld)", (long long)a));
      break;
    case Act::kPaperLocate:
      Line(at, Format("feed to the next label gap or black mark (amount %lld)", (long long)a));
      break;
    case Act::kStatusQuery:
      Line(at, "asks the printer how it is; the answer is not part of the print");
      break;
    case Act::kPrint:
      Print(at);
      break;
  }
}

void Explainer::Feed(size_t at, uint64_t rows) {
  if (run_.open && run_.feed) {
    run_.rows += rows;
    ++run_.count;
    return;
  }
  Flush();
  run_ = Run();
  run_.open = run_.feed = true;
  run_.at = at;
  run_.rows = rows;
  run_.count = 1;
}

void Explainer::FeedToMark(size_t at) {
  if (lang_ != Family::kCpcl) {
    Line(at, "feed to the next label gap or black mark");
    return;
  }
  // CPCL's FORM belongs to the label and acts after it is printed.
  PagePart(at);
  form_ = true;
  Line(at, "after printing, feed to the next label gap or black mark");
}

void Explainer::LabelHeader(size_t at, int64_t offset, int64_t height, int64_t copies) {
  PagePart(at);
  size_ = Size();
  size_.haveHeight = true;
  size_.height = double(height);
  copies_ = copies;
  form_ = false;
  inkBottom_ = 0;
  std::string text =
      Format("label %lld dots long (%s)", (long long)height, Mm(double(height)).c_str());
  if (offset != 0) {
    const double shift = std::fabs(double(offset));
    text += Format(", moved %.0f dots (%s) to the %s", shift, Mm(shift).c_str(),
                   offset > 0 ? "right" : "left");
  }
  Line(at, text);
}

void Explainer::Print(size_t at) {
  if (lang_ == Family::kCpcl) {
    size_.text = size_.haveWidth ? Format("%.0f x %.0f dots", size_.width, size_.height)
                                 : Format("%.0f dots long", size_.height);
    LabelPrinted(at, Copies(copies_, 1));
    return;
  }
  ++pages_;
  pending_ = false;
  Line(at, Format("finish page %zu", pages_));
}

std::string Explainer::Copies(int64_t sets, int64_t each) const {
  const size_t page = pages_ + 1;
  if (sets < 0 || each < 0) return Format("print page %zu", page);
  std::string text;
  if (each != 0 && sets > std::numeric_limits<int64_t>::max() / each) {
    text = Format("print %lld sets of %lld copies of page %zu", (long long)sets, (long long)each, page);
  } else {
    const long long n = (long long)(sets * each);
    text = Format("print %lld cop%s of page %zu", n, n == 1 ? "y" : "ies", page);
    if (sets != 1 && each != 1 && n != 0) text += Format(" (%lld sets of %lld)", (long long)sets, (long long)each);
  }
  if (sets == 0 || each == 0) text += ": nothing comes out";
  return text;
}

void Explainer::LabelPrinted(size_t at, const std::string& text) {
  ++pages_;
  pending_ = false;
  Line(at, text);
  if (size_.haveHeight && inkBottom_ > 0) {
    const uint64_t h = uint64_t(std::max<int64_t>(0, RoundDots(size_.height)));
    if (inkBottom_ > h)
      Warn(at, Format("page taller than the label: its dots reach %llu rows down, the label is %s long%s; "
                      "the bottom %s lost",
                      (unsigned long long)inkBottom_, Plural(h, "row").c_str(), AtDpi().c_str(),
                      Count(inkBottom_ - h, "row").c_str()));
  }
  // Pages of different lengths are normal on continuous paper; on labels
  // they print across the gaps.
  const bool labels = lang_ == Family::kTspl ? media_ != Media::kContinuous : form_ || printedForm_;
  const auto differ = [](const Size& p, const Size& q) {
    return p.haveWidth != q.haveWidth || p.haveHeight != q.haveHeight ||
           (p.haveWidth && RoundDots(p.width) != RoundDots(q.width)) ||
           (p.haveHeight && RoundDots(p.height) != RoundDots(q.height));
  };
  const bool known = size_.haveWidth || size_.haveHeight;
  const bool knownBefore = printedSize_.haveWidth || printedSize_.haveHeight;
  if (printedAny_ && labels && known && knownBefore && differ(size_, printedSize_))
    Warn(at, Format("label size differs between pages: %s here, %s on page %zu", size_.text.c_str(),
                    printedSize_.text.c_str(), pages_ - 1));
  if (lang_ == Family::kTspl && media_ == Media::kUnset && !warnedMedia_) {
    warnedMedia_ = true;
    Warn(at, "no gap or mark setting (GAP or BLINE) for these labels: the printer goes by whatever it was told last");
  }
  printedSize_ = size_;
  printedForm_ = form_;
  printedAny_ = true;
  inkBottom_ = 0;
}

void Explainer::Tspl(size_t at, const std::string& line) {
  const size_t sp = line.find(' ');
  const std::string word = line.substr(0, sp);
  const std::string args = sp == std::string::npos ? "" : line.substr(sp + 1);
  const std::vector<std::string> parts = Split(args, ',');
  if (word == "PRINT") {
    int64_t sets = 0, each = 1;
    ParseInt(parts[0], sets);
    if (parts.size() > 1) ParseInt(parts[1], each);
    LabelPrinted(at, Copies(sets, each));
    return;
  }
  PagePart(at);
  if (word == "SIZE" && parts.size() == 2) {
    TsplSize(at, parts[0], parts[1]);
  } else if ((word == "GAP" || word == "BLINE") && parts.size() == 2) {
    TsplMarks(at, word == "GAP", parts[0], parts[1]);
  } else if (word == "OFFSET") {
    const Dist d = ParseDist(args);
    const char* side = d.value < 0 ? " short of" : " past";
    Line(at, "stop " + Said(d, true, dpi_) + side + " the tear bar");
  } else if (word == "DENSITY") {
    Line(at, "darkness " + args);
  } else if (word == "SPEED") {
    Line(at, "speed " + args + " inches per second");
  } else if (word == "CLS") {
    inkBottom_ = 0;
    Line(at, "clear the image buffer");
  } else if (word == "SET") {
    TsplSet(at, args, line);
  } else {
    Line(at, line);
  }
}

void Explainer::TsplSize(size_t at, const std::string& width, const std::string& height) {
  const Dist w = ParseDist(width), h = ParseDist(height);
  size_.haveWidth = size_.haveHeight = true;
  size_.byDpi = w.unit != Dist::kDot || h.unit != Dist::kDot;
  size_.width = DistDots(w, dpi_);
  size_.height = DistDots(h, dpi_);
  size_.text = w.unit == h.unit ? w.number + " x " + h.number + UnitName(w.unit)
                                : w.number + UnitName(w.unit) + " x " + h.number + UnitName(h.unit);
  const bool mm = w.unit == Dist::kMm && h.unit == Dist::kMm;
  Line(at, "label " + size_.text + (mm ? "" : " (" + MmPair(size_.width, size_.height) + ")"));
}

void Explainer::TsplMarks(size_t at, bool gap, const std::string& distance,
                          const std::string& offset) {
  const Dist d = ParseDist(distance), o = ParseDist(offset);
  if (d.value == 0 && o.value == 0) {
    media_ = Media::kContinuous;
    Line(at, gap ? "no gap: continuous paper" : "no black mark: continuous paper");
    return;
  }
  media_ = Media::kMarked;
  std::string text = gap ? "gap " + Said(d, false, dpi_) + " between labels"
                         : "black marks " + Said(d, false, dpi_) + " high";
  if (o.value != 0) text += ", offset " + Said(o, false, dpi_);
  Line(at, text);
}

void Explainer::TsplSet(size_t at, const std::string& args, const std::string& line) {
  const size_t sp = args.find(' ');
  const std::string what = args.substr(0, sp);
  const std::string value = sp == std::string::npos ? "" : args.substr(sp + 1);
  const bool on = value == "ON";
  if (what == "RIBBON") {
    Line(at, on ? "thermal transfer: print through a ribbon" : "direct thermal: no ribbon");
  } else if (what == "PEEL") {
    Line(at, on ? "peel each label off its backing" : "no peeling");
  } else if (what == "TEAR") {
    Line(at, on ? "feed each label to the tear bar" : "leave each label at the print head");
  } else if (what == "CUTTER" || what == "PARTIAL_CUTTER") {
    const std::string cut = what == "CUTTER" ? "cut" : "partial cut";
    int64_t n = 0;
    if (value == "BATCH")
      Line(at, cut + " once after the last label");
    else if (!ParseInt(value, n) || n == 0)
      Line(at, "no " + cut);
    else
      Line(at, n == 1 ? cut + " after every label"
                      : Format("%s after every %lld labels", cut.c_str(), (long long)n));
  } else {
    Line(at, line);
  }
}

void Explainer::Placed(size_t at, uint64_t x, uint64_t y, uint32_t rowBytes, uint32_t rows, const uint8_t* bits,
                       bool invert, bool compressed) {
  PagePart(at);
  const uint64_t width = uint64_t(rowBytes) * 8;
  std::string text = Format("bitmap %llu x %u dots (%s)", (unsigned long long)width, rows,
                            MmPair(double(width), double(rows)).c_str());
  if (x || y) text += Format(" at dot %llu,%llu", (unsigned long long)x, (unsigned long long)y);
  if (compressed) text += ", zlib-compressed";
  Line(at, text);
  uint64_t right = 0, bottom = 0;
  InkExtent(bits, rowBytes, rows, invert, right, bottom);
  if (right == 0) return;
  inkBottom_ = std::max(inkBottom_, y + bottom);
  if (!size_.haveWidth) return;
  const uint64_t w = uint64_t(std::max<int64_t>(0, RoundDots(size_.width)));
  if (x + right > w)
    Warn(at, Format("bitmap wider than the label: its dots reach %llu dots across, the label is %s wide%s; "
                    "the right %s lost",
                    (unsigned long long)(x + right), Plural(w, "dot").c_str(), AtDpi().c_str(),
                    Count(x + right - w, "dot").c_str()));
}

void Explainer::Stacked(size_t at, Piece piece, uint32_t rowBytes, uint32_t rows, unsigned scale) {
  if (lang_ == Family::kPeriPage || lang_ == Family::kPaperang) PagePart(at);
  const uint64_t width = uint64_t(rowBytes) * 8;
  if (run_.open && !run_.feed && run_.piece == piece && run_.width == width && run_.scale == scale) {
    run_.rows += rows;
    ++run_.count;
    return;
  }
  Flush();
  run_ = Run();
  run_.open = true;
  run_.at = at;
  run_.piece = piece;
  run_.width = width;
  run_.rows = rows;
  run_.count = 1;
  run_.scale = scale & 3;
}

void Explainer::Finish() {
  Flush();
  if (pending_) {
    const char* print = lang_ == Family::kPeriPage   ? "end of print"
                        : lang_ == Family::kPaperang ? "end printing"
                                                     : "PRINT";
    if (pages_ == 0)
      Warn(pendingAt_, Format("no print command (%s): nothing of this is printed", print));
    else
      Warn(pendingAt_, Format("data after the last print command (%s): it is never printed", print));
  }
  if (!said_) out_ << "        (no command)\n";
}

void Note(Stream& s, size_t at, Act act, int64_t a, int64_t b, int64_t c) {
  if (s.explain) s.explain->Do(at, act, a, b, c);
}

void NoteTspl(Stream& s, size_t at, const std::string& line) {
  if (s.explain) s.explain->Tspl(at, line);
}

void NotePlaced(Stream& s, size_t at, uint64_t x, uint64_t y, uint32_t rowBytes, uint32_t rows,
                const uint8_t* bits, bool invert, bool compressed) {
  if (s.explain) s.explain->Placed(at, x, y, rowBytes, rows, bits, invert, compressed);
}

void NoteStacked(Stream& s, size_t at, Piece piece, uint32_t rowBytes, uint32_t rows, unsigned scale) {
  if (s.explain) s.explain->Stacked(at, piece, rowBytes, rows, scale);
}
