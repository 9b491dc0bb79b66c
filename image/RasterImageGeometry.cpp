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
// One-bit pages (the only depth the page preparation turns, mirrors, crops
// and shifts) take whole-byte paths that give the same bits as the pixel
// loops: quarter turns transpose 8 x 8 blocks of bits, half turns and
// mirrors reverse rows through a byte table and a bit shift, crops shift
// rows by bits. Pad bits stay 0, as the freshly created result has them.
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

// Each byte with its bits in reverse order.
struct ReversedBytes {
  uint8_t of[256];
  constexpr ReversedBytes() : of() {
    for (int i = 0; i < 256; ++i) {
      int r = 0;
      for (int b = 0; b < 8; ++b)
        if (i & (1 << b)) r |= 0x80 >> b;
      of[i] = static_cast<uint8_t>(r);
    }
  }
};
constexpr ReversedBytes kReversed;

// Writes the first `width` bits of a 1-bit row in reverse order: bit x of
// dst is bit width - 1 - x of src. The bits of dst past the width become 0.
void ReverseBits(const uint8_t* src, uint32_t width, uint8_t* dst) {
  const uint32_t bytes = (width + 7) / 8;
  const uint32_t pad = bytes * 8 - width;  // unused bits at the end of src
  // Reversing all bytes puts the pad bits first; shifting left by their
  // count drops them and brings in zeros at the end.
  for (uint32_t i = 0; i < bytes; ++i) {
    const uint32_t here = kReversed.of[src[bytes - 1 - i]];
    const uint32_t next = i + 1 < bytes ? kReversed.of[src[bytes - 2 - i]] : 0u;
    dst[i] = static_cast<uint8_t>((here << pad) | (next >> (8 - pad)));
  }
}

// Writes bits start .. start + count - 1 of a 1-bit row of `rowBytes` bytes
// to the front of dst; the bits of dst past count become 0.
void CopyBits(const uint8_t* src, uint32_t rowBytes, uint32_t start, uint32_t count, uint8_t* dst) {
  const uint32_t first = start / 8, shift = start % 8, bytes = (count + 7) / 8;
  for (uint32_t i = 0; i < bytes; ++i) {
    const uint32_t here = src[first + i];
    const uint32_t next = first + i + 1 < rowBytes ? src[first + i + 1] : 0u;
    dst[i] = static_cast<uint8_t>((here << shift) | (next >> (8 - shift)));
  }
  if (count % 8) dst[bytes - 1] = static_cast<uint8_t>(dst[bytes - 1] & (0xFF00 >> (count % 8)));
}

// Transposes an 8 x 8 block of bits, one byte per row, the most significant
// bit first: bit k of row i becomes bit i of row k.
inline uint64_t Transpose8(uint64_t x) {
  uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
  x = x ^ t ^ (t << 7);
  t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
  x = x ^ t ^ (t << 14);
  t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
  return x ^ t ^ (t << 28);
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
  if (std::fmod(degrees, 90.0) == 0.0 && std::fmod(degrees, 180.0) != 0.0) {
    // Quarter turn (90, 270, -90, 450, ...): exact index map, nothing lost.
    double turn = std::fmod(degrees, 360.0);
    if (turn < 0) turn += 360.0;
    return RotateQuarter(turn == 90.0, destination);
  }
  return RotateByAngle(angle, destination);
}

// A blank image of the given size in this one's format, with its palette
// and, when this one has one, an alpha channel: what a turn is drawn into.
bool CRasterImage::CreateTurned(uint32_t width, uint32_t height, CRasterImage& turned) {
  turned.CopyInfo(*this);
  if (!turned.Create(width, height, GetBpp(), GetType())) {
    CopyLastError(turned);
    return false;
  }
  turned.SetPalette(GetPalette(), 256);
  return !m_alpha || turned.AlphaCreate();
}

