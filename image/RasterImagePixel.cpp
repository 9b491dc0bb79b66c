// CRasterImage pixel, palette and mask primitives that are not inline in the
// header: the memoised nearest-colour search, palette writes, the background
// colour test, and the alpha plane and selection mask as whole planes.
//
// The nearest-colour memo answers repeated queries for one colour without a
// palette scan; it relies on every palette write clearing nearestValid.
// Alpha and selection planes are width x height bytes with no row padding.
#include <cstdlib>
#include <cstring>

#include "image/RasterImage.h"
#include "image/MemoryGate.h"

namespace {

bool SameColour(const tagRGBQUAD& a, const tagRGBQUAD& b) {
  return a.rgbBlue == b.rgbBlue && a.rgbGreen == b.rgbGreen && a.rgbRed == b.rgbRed &&
         a.rgbReserved == b.rgbReserved;
}

// Copies a plane into *target, allocating it when absent; false on failure.
bool ClonePlaneInto(uint8_t*& target, const uint8_t* plane, uint32_t width, uint32_t height) {
  const uint64_t bytes = static_cast<uint64_t>(width) * height;
  if (bytes == 0 || bytes > SIZE_MAX) return false;
  if (target == nullptr) {
    target = static_cast<uint8_t*>(tavel::GateMalloc(static_cast<size_t>(bytes)));
    if (target == nullptr) return false;
  }
  std::memmove(target, plane, static_cast<size_t>(bytes));
  return true;
}

}  // namespace

void CRasterImage::SetPaletteColor(uint8_t index, uint8_t red, uint8_t green, uint8_t blue,
                                   uint8_t alpha) {
  SetPaletteColor(index, tagRGBQUAD{blue, green, red, alpha});
}

void CRasterImage::SetPaletteColor(uint8_t index, tagRGBQUAD colour) {
  tagRGBQUAD* palette = GetPalette();
  if (palette != nullptr && index < m_header.biClrUsed) palette[index] = colour;
  m_info.nearestValid = false;
}

bool CRasterImage::IsGrayScale() const {
  const tagRGBQUAD* palette = GetPalette();
  if (palette == nullptr) return false;
  for (uint32_t i = 0; i < m_header.biClrUsed; ++i) {
    if (palette[i].rgbBlue != i || palette[i].rgbGreen != i || palette[i].rgbRed != i) return false;
  }
  return true;
}

uint8_t CRasterImage::GetNearestIndex(tagRGBQUAD colour) {
  const tagRGBQUAD* palette = GetPalette();
  if (palette == nullptr) return 0;
  if (m_info.nearestValid && SameColour(colour, m_info.nearestColor)) return m_info.nearestIndex;

  m_info.nearestColor = colour;
  m_info.nearestValid = true;

  // biClrImportant may survive from an image of another depth; never scan
  // past the palette that actually exists.
  uint32_t count = m_header.biClrImportant != 0 ? m_header.biClrImportant : m_header.biClrUsed;
  if (count > m_header.biClrUsed) count = m_header.biClrUsed;

  uint32_t chosen = 0;
  int32_t best = 200000;
  for (uint32_t i = 0; i < count; ++i) {
    const int32_t db = static_cast<int32_t>(palette[i].rgbBlue) - colour.rgbBlue;
    const int32_t dg = static_cast<int32_t>(palette[i].rgbGreen) - colour.rgbGreen;
    const int32_t dr = static_cast<int32_t>(palette[i].rgbRed) - colour.rgbRed;
    const int32_t distance = db * db + dg * dg + dr * dr;
    if (distance == 0) {
      chosen = i;
      break;
    }
    if (distance < best) {
      best = distance;
      chosen = i;
    }
  }
  m_info.nearestIndex = static_cast<uint8_t>(chosen);
  return m_info.nearestIndex;
}

tagRGBQUAD CRasterImage::GetTransColor() const {
  if (m_header.biBitCount < 24 && m_info.transIndex >= 0)
    return GetPaletteColor(static_cast<uint8_t>(m_info.transIndex));
  return m_info.transColor;
}

bool CRasterImage::IsTransparent(int32_t x, int32_t y) const {
  if (m_dib == nullptr) return false;
  if (m_info.transIndex >= 0) {
    if (m_header.biBitCount < 24) {
      if (GetPixelIndex(x, y) == m_info.transIndex) return true;
    } else if (SameColour(GetPixelColor(x, y, false), m_info.transColor)) {
      return true;
    }
  }
  return m_alpha != nullptr && AlphaGet(x, y) == 0;
}

void CRasterImage::AlphaClear() {
  if (m_alpha != nullptr)
    std::memset(m_alpha, 0, static_cast<size_t>(GetWidth()) * GetHeight());
}

bool CRasterImage::AlphaCopy(const CRasterImage& from) {
  if (from.m_alpha == nullptr || from.GetWidth() != GetWidth() || from.GetHeight() != GetHeight())
    return false;
  if (!ClonePlaneInto(m_alpha, from.m_alpha, GetWidth(), GetHeight())) return false;
  m_info.alphaMax = from.m_info.alphaMax;
  return true;
}

bool CRasterImage::AlphaMirror() {
  if (m_alpha == nullptr) return false;
  const uint32_t width = GetWidth();
  const uint32_t height = GetHeight();
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* left = m_alpha + static_cast<size_t>(y) * width;
    uint8_t* right = left + width - 1;
    while (left < right) {
      const uint8_t t = *left;
      *left++ = *right;
      *right-- = t;
    }
  }
  return true;
}

bool CRasterImage::SelectionCopy(const CRasterImage& from) {
  if (from.m_selection == nullptr || from.GetWidth() != GetWidth() ||
      from.GetHeight() != GetHeight())
    return false;
  if (!ClonePlaneInto(m_selection, from.m_selection, GetWidth(), GetHeight())) return false;
  m_info.selectionBox = from.m_info.selectionBox;
  return true;
}

bool CRasterImage::SelectionDelete() {
  // A ghost only forgets the mask; its owner frees it.
  if (m_info.ghostOf == nullptr) std::free(m_selection);
  m_selection = nullptr;
  std::memset(&m_info.selectionBox, 0, sizeof(m_info.selectionBox));
  return true;
}
