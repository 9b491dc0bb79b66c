// tavelpress-decode --explain: says in plain words what each command of a
// stream makes the printer do, and warns of what commonly spoils a print:
// a bitmap wider or a page longer than the label, a label size that changes
// from page to page, labels without a gap or mark setting, and data after
// the last print command.
//
// The decoders record facts as they parse (the Note functions, called next
// to their listing calls); the Explainer writes a line for each at once. It
// holds back only a run of raster pieces or feeds, which it joins into one
// line, so its memory stays flat however long the stream. Millimetres come
// from dots at one resolution that the caller gives: most streams do not
// say theirs. The label checks rely on the dots a bitmap actually burns, so
// the blank padding at the end of a row never counts as too wide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "Stream.h"
#include "printers/Family.h"

// Commands that need no parsing beyond what their decoder did. The
// arguments a, b, c mean what each line says; unused ones are 0.
enum class Act {
  kReset,        // back to the printer's defaults (ESC @)
  kWake,         // start of a job (PeriPage open)
  kAlign,        // a: 0 left, 1 centre, 2 right
  kFeed,         // a: dots
  kFeedToMark,   // to the next gap or black mark (GS FF, CPCL FORM)
  kCut,          // a: 0 full, 1 partial
  kDrawer,       // a: pin value, b and c: pulse on and off in 2 ms steps
  kPaperType,    // a: PeriPage paper type, 0 marks, 1 continuous, 2 gaps, 3 perforated
  kDarkness,     // a: level
  kSpeed,        // a: level
  kBeep,         // a: 1 at the start of printing, 0 at its end
  kLabelHeader,  // CPCL "!": a offset in dots, b height in dots, c copies
  kLabelWidth,   // CPCL PAGE-WIDTH: a dots
  kBeginPage,    // Paperang begin printing
  kCodeTable,    // Paperang Huffman tree: a nodes
  kPaperFeed,    // Paperang feed: a its argument
  kPaperLocate,  // Paperang paper locate: a its argument
  kStatusQuery,  // the host asks for the printer's status (no effect on the print)
  kPrint,        // the page so far goes out (CPCL PRINT, PeriPage end of
                 // print, Paperang end printing; TSPL's PRINT comes as a line)
};

// The pieces in which a raster is stacked onto a receipt or pocket page.
enum class Piece {
  kBand,    // GS v 0
  kBlock,   // PeriPage compressed block
  kPacket,  // Paperang bitmap packet
};

// Printers take this many dots per inch when the caller says nothing: the
// resolution of all but one model the filter knows.
constexpr unsigned kDefaultDpi = 203;

class Explainer {
 public:
  // dpi 0 means the user gave none, and kDefaultDpi is assumed.
  Explainer(std::ostream& out, tavel::Family language, unsigned dpi);

  // Sets s to report to this explainer and writes the heading.
  void Attach(Stream& s);

  // A command of the kinds in Act, with its arguments.
  void Do(size_t at, Act act, int64_t a, int64_t b, int64_t c);
  // A TSPL command line its decoder has checked.
  void Tspl(size_t at, const std::string& line);
  // A bitmap placed at (x, y) on a label: rows of rowBytes bytes, a set bit
  // a dot, or a clear one with invert.
  void Placed(size_t at, uint64_t x, uint64_t y, uint32_t rowBytes, uint32_t rows, const uint8_t* bits,
              bool invert, bool compressed);
  // Raster rows stacked below the page so far; scale is the GS v 0 mode
  // (bit 0 double width, bit 1 double height).
  void Stacked(size_t at, Piece piece, uint32_t rowBytes, uint32_t rows, unsigned scale);
  // Ends the explanation, after a refused stream too: the line still held
  // back, then the warnings about how the stream ends.
  void Finish();

 private:
  enum class Media { kUnset, kContinuous, kMarked };  // TSPL's gap or mark setting
  // A label's size as the commands set it, in dots at dpi_.
  struct Size {
    bool haveWidth = false, haveHeight = false;
    double width = 0, height = 0;
    std::string text;    // as the user would write it
    bool byDpi = false;  // given in millimetres or inches, so the dots depend on dpi_
  };
  // A run of raster pieces or feeds that one line tells.
  struct Run {
    bool open = false, feed = false;
    size_t at = 0;
    Piece piece = Piece::kBand;
    uint64_t width = 0, rows = 0, count = 0;
    unsigned scale = 0;
  };

  // One line at a command's offset; Line first writes the run held back.
  void Emit(size_t at, const std::string& text);
  void Line(size_t at, const std::string& text);
  void Warn(size_t at, const std::string& text);
  void Flush();
  // A command that only takes effect when a later print command sends its
  // page; remembered until one comes.
  void PagePart(size_t at);
  // The commands of Do that keep state.
  // A feed, joined to the feeds right before it.
  void Feed(size_t at, uint64_t rows);
  void FeedToMark(size_t at);
  // CPCL's "!" line: offset and height in dots, the number of copies.
  void LabelHeader(size_t at, int64_t offset, int64_t height, int64_t copies);
  // The print command of the languages other than TSPL.
  void Print(size_t at);
  // The TSPL commands of Tspl with more than one line to say: SIZE, GAP or
  // BLINE (gap false), and SET with its args ("CUTTER 1").
  void TsplSize(size_t at, const std::string& width, const std::string& height);
  void TsplMarks(size_t at, bool gap, const std::string& distance, const std::string& offset);
  void TsplSet(size_t at, const std::string& args, const std::string& line);
  // A label's print command: its line, then the checks of the whole label.
  void LabelPrinted(size_t at, const std::string& text);
  // "print 2 copies of page 3" for sets x each copies of the next page.
  std::string Copies(int64_t sets, int64_t each) const;
  std::string Mm(double dots) const;
  // " at 203 dpi" where the label's dots depend on the resolution.
  std::string AtDpi() const;
  std::string MmPair(double width, double height) const;

  std::ostream& out_;
  tavel::Family lang_;
  unsigned dpi_;
  bool assumed_;  // dpi_ is kDefaultDpi for want of one from the user
  bool said_ = false;  // a line was written
  Run run_;
  size_t pages_ = 0;
  bool pending_ = false;  // page parts since the last print command
  size_t pendingAt_ = 0;

  // Label languages (TSPL, CPCL).
  Size size_, printedSize_;
  bool printedAny_ = false;
  Media media_ = Media::kUnset;
  bool warnedMedia_ = false;
  bool form_ = false, printedForm_ = false;  // CPCL: the label ends with FORM
  int64_t copies_ = 1;                       // CPCL header's quantity
  uint64_t inkBottom_ = 0;                   // how far down the page's dots reach so far
};

// The decoders' calls: each does nothing unless s.explain is set.
void Note(Stream& s, size_t at, Act act, int64_t a = 0, int64_t b = 0, int64_t c = 0);
void NoteTspl(Stream& s, size_t at, const std::string& line);
void NotePlaced(Stream& s, size_t at, uint64_t x, uint64_t y, uint32_t rowBytes, uint32_t rows,
                const uint8_t* bits, bool invert, bool compressed);
void NoteStacked(Stream& s, size_t at, Piece piece, uint32_t rowBytes, uint32_t rows, unsigned scale = 0);
