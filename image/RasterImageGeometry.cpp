// Geometry and compositing of CRasterImage: nearest-pixel scaling, turning,
// mirroring, cropping and compositing one image over another at an offset.
//
// Every operation that replaces an image builds the result in one temporary
// (CopyInfo from the source so resolution, type and background travel along,
// Create at the result's size with the source's depth, copy the palette),
// fills it through the pixel accessors and moves it in with Transfer. A
// failure before the Transfer leaves the image exactly as it was.
//
// Turning:
//  - multiples of 180 that are not multiples of 360 swap pixel (x, y) with
//    (w - 1 - x, h - 1 - y) (Rotate180);
//  - quarter turns are exact index maps: 90 degrees takes result (nx, ny)
//    from source (w - 1 - ny, nx), 270 degrees from (ny, h - 1 - nx), so every
//    source pixel lands exactly once in the h x w result. The general path
//    below rounds its corner arithmetic so that a quarter turn would sample
//    one column (or row) outside the source and drop one of its own; a printed
//    page must not lose a line, hence the separate path;
//  - every other angle rotates the bounding box of the four corners and
//    samples the nearest source pixel (no interpolation, two products per
//    coordinate); positions outside the source read the accessors' outside
//    value.
//
// Reading outside an image through GetPixelIndex gives the background index
// or, without one, the first pixel byte taken whole; the checked setters keep
// only the bits that the depth holds.

#include "image/RasterImage.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

inline uint8_t SaturatedAdd(uint8_t a, uint8_t b) {
  const int32_t sum = a + b;
  return static_cast<uint8_t>(sum > 255 ? 255 : sum);
}

inline uint8_t SaturatedSub(uint8_t a, uint8_t b) {
  return static_cast<uint8_t>(a > b ? a - b : 0);
}

inline uint8_t Blend(uint8_t dst, uint8_t src, int32_t coverage) {
  return static_cast<uint8_t>((dst * (255 - coverage) + src * coverage) / 255);
}

inline tagRGBQUAD BlendColour(const tagRGBQUAD& dst, const tagRGBQUAD& src, int32_t coverage) {
  tagRGBQUAD out = dst;
  out.rgbBlue = Blend(dst.rgbBlue, src.rgbBlue, coverage);
  out.rgbGreen = Blend(dst.rgbGreen, src.rgbGreen, coverage);
  out.rgbRed = Blend(dst.rgbRed, src.rgbRed, coverage);
  return out;
}

inline bool IsBlack(const tagRGBQUAD& c) {
  return c.rgbBlue == 0 && c.rgbGreen == 0 && c.rgbRed == 0;
}

// Largest channel difference: 0 for the same colour, 255 for opposite ones.
inline int32_t ChannelDistance(const tagRGBQUAD& a, const tagRGBQUAD& b) {
  const int32_t db = std::abs(a.rgbBlue - b.rgbBlue);
  const int32_t dg = std::abs(a.rgbGreen - b.rgbGreen);
  const int32_t dr = std::abs(a.rgbRed - b.rgbRed);
  return std::max(db, std::max(dg, dr));
}

template <typename Op>
inline tagRGBQUAD PerChannel(const tagRGBQUAD& d, const tagRGBQUAD& p, Op op) {
  tagRGBQUAD out = d;
  out.rgbBlue = op(d.rgbBlue, p.rgbBlue);
  out.rgbGreen = op(d.rgbGreen, p.rgbGreen);
  out.rgbRed = op(d.rgbRed, p.rgbRed);
  return out;
}

}  // namespace