bool CRasterImage::RotateQuarter(bool ninety, CRasterImage* destination) {
  const int32_t width = static_cast<int32_t>(GetWidth());
  const int32_t height = static_cast<int32_t>(GetHeight());
  const bool paletted = GetBpp() <= 8;

  CRasterImage turned;
  if (!CreateTurned(GetHeight(), GetWidth(), turned)) return false;

  if (GetBpp() == 1 && !m_info.escape) {
    TurnOneBitQuarter(ninety, turned);
    m_info.progress = static_cast<int32_t>(100LL * (width - 1) / width);
    if (m_alpha) {
      for (int32_t ny = 0; ny < width; ++ny)
        for (int32_t nx = 0; nx < height; ++nx)
          turned.AlphaSet(nx, ny,
                          AlphaGet(ninety ? width - 1 - ny : ny, ninety ? nx : height - 1 - nx));
    }
    return (destination ? destination : this)->Transfer(turned);
  }

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

// 8 source rows by 8 columns at a time. Result row ny holds source column
// width - 1 - ny (90) or ny (270); result byte j gathers source rows
// 8j .. 8j + 7 (90) or height - 1 - 8j downwards (270).
void CRasterImage::TurnOneBitQuarter(bool ninety, CRasterImage& turned) const {
  const uint32_t sourceBytes = (GetWidth() + 7) / 8;
  const uint32_t resultBytes = (GetHeight() + 7) / 8;
  for (uint32_t j = 0; j < resultBytes; ++j) {
    const uint8_t* rows[8];
    for (uint32_t i = 0; i < 8; ++i) {
      const uint32_t nx = 8 * j + i;
      rows[i] = nx < GetHeight() ? GetBits(ninety ? nx : GetHeight() - 1 - nx) : nullptr;
    }
    for (uint32_t c = 0; c < sourceBytes; ++c) {
      uint64_t block = 0;
      for (uint32_t i = 0; i < 8; ++i) block = (block << 8) | (rows[i] ? rows[i][c] : 0u);
      block = Transpose8(block);
      for (uint32_t k = 0; k < 8; ++k) {
        const uint32_t column = 8 * c + k;
        if (column >= GetWidth()) break;
        const uint32_t ny = ninety ? GetWidth() - 1 - column : column;
        turned.GetBits(ny)[j] = static_cast<uint8_t>(block >> (56 - 8 * k));
      }
    }
  }
}

bool CRasterImage::RotateByAngle(float angle, CRasterImage* destination) {
  const int32_t width = static_cast<int32_t>(GetWidth());
  const int32_t height = static_cast<int32_t>(GetHeight());
  const bool paletted = GetBpp() <= 8;

  // The negated float angle goes to double before scaling.
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
  if (newWidth <= 0 || newHeight <= 0 ||
      !CreateTurned(static_cast<uint32_t>(newWidth), static_cast<uint32_t>(newHeight), turned))
    return false;
  if (m_alpha) turned.AlphaClear();

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
  if (!CreateTurned(GetWidth(), GetHeight(), turned)) return false;

  if (GetBpp() == 1) {
    for (int32_t y = 0; y < height; ++y)
      ReverseBits(GetBits(static_cast<uint32_t>(y)), GetWidth(),
                  turned.GetBits(static_cast<uint32_t>(height - 1 - y)));
    m_info.progress = static_cast<int32_t>(100LL * (height - 1) / height);
    for (int32_t y = 0; m_alpha && y < height; ++y)
      for (int32_t x = 0; x < width; ++x)
        turned.AlphaSet(width - 1 - x, height - 1 - y, AlphaGet(x, y));
    return (destination ? destination : this)->Transfer(turned);
  }

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
    } else if (bpp == 1) {
      ReverseBits(src, GetWidth(), dst);
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
    if (bpp == 1) {
      CopyBits(GetBits(static_cast<uint32_t>(y)), GetEffWidth(), static_cast<uint32_t>(startX),
               static_cast<uint32_t>(cropWidth), part.GetBits(static_cast<uint32_t>(y - startY)));
    } else if (bpp >= 8) {
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

// The colour pixel (x, y) takes when the source's pixel (sx, sy) is
// composited onto it.
tagRGBQUAD CRasterImage::MixedColour(const CRasterImage& source, ImageOpType operation,
                                     int32_t x, int32_t y, int32_t sx, int32_t sy,
                                     bool editAlpha) const {
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
  return result;
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

      const tagRGBQUAD result = MixedColour(source, operation, x, y, sx, sy, editAlpha);
      SetPixelColor(x, y, result, editAlpha);
    }
  }
}

bool CRasterImage::FindInkBounds(tagINKBOUNDS& bounds) const {
  if (!m_dib || GetBpp() != 1) return false;
  const uint32_t width = GetWidth();
  const uint32_t height = GetHeight();
  const uint32_t bytes = (width + 7) / 8;
  // The last byte counts only its bits inside the row.
  const uint8_t lastMask = static_cast<uint8_t>(0xFF00 >> (width - 8 * (bytes - 1)));
  // Ink is a 0 bit; `wanted` collects the inverted bytes of the inked rows.
  auto rowInk = [&](uint32_t y) {
    const uint8_t* row = GetBits(y);
    uint32_t i = 0;
    for (; i + 8 <= bytes - 1; i += 8) {
      uint64_t word;
      std::memcpy(&word, row + i, 8);
      if (~word != 0) return true;
    }
    for (; i < bytes - 1; ++i)
      if (row[i] != 0xFF) return true;
    return (~row[bytes - 1] & lastMask) != 0;
  };
  uint32_t first = 0;
  while (first < height && !rowInk(first)) ++first;
  if (first == height) return false;
  uint32_t last = height - 1;
  while (last > first && !rowInk(last)) --last;

  // Columns: OR of the inverted rows between the first and last inked row.
  uint8_t* any = static_cast<uint8_t*>(std::calloc(bytes, 1));
  if (any == nullptr) {
    // Without scratch memory, column by column.
    auto columnInk = [&](uint32_t x) {
      for (uint32_t y = first; y <= last; ++y)
        if (!((GetBits(y)[x >> 3] >> (7 - (x & 7))) & 1)) return true;
      return false;
    };
    uint32_t left = 0, right = width - 1;
    while (!columnInk(left)) ++left;
    while (!columnInk(right)) --right;
    bounds = {static_cast<int32_t>(first), static_cast<int32_t>(last), static_cast<int32_t>(left),
              static_cast<int32_t>(right)};
    return true;
  }
  for (uint32_t y = first; y <= last; ++y) {
    const uint8_t* row = GetBits(y);
    uint32_t i = 0;
    for (; i + 8 <= bytes; i += 8) {
      uint64_t word, acc;
      std::memcpy(&word, row + i, 8);
      std::memcpy(&acc, any + i, 8);
      acc |= ~word;
      std::memcpy(any + i, &acc, 8);
    }
    for (; i < bytes; ++i) any[i] = static_cast<uint8_t>(any[i] | ~row[i]);
  }
  any[bytes - 1] = static_cast<uint8_t>(any[bytes - 1] & lastMask);
  uint32_t left = 0, right = bytes - 1;
  while (any[left] == 0) ++left;
  while (any[right] == 0) --right;
  uint32_t leftBit = 0, rightBit = 7;
  while (!(any[left] & (0x80 >> leftBit))) ++leftBit;
  while (!(any[right] & (0x80 >> rightBit))) --rightBit;
  std::free(any);
  bounds = {static_cast<int32_t>(first), static_cast<int32_t>(last),
            static_cast<int32_t>(8 * left + leftBit), static_cast<int32_t>(8 * right + rightBit)};
  return true;
}

bool CRasterImage::ShiftOnWhite(int32_t xOffset, int32_t yOffset) {
  if (!m_dib) return false;
  // The composite turns each source colour into its nearest palette entry
  // and honours alpha, background index, selection and escape; the row and
  // bit shift below is the same only when none of them plays a part and
  // the two entries are told apart (each colour maps to its own index).
  const bool plain = GetBpp() == 1 && !m_alpha && !m_selection && m_info.transIndex < 0 &&
                     !m_info.escape && GetNearestIndex(GetPaletteColor(0)) == 0 &&
                     GetNearestIndex(GetPaletteColor(1)) == 1;
  if (!plain) {
    CRasterImage copy;
    copy.Copy(*this, true, true, true);
    if (!copy.IsValid()) {
      CopyLastError(copy);
      return false;
    }
    for (uint32_t y = 0; y < GetHeight(); ++y) std::memset(GetBits(y), 0xFF, GetEffWidth());
    Mix(copy, OpSourceOver, xOffset, yOffset, false);
    return true;
  }

  // Pixel (x, y) takes (x + xOffset, y + yOffset) where that is inside.
  const int64_t width = GetWidth(), height = GetHeight();
  const size_t stride = GetEffWidth();
  uint8_t* pixels = GetBits(0);
  const int64_t keptFrom = std::max<int64_t>(0, -int64_t{yOffset});
  const int64_t keptTo = std::min<int64_t>(height, height - yOffset);  // exclusive
  if (keptFrom >= keptTo || int64_t{xOffset} >= width || -int64_t{xOffset} >= width) {
    std::memset(pixels, 0xFF, stride * static_cast<size_t>(height));
    return true;
  }
  // Rows first: one block move, white rows on either side.
  std::memmove(pixels + static_cast<size_t>(keptFrom) * stride,
               pixels + static_cast<size_t>(keptFrom + yOffset) * stride,
               static_cast<size_t>(keptTo - keptFrom) * stride);
  std::memset(pixels, 0xFF, static_cast<size_t>(keptFrom) * stride);
  std::memset(pixels + static_cast<size_t>(keptTo) * stride, 0xFF,
              static_cast<size_t>(height - keptTo) * stride);

  // Then bits within each kept row: out bit x = in bit x + xOffset. Byte i
  // reads bytes i + q and i + q + 1 (q may be negative), so moving content
  // left runs upwards and moving it right runs downwards, in place.
  const int64_t q = xOffset >= 0 ? xOffset / 8 : -((-int64_t{xOffset} + 7) / 8);
  const uint32_t r = static_cast<uint32_t>(int64_t{xOffset} - 8 * q);
  const int64_t bytes = static_cast<int64_t>(stride);
  const int64_t whiteFrom = std::min<int64_t>(width, width - xOffset);  // x >= this: white
  const int64_t whiteBelow = std::max<int64_t>(0, -int64_t{xOffset});   // x < this: white
  for (int64_t y = keptFrom; y < keptTo; ++y) {
    uint8_t* row = pixels + static_cast<size_t>(y) * stride;
    auto at = [&](int64_t i) -> uint32_t { return i >= 0 && i < bytes ? row[i] : 0xFFu; };
    auto shifted = [&](int64_t i) {
      return static_cast<uint8_t>(r == 0 ? at(i + q)
                                         : (at(i + q) << r) | (at(i + q + 1) >> (8 - r)));
    };
    if (xOffset > 0) {
      for (int64_t i = 0; i < bytes; ++i) row[i] = shifted(i);
    } else if (xOffset < 0) {
      for (int64_t i = bytes - 1; i >= 0; --i) row[i] = shifted(i);
    }
    // White outside the source and in the padding.
    for (int64_t x = whiteFrom; x < 8 * bytes && x % 8 != 0; ++x)
      row[x >> 3] = static_cast<uint8_t>(row[x >> 3] | (0x80 >> (x & 7)));
    const int64_t whiteByte = (whiteFrom + 7) / 8;
    if (whiteByte < bytes)
      std::memset(row + whiteByte, 0xFF, static_cast<size_t>(bytes - whiteByte));
    if (whiteBelow > 0) {
      std::memset(row, 0xFF, static_cast<size_t>(whiteBelow / 8));
      if (whiteBelow % 8)
        row[whiteBelow / 8] =
            static_cast<uint8_t>(row[whiteBelow / 8] | (0xFF00 >> (whiteBelow % 8)));
    }
  }
  return true;
}
