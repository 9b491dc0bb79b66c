#include "app/PageFit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "image/PageLimits.h"

namespace tavel {
namespace {

constexpr double kHundredthsMmPerInch = 2540.0;
// Largest scaled side the pixel work walks through (a one-pixel-wide
// picture filled onto a label would otherwise be scaled to millions of
// rows).
constexpr double kMaxScaledSide = 1 << 24;

PageFit Refuse(const std::string& reason) {
  PageFit fit;
  fit.reason = reason;
  return fit;
}

uint32_t Round(double v) { return static_cast<uint32_t>(std::max(1.0, std::floor(v + 0.5))); }

int QuarterTurns(Orientation orientation, double w, double h, double mediaW, double mediaH,
                 bool roll) {
  switch (orientation) {
    case Orientation::kLandscape: return 1;
    case Orientation::kReverseLandscape: return 3;
    case Orientation::kReversePortrait: return 2;
    case Orientation::kPortrait: return 0;
    default: break;
  }
  // A roll has no length to compare with: the page keeps its way up.
  if (roll || w == h || mediaW == mediaH) return 0;
  return (w > h) != (mediaW > mediaH) ? 1 : 0;
}

}  // namespace

bool PageFit::Unchanged() const {
  return ok && quarterTurns == 0 && left == 0 && top == 0 && scaledWidth == width &&
         scaledHeight == height && xScale == 1 && yScale == 1;
}

uint32_t MediaDots(int hundredthsMm, int dpi) {
  if (hundredthsMm <= 0 || dpi <= 0) return 0;
  return static_cast<uint32_t>(std::floor(hundredthsMm * double(dpi) / kHundredthsMmPerInch + 0.5));
}

bool DocumentSizeAllowed(uint64_t width, uint64_t height, unsigned channels,
                         std::string* reason) {
  char text[160];
  if (width == 0 || height == 0) {
    std::snprintf(text, sizeof text, "The document has no pixels (%llu x %llu).",
                  static_cast<unsigned long long>(width), static_cast<unsigned long long>(height));
  } else if (width * std::max(channels, 1u) > kMaxLineBytes) {
    std::snprintf(text, sizeof text, "The document is too wide to print (%llu pixels).",
                  static_cast<unsigned long long>(width));
  } else if (width * height > kMaxPageBytes) {
    std::snprintf(text, sizeof text, "The document is too large to print (%llu x %llu pixels).",
                  static_cast<unsigned long long>(width), static_cast<unsigned long long>(height));
  } else {
    return true;
  }
  if (reason) *reason = text;
  return false;
}

PageFit FitPage(const FitRequest& r) {
  if (r.width == 0 || r.height == 0) return Refuse("The page is empty.");
  if (r.dpi <= 0 || unsigned(r.dpi) > kMaxResolution)
    return Refuse("The printer has no usable resolution.");
  const double dpi = r.dpi;
  const double xRes = r.xResolution > 0 ? r.xResolution : dpi;
  const double yRes = r.yResolution > 0 ? r.yResolution : dpi;
  if (xRes > kMaxResolution || yRes > kMaxResolution)
    return Refuse("The document has an unusable resolution.");
  const bool native = xRes == dpi && yRes == dpi;
  // The page at its natural size, in printer dots.
  const double naturalW = r.width * dpi / xRes, naturalH = r.height * dpi / yRes;

  uint32_t mediaW = MediaDots(r.mediaWidth, r.dpi);
  if (r.headDots && mediaW > r.headDots) mediaW = r.headDots;
  uint32_t mediaH = r.roll ? 0 : MediaDots(r.mediaLength, r.dpi);
  if (mediaW == 0 || (!r.roll && mediaH == 0)) return Refuse("The job's media has no size.");
  if (!r.roll && r.maxLengthDots && mediaH > r.maxLengthDots) mediaH = r.maxLengthDots;

  PageFit fit;
  fit.ok = true;
  fit.roll = r.roll;
  fit.maxLengthDots = r.maxLengthDots;
  fit.quarterTurns = QuarterTurns(r.orientation, naturalW, naturalH, mediaW, mediaH, r.roll);
  const bool turned = fit.quarterTurns % 2 == 1;
  const double w = turned ? naturalH : naturalW, h = turned ? naturalW : naturalH;
  const double slack = kSameSizeDots;

  const bool sameWidth = std::fabs(w - mediaW) <= slack && (!r.headDots || w <= r.headDots);
  const bool sameLength = r.roll || std::fabs(h - mediaH) <= slack;
  if (native && fit.quarterTurns == 0 && sameWidth && sameLength &&
      (!r.roll || !r.maxLengthDots || r.height <= r.maxLengthDots)) {
    fit.width = fit.scaledWidth = r.width;
    fit.height = fit.scaledHeight = r.height;
    return fit;
  }

  const bool larger = w > mediaW + slack || (!r.roll && h > mediaH + slack);
  Scaling mode = r.scaling;
  if (mode == Scaling::kAuto && larger) {
    const double a = mediaW / w, b = r.roll ? a : mediaH / h;
    mode = 1 - std::min(a, b) / std::max(a, b) <= kAutoFillCrop ? Scaling::kFill : Scaling::kFit;
  }
  if (mode == Scaling::kAuto) mode = Scaling::kNone;
  if (mode == Scaling::kAutoFit) mode = larger ? Scaling::kFit : Scaling::kNone;

  double scale = 1;
  if (r.roll) {
    if (mode != Scaling::kNone) scale = mediaW / w;
    if (mode != Scaling::kNone && r.maxLengthDots && h * scale > r.maxLengthDots)
      scale = r.maxLengthDots / h;
  } else if (mode == Scaling::kFit) {
    scale = std::min(mediaW / w, mediaH / h);
  } else if (mode == Scaling::kFill) {
    scale = std::max(mediaW / w, mediaH / h);
  }
  if (w * scale > kMaxScaledSide || h * scale > kMaxScaledSide)
    return Refuse("The page is too large to print at this scale.");
  const uint32_t scaledW = Round(w * scale), scaledH = Round(h * scale);

  fit.width = mediaW;
  fit.height = mediaH;
  if (r.roll) {
    fit.height = scaledH;
    if (r.maxLengthDots && fit.height > r.maxLengthDots) fit.height = r.maxLengthDots;
  }
  fit.left = (int64_t(fit.width) - int64_t(scaledW)) / 2;
  fit.top = r.roll ? 0 : (int64_t(fit.height) - int64_t(scaledH)) / 2;
  fit.scaledWidth = turned ? scaledH : scaledW;
  fit.scaledHeight = turned ? scaledW : scaledH;
  fit.xScale = double(fit.scaledWidth) / r.width;
  fit.yScale = double(fit.scaledHeight) / r.height;
  if (uint64_t(fit.width) * fit.height > kMaxPageBytes)
    return Refuse("The page is too large to print.");
  return fit;
}

PageFit PlaceRendered(const PageFit& fit, uint32_t width, uint32_t height) {
  PageFit placed = fit;
  placed.scaledWidth = width;
  placed.scaledHeight = height;
  placed.xScale = placed.yScale = 1;
  const bool turned = fit.quarterTurns % 2 == 1;
  const uint32_t w = turned ? height : width, h = turned ? width : height;
  if (fit.roll) {
    placed.height = fit.maxLengthDots ? std::min(h, fit.maxLengthDots) : h;
    placed.top = 0;
  } else {
    placed.top = (int64_t(placed.height) - int64_t(h)) / 2;
  }
  placed.left = (int64_t(placed.width) - int64_t(w)) / 2;
  if (uint64_t(placed.width) * placed.height > kMaxPageBytes) {
    placed.ok = false;
    placed.reason = "The page is too large to print.";
  }
  return placed;
}

}  // namespace tavel