bool CRasterImage::Resample(int32_t newWidth, int32_t newHeight, int32_t mode,
                            CRasterImage* destination) {
  if (newWidth == 0 || newHeight == 0) return false;
  if (!m_dib) return false;
  const uint32_t width = GetWidth();
  const uint32_t height = GetHeight();
  if (static_cast<uint32_t>(newWidth) == width && static_cast<uint32_t>(newHeight) == height) {
    if (destination && destination != this) destination->Copy(*this, true, true, true);
    return true;
  }
  // Only nearest-pixel scaling exists; the page is already one bit deep,
  // where interpolation has nothing to offer.
  if (mode != 1) return false;

  const float xScale = static_cast<float>(width) / static_cast<float>(newWidth);
  const float yScale = static_cast<float>(height) / static_cast<float>(newHeight);

  CRasterImage scaled;
  scaled.CopyInfo(*this);
  scaled.Create(static_cast<uint32_t>(newWidth), static_cast<uint32_t>(newHeight), GetBpp(),
                GetType());
  scaled.SetPalette(GetPalette(), 256);
  if (!scaled.IsValid()) {
    CopyLastError(scaled);
    return false;
  }
  if (m_alpha && !scaled.AlphaCreate()) return false;

  for (int32_t y = 0; y < newHeight; ++y) {
    m_info.progress = static_cast<int32_t>(100LL * y / newHeight);
    if (m_info.escape) break;
    const int32_t sy = static_cast<int32_t>(static_cast<float>(y) * yScale);
    for (int32_t x = 0; x < newWidth; ++x) {
      const int32_t sx = static_cast<int32_t>(static_cast<float>(x) * xScale);
      scaled.SetPixelColor(x, y, GetPixelColor(sx, sy, true), false);
    }
  }
  if (m_alpha) {
    for (int32_t y = 0; y < newHeight; ++y) {
      const int32_t sy = static_cast<int32_t>(static_cast<float>(y) * yScale);
      for (int32_t x = 0; x < newWidth; ++x) {
        const int32_t sx = static_cast<int32_t>(static_cast<float>(x) * xScale);
        scaled.AlphaSet(x, y, AlphaGet(sx, sy));
      }
    }
  }
  return (destination ? destination : this)->Transfer(scaled);
}

