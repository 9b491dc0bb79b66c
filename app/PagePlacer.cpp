#include "app/PagePlacer.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace tavel {
namespace {

// Rounding slack when comparing positions in scaled rows.
constexpr double kEdgeSlack = 1e-9;
// ITU-R BT.601 luma weights in 1/256.
constexpr unsigned kRedWeight = 77, kGreenWeight = 150, kBlueWeight = 29;

}  // namespace

bool CPagePlacer::Start(const PageFit& fit, uint32_t width, uint32_t height, uint8_t* page,
                        size_t stride) {
  m_fit = fit;
  m_page = page;
  m_stride = stride;
  m_srcWidth = width;
  m_srcHeight = height;
  m_y = 0;
  m_accRow = 0;
  m_accWeight = 0;
  const uint32_t sw = fit.scaledWidth;
  try {
    m_row.assign(sw, 0.0f);
    m_acc.assign(sw, 0.0f);
    m_first.assign(sw, 0);
    m_count.assign(sw, 0);
    m_weightAt.assign(sw, 0);
    m_weights.clear();
    m_weights.reserve(size_t(width) + sw + 1);
    // Scaled column u covers source columns [u / xs, (u + 1) / xs).
    const double step = double(width) / sw;
    for (uint32_t u = 0; u < sw; ++u) {
      const double lo = u * step, hi = std::min(double(width), (u + 1) * step);
      const uint32_t first = std::min(uint32_t(lo), width - 1);
      m_first[u] = first;
      m_weightAt[u] = uint32_t(m_weights.size());
      for (uint32_t x = first; x < width && x < hi + kEdgeSlack; ++x) {
        const double overlap = std::min(hi, x + 1.0) - std::max(lo, double(x));
        if (overlap <= kEdgeSlack) break;
        m_weights.push_back(float(overlap / step));
        ++m_count[u];
      }
    }
  } catch (const std::bad_alloc&) {
    m_page = nullptr;
    return false;
  }
  return true;
}

void CPagePlacer::AddRow(const uint8_t* gray) {
  if (m_y >= m_srcHeight) return;
  const uint32_t sw = m_fit.scaledWidth, sh = m_fit.scaledHeight;
  for (uint32_t u = 0; u < sw; ++u) {
    const float* w = m_weights.data() + m_weightAt[u];
    const uint8_t* s = gray + m_first[u];
    float sum = 0;
    for (uint32_t i = 0; i < m_count[u]; ++i) sum += w[i] * s[i];
    m_row[u] = sum;
  }
  // This row covers scaled rows [t0, t1).
  const double ys = double(sh) / m_srcHeight;
  const double t0 = m_y * ys, t1 = (m_y + 1) * ys;
  while (m_accRow < sh) {
    const double lo = std::max(t0, double(m_accRow)), hi = std::min(t1, m_accRow + 1.0);
    if (hi > lo) {
      const float weight = float(hi - lo);
      for (uint32_t u = 0; u < sw; ++u) m_acc[u] += weight * m_row[u];
      m_accWeight += hi - lo;
    }
    if (t1 + kEdgeSlack < m_accRow + 1.0) break;  // the scaled row goes on in the next one
    Emit(m_accRow++);
  }
  ++m_y;
}

void CPagePlacer::Finish() {
  if (m_accWeight > 0 && m_accRow < m_fit.scaledHeight) Emit(m_accRow++);
}

