// Page fitting: where a document page lands on the job's media. One pure
// function decides the output page in printer dots, the scale, the quarter
// turns and the offset for every kind of document (PDF, PNG, JPEG, PWG
// raster), following IPP's print-scaling and orientation-requested:
//
//   fit       scale to fit inside the media, centred
//   fill      scale to cover the media, centred, the overhang cropped
//   none      natural size, centred, cropped where larger
//   auto-fit  fit when larger than the media, else none
//   auto      when larger: fill (the media here are borderless) when that
//             crops at most kAutoFillCrop of the page, else fit; else none
//
// orientation-requested turns the page (landscape a quarter turn
// counter-clockwise, reverse-landscape clockwise, reverse-portrait half a
// turn); 'none' turns a page whose long side lies across the media's.
//
// A page within kSameSizeDots of the media in both directions passes as it
// is, so that a page made for the media is printed dot for dot. On a roll
// (receipts, continuous labels) the page is as long as the document: the
// scaling applies to the width, the length follows, up to the model's
// longest page. No page is wider than the head.
#pragma once

#include <cstdint>
#include <string>

namespace tavel {

// print-scaling values (PAPPL's bits).
enum class Scaling { kAuto = 0x01, kAutoFit = 0x02, kFill = 0x04, kFit = 0x08, kNone = 0x10 };
// orientation-requested values (IPP's enums).
enum class Orientation {
  kPortrait = 3,
  kLandscape = 4,
  kReverseLandscape = 5,
  kReversePortrait = 6,
  kNone = 7
};

// A page that differs from the media by at most this many dots each way is
// taken to be of the media's size.
constexpr uint32_t kSameSizeDots = 2;
// Share of a page that 'auto' may crop to fill the media; a page of another
// shape is fitted instead, so that nothing of it is lost.
constexpr double kAutoFillCrop = 0.1;

struct FitRequest {
  // The document page: its size in its own pixels and their resolution
  // (pixels per inch; 0 when unknown: taken as the printer's).
  uint32_t width = 0, height = 0;
  double xResolution = 0, yResolution = 0;
  // The media in hundredths of millimetres; the printer's resolution.
  int mediaWidth = 0, mediaLength = 0;
  int dpi = 203;
  Scaling scaling = Scaling::kAuto;
  Orientation orientation = Orientation::kNone;
  bool roll = false;
  uint32_t headDots = 0;       // widest page the head prints
  uint32_t maxLengthDots = 0;  // longest page the model takes
};

struct PageFit {
  bool ok = false;
  std::string reason;              // why not, for the job
  uint32_t width = 0, height = 0;  // the output page in dots
  // The document scaled (before turning) in dots; scale = dots per pixel.
  uint32_t scaledWidth = 0, scaledHeight = 0;
  double xScale = 1, yScale = 1;
  int quarterTurns = 0;            // counter-clockwise, 0-3
  // Where the turned, scaled document's top left corner lands on the page
  // (negative: cropped).
  int64_t left = 0, top = 0;
  bool roll = false;            // the page's length follows the document
  uint32_t maxLengthDots = 0;   // the model's longest page (0: no limit)
  // The page passes unchanged: same size, no turn.
  bool Unchanged() const;
};

PageFit FitPage(const FitRequest& request);

// The fit of a page that was rendered at the fit's scale (a PDF page drawn
// by Ghostscript at the resolution the fit asks for), `width` x `height`
// dots as it came: placed as the fit places it, at its own size.
PageFit PlaceRendered(const PageFit& fit, uint32_t width, uint32_t height);

// The one check of a document's claimed pixel size before anything is
// allocated for it: rows of `channels` bytes each within the engine's line
// limit, the whole within its page limit. False with the reason otherwise.
bool DocumentSizeAllowed(uint64_t width, uint64_t height, unsigned channels,
                         std::string* reason);

// Media size in hundredths of millimetres to dots.
uint32_t MediaDots(int hundredthsMm, int dpi);

}  // namespace tavel