bool CRasterImage::Rotate(float angle, CRasterImage* destination) {
  if (!m_dib) return false;
  const double degrees = angle;
  if (std::fmod(degrees, 180.0) == 0.0 && std::fmod(degrees, 360.0) != 0.0)
    return Rotate180(destination);

  const int32_t width = static_cast<int32_t>(GetWidth());
  const int32_t height = static_cast<int32_t>(GetHeight());
  const bool paletted = GetBpp() <= 8;

  if (std::fmod(degrees, 90.0) == 0.0 && std::fmod(degrees, 180.0) != 0.0) {
    // Quarter turn (90, 270, -90, 450, ...): exact index map, nothing lost.
    double turn = std::fmod(degrees, 360.0);
    if (turn < 0) turn += 360.0;
    const bool ninety = turn == 90.0;

    CRasterImage turned;
    turned.CopyInfo(*this);
    if (!turned.Create(GetHeight(), GetWidth(), GetBpp(), GetType())) {
      CopyLastError(turned);
      return false;
    }
    turned.SetPalette(GetPalette(), 256);
    if (m_alpha && !turned.AlphaCreate()) return false;

    // Result is height x width: nx runs over source rows, ny over columns.
    for (int32_t ny = 0; ny < width; ++ny) {
      m_info.progress = static_cast<int32_t>(100LL * ny / width);
      if (m_info.escape) break;
      for (int32_t nx = 0; nx < height; ++nx) {
        const int32_t sx = ninety ? width - 1 - ny : ny;
        const int32_t sy = ninety ? nx : height - 1 - nx;
        if (paletted)
          turned.BlindSetPixelIndex(nx, ny, BlindGetPixelIndex(sx, sy));
        else
          turned.SetPixelColor(nx, ny, GetPixelColor(sx, sy, true), false);
        turned.AlphaSet(nx, ny, AlphaGet(sx, sy));
      }
    }
    return (destination ? destination : this)->Transfer(turned);
  }

  // General angle. The negated float angle goes to double before scaling.
  const double theta = static_cast<double>(-angle) * 1.5707963267948966 / 90.0;
  const double c = std::cos(theta);
  const double s = std::sin(theta);

  const double cornerX[4] = {0.0, static_cast<double>(width), 0.0, static_cast<double>(width)};
  const double cornerY[4] = {0.0, 0.0, static_cast<double>(height), static_cast<double>(height)};
  float minX = 0, maxX = 0, minY = 0, maxY = 0;
  for (int i = 0; i < 4; ++i) {
    const float rx = static_cast<float>(cornerX[i] * c - cornerY[i] * s);
    const float ry = static_cast<float>(cornerY[i] * c + cornerX[i] * s);
    if (i == 0 || rx < minX) minX = rx;
    if (i == 0 || rx > maxX) maxX = rx;
    if (i == 0 || ry < minY) minY = ry;
    if (i == 0 || ry > maxY) maxY = ry;
  }
  const float spanX = (0.5f + maxX) - minX;
  const float spanY = (0.5f + maxY) - minY;
  const int32_t newWidth = static_cast<int32_t>(std::floor(spanX));
  const int32_t newHeight = static_cast<int32_t>(std::floor(spanY));

  CRasterImage turned;
  turned.CopyInfo(*this);
  if (newWidth <= 0 || newHeight <= 0 ||
      !turned.Create(static_cast<uint32_t>(newWidth), static_cast<uint32_t>(newHeight), GetBpp(),
                     GetType())) {
    CopyLastError(turned);
    return false;
  }
  turned.SetPalette(GetPalette(), 256);
  if (m_alpha) {
    if (!turned.AlphaCreate()) return false;
    turned.AlphaClear();
  }

  // The loops run one step past the result's size; the checked setters drop
  // those writes.
  const int32_t firstX = static_cast<int32_t>(minX);
  const int32_t lastX = static_cast<int32_t>(maxX);
  const int32_t firstY = static_cast<int32_t>(minY);
  const int32_t lastY = static_cast<int32_t>(maxY);
  int32_t ny = 0;
  for (int32_t y = firstY; y <= lastY; ++y, ++ny) {
    m_info.progress = static_cast<int32_t>(100LL * ny / newHeight);
    if (m_info.escape) break;
    int32_t nx = 0;
    for (int32_t x = firstX; x <= lastX; ++x, ++nx) {
      const int32_t sx = static_cast<int32_t>(y * s + x * c + 0.5);
      const int32_t sy = static_cast<int32_t>(y * c - x * s + 0.5);
      if (paletted)
        turned.SetPixelIndex(nx, ny, GetPixelIndex(sx, sy));
      else
        turned.SetPixelColor(nx, ny, GetPixelColor(sx, sy, true), false);
      turned.AlphaSet(nx, ny, AlphaGet(sx, sy));
    }
  }
  return (destination ? destination : this)->Transfer(turned);
}

bool CRasterImage::Rotate180(CRasterImage* destination) {
  if (!m_dib) return false;
  const int32_t width = static_cast<int32_t>(GetWidth());
  const int32_t height = static_cast<int32_t>(GetHeight());
  const bool paletted = GetBpp() <= 8;

  CRasterImage turned;
  turned.CopyInfo(*this);
  if (!turned.Create(GetWidth(), GetHeight(), GetBpp(), GetType())) {
    CopyLastError(turned);
    return false;
  }
  turned.SetPalette(GetPalette(), 256);
  if (m_alpha && !turned.AlphaCreate()) return false;

  for (int32_t y = 0; y < height; ++y) {
    m_info.progress = static_cast<int32_t>(100LL * y / height);
    const int32_t ty = height - 1 - y;
    for (int32_t x = 0; x < width; ++x) {
      const int32_t tx = width - 1 - x;
      if (paletted)
        turned.BlindSetPixelIndex(tx, ty, BlindGetPixelIndex(x, y));
      else
        turned.SetPixelColor(tx, ty, GetPixelColor(x, y, true), false);
      turned.AlphaSet(tx, ty, AlphaGet(x, y));
    }
  }
  return (destination ? destination : this)->Transfer(turned);
}