void CPagePlacer::Emit(uint32_t v) {
  const uint32_t sw = m_fit.scaledWidth, sh = m_fit.scaledHeight;
  const int64_t pw = m_fit.width, ph = m_fit.height;
  const int64_t left = m_fit.left, top = m_fit.top;
  const double weight = m_accWeight;
  m_accWeight = 0;
  // Where scaled pixel (u, v) lands: x = x0 + dx * u, y = y0 + dy * u.
  int64_t x0 = 0, y0 = 0, dx = 0, dy = 0;
  switch (m_fit.quarterTurns) {
    case 1: x0 = left + v, y0 = top + sw - 1, dy = -1; break;                 // top to left
    case 2: x0 = left + sw - 1, y0 = top + int64_t(sh) - 1 - v, dx = -1; break;
    case 3: x0 = left + int64_t(sh) - 1 - v, y0 = top, dy = 1; break;         // top to right
    default: x0 = left, y0 = top + v, dx = 1; break;
  }
  const bool offPage = !m_page || (dy == 0 && (y0 < 0 || y0 >= ph)) ||
                       (dx == 0 && (x0 < 0 || x0 >= pw));
  if (!offPage && weight > 0) {
    for (uint32_t u = 0; u < sw; ++u) {
      const int64_t x = x0 + dx * int64_t(u), y = y0 + dy * int64_t(u);
      if (x < 0 || y < 0 || x >= pw || y >= ph) continue;
      const double value = m_acc[u] / weight;
      m_page[size_t(y) * m_stride + size_t(x)] =
          uint8_t(std::clamp(std::lround(value), 0L, 255L));
    }
  }
  std::fill(m_acc.begin(), m_acc.end(), 0.0f);
}

void RasterRowToGray(const cups_page_header2_t& h, ColorHandling handling, const uint8_t* row,
                     uint8_t* gray) {
  const uint32_t width = h.cupsWidth;
  const unsigned bpp = h.cupsBitsPerPixel;
  if (handling == ColorHandling::kSwapRgb) {
    const unsigned step = bpp / 8;
    for (uint32_t x = 0; x < width; ++x, row += step)
      gray[x] = uint8_t((row[0] * kRedWeight + row[1] * kGreenWeight + row[2] * kBlueWeight) >> 8);
    return;
  }
  const bool ink = handling == ColorHandling::kInvert;
  if (bpp == 8) {
    for (uint32_t x = 0; x < width; ++x) gray[x] = ink ? uint8_t(255 - row[x]) : row[x];
    return;
  }
  const unsigned top = (1u << bpp) - 1, perByte = 8 / bpp;
  for (uint32_t x = 0; x < width; ++x) {
    const unsigned shift = (perByte - 1 - x % perByte) * bpp;
    const unsigned level = (row[x / perByte] >> shift) & top;
    const unsigned value = level * 255 / top;
    gray[x] = uint8_t(ink ? 255 - value : value);
  }
}

cups_page_header2_t FittedHeader(const cups_page_header2_t& from, const PageFit& fit, int dpi) {
  cups_page_header2_t h = from;
  h.cupsWidth = fit.width;
  h.cupsHeight = fit.height;
  h.cupsBitsPerColor = 8;
  h.cupsBitsPerPixel = 8;
  h.cupsBytesPerLine = fit.width;
  h.cupsColorOrder = CUPS_ORDER_CHUNKED;
  h.cupsColorSpace = CUPS_CSPACE_SW;
  h.cupsNumColors = 1;
  h.HWResolution[0] = h.HWResolution[1] = unsigned(dpi);
  const double wPt = fit.width * 72.0 / dpi, hPt = fit.height * 72.0 / dpi;
  h.PageSize[0] = unsigned(std::lround(wPt));
  h.PageSize[1] = unsigned(std::lround(hPt));
  h.cupsPageSize[0] = float(wPt);
  h.cupsPageSize[1] = float(hPt);
  h.ImagingBoundingBox[0] = h.ImagingBoundingBox[1] = 0;
  h.ImagingBoundingBox[2] = h.PageSize[0];
  h.ImagingBoundingBox[3] = h.PageSize[1];
  h.cupsImagingBBox[0] = h.cupsImagingBBox[1] = 0;
  h.cupsImagingBBox[2] = float(wPt);
  h.cupsImagingBBox[3] = float(hPt);
  h.NumCopies = 1;
  return h;
}

}  // namespace tavel