bool CRasterImage::Mirror(bool mirrorSelection, bool mirrorAlpha) {
  if (!m_dib) return false;
  // Same size, depth, palette, info, selection and alpha; pixels not copied.
  CRasterImage mirrored(*this, false, true, true);
  if (!mirrored.IsValid()) return false;

  const int32_t width = static_cast<int32_t>(GetWidth());
  const int32_t height = static_cast<int32_t>(GetHeight());
  const int32_t last = width - 1;
  const uint16_t bpp = GetBpp();
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* src = GetBits(static_cast<uint32_t>(y));
    uint8_t* dst = mirrored.GetBits(static_cast<uint32_t>(y));
    if (bpp == 8) {
      for (int32_t x = 0; x <= last; ++x) dst[x] = src[last - x];
    } else if (bpp == 24) {
      for (int32_t x = 0; x <= last; ++x) std::memcpy(dst + 3 * x, src + 3 * (last - x), 3);
    } else {
      for (int32_t x = 0; x <= last; ++x) mirrored.SetPixelIndex(x, y, GetPixelIndex(last - x, y));
    }
  }

  if (mirrorSelection && mirrored.m_selection) {
    for (int32_t y = 0; y < height; ++y) {
      uint8_t* row = mirrored.m_selection + static_cast<size_t>(y) * width;
      std::reverse(row, row + width);
    }
    // The box's column range reflects about the image's centre line.
    tagRECT& box = mirrored.m_info.selectionBox;
    const int32_t left = box.left;
    box.left = width - box.right;
    box.right = width - left;
  }
  if (mirrorAlpha) mirrored.AlphaMirror();
  return Transfer(mirrored, true);
}

bool CRasterImage::Crop(const tagRECT& rect, CRasterImage* destination) {
  return Crop(rect.left, rect.top, rect.right, rect.bottom, destination);
}

bool CRasterImage::Crop(int32_t left, int32_t top, int32_t right, int32_t bottom,
                        CRasterImage* destination) {
  if (!m_dib) return false;
  const int32_t width = static_cast<int32_t>(GetWidth());
  const int32_t height = static_cast<int32_t>(GetHeight());
  // Top and bottom count from the last stored row.
  int32_t startX = std::max(0, std::min(left, width));
  int32_t endX = std::max(0, std::min(right, width));
  int32_t startY = height - std::max(0, std::min(top, height));
  int32_t endY = height - std::max(0, std::min(bottom, height));
  if (startX == endX || startY == endY) return false;
  if (startX > endX) std::swap(startX, endX);
  if (startY > endY) std::swap(startY, endY);
  const int32_t cropWidth = endX - startX;
  const int32_t cropHeight = endY - startY;

  CRasterImage part;
  part.CopyInfo(*this);
  if (!part.Create(static_cast<uint32_t>(cropWidth), static_cast<uint32_t>(cropHeight), GetBpp(),
                   GetType())) {
    CopyLastError(part);
    return false;
  }
  part.SetPalette(GetPalette(), GetNumColors());
  part.m_info.transIndex = m_info.transIndex;
  part.m_info.transColor = m_info.transColor;

  const uint32_t bpp = GetBpp();
  for (int32_t y = startY; y < endY; ++y) {
    m_info.progress = static_cast<int32_t>(100LL * (y - startY) / cropHeight);
    if (bpp >= 8) {
      std::memcpy(part.GetBits(static_cast<uint32_t>(y - startY)),
                  GetBits(static_cast<uint32_t>(y)) + static_cast<size_t>(startX) * bpp / 8,
                  static_cast<size_t>(cropWidth) * bpp / 8);
    } else {
      for (int32_t x = startX; x < endX; ++x)
        part.SetPixelIndex(x - startX, y - startY, GetPixelIndex(x, y));
    }
  }

  if (m_alpha) {
    if (!part.AlphaCreate()) return false;
    for (int32_t y = startY; y < endY; ++y)
      std::memcpy(part.m_alpha + static_cast<size_t>(y - startY) * cropWidth,
                  m_alpha + static_cast<size_t>(y) * width + startX,
                  static_cast<size_t>(cropWidth));
  }
  return (destination ? destination : this)->Transfer(part);
}

void CRasterImage::Mix(CRasterImage& source, ImageOpType operation, int32_t xOffset,
                       int32_t yOffset, bool mixAlpha) {
  if (static_cast<int32_t>(operation) < OpAdd || static_cast<int32_t>(operation) > OpBlendAlpha)
    return;
  if (!m_dib || !source.m_dib) return;

  // Compared as unsigned: a negative offset, or one past the source's size,
  // wraps to a huge span and leaves this image's own size.
  const uint32_t spanX = source.GetWidth() - static_cast<uint32_t>(xOffset);
  const uint32_t spanY = source.GetHeight() - static_cast<uint32_t>(yOffset);
  const uint32_t wide = GetWidth() < spanX ? GetWidth() : spanX;
  const uint32_t high = GetHeight() < spanY ? GetHeight() : spanY;

  const bool editAlpha = mixAlpha && source.AlphaIsValid();
  if (editAlpha && !AlphaIsValid()) AlphaCreate();

  const int32_t height = static_cast<int32_t>(GetHeight());
  for (uint32_t uy = 0; uy < high; ++uy) {
    const int32_t y = static_cast<int32_t>(uy);
    m_info.progress = static_cast<int32_t>(100LL * y / height);
    if (m_info.escape) break;
    const int64_t sy64 = static_cast<int64_t>(y) + yOffset;
    for (uint32_t ux = 0; ux < wide; ++ux) {
      const int32_t x = static_cast<int32_t>(ux);
      const int64_t sx64 = static_cast<int64_t>(x) + xOffset;
      if (sx64 < 0 || sy64 < 0 || sx64 > INT32_MAX || sy64 > INT32_MAX) continue;
      const int32_t sx = static_cast<int32_t>(sx64);
      const int32_t sy = static_cast<int32_t>(sy64);
      if (!SelectionIsInside(x, y) || !source.SelectionIsInside(sx, sy)) continue;

      const tagRGBQUAD d = GetPixelColor(x, y, true);
      const tagRGBQUAD p = source.GetPixelColor(sx, sy, true);
      tagRGBQUAD result = d;
      switch (operation) {
        case OpAdd:
          result = PerChannel(d, p, SaturatedAdd);
          break;
        case OpAnd:
          result = PerChannel(d, p, [](uint8_t a, uint8_t b) { return uint8_t(a & b); });
          break;
        case OpXor:
          result = PerChannel(d, p, [](uint8_t a, uint8_t b) { return uint8_t(a ^ b); });
          break;
        case OpOr:
          result = PerChannel(d, p, [](uint8_t a, uint8_t b) { return uint8_t(a | b); });
          break;
        case OpMask:
          result = IsBlack(p) ? GetTransColor() : d;
          break;
        case OpSrcCopy:
          result = IsTransparent(x, y) ? p : d;
          break;
        case OpDstCopy:
          result = source.IsTransparent(sx, sy) ? d : p;
          break;
        case OpSub:
          result = PerChannel(d, p, SaturatedSub);
          break;
        case OpSrcBlend:
          // The further the source is from its background colour, the more
          // of it shows.
          result = BlendColour(d, p, ChannelDistance(p, source.GetTransColor()));
          break;
        case OpSourceOver: {
          int32_t coverage;
          if (source.IsTransparent(sx, sy))
            coverage = 0;
          else if (source.AlphaIsValid())
            coverage = source.AlphaGet(sx, sy) * source.m_info.alphaMax / 255;
          else
            coverage = 255;
          if (coverage == 0) {
            result = d;
          } else if (coverage == 255) {
            result = p;
          } else {
            result = BlendColour(d, p, coverage);
            if (editAlpha)
              result.rgbReserved = static_cast<uint8_t>(d.rgbReserved * coverage / 255);
          }
          break;
        }
        case OpAvg:
          result = PerChannel(d, p, [](uint8_t a, uint8_t b) { return uint8_t((a + b) / 2); });
          break;
        case OpBlendAlpha:
          // The source colour's own alpha byte is the coverage.
          result = BlendColour(d, p, p.rgbReserved);
          break;
      }
      SetPixelColor(x, y, result, editAlpha);
    }
  }
}

bool CRasterImage::FindInkBounds(tagINKBOUNDS&) const { return false; }
bool CRasterImage::ShiftOnWhite(int32_t, int32_t) { return false; }
