// Page image preparation: turns the page as loaded from the raster stream
// into what a one-bit thermal head prints. After AdjustImage the image is one
// bit deep, bit 1 white and 0 ink, rows from the top of the page down, and
// every pad bit behind the last pixel of a row is white.
#include <cstring>

#include "render/BaseRender.h"

void CBaseRender::AdjustImage() {
  if (!m_image.IsValid()) return;

  // A step that fails (no memory for its result) would leave a page that is
  // not what was asked for: such a page is reported and not printed.
  auto failed = [this](const char* message) {
    ReportPageError(message, "%s", m_image.GetLastError());
    m_image.Destroy();
  };

  if (m_image.GetBpp() > 23 && !m_image.GrayScale())
    return failed("The page image could not be reduced to black and white.");

  if ((m_halftone.iLiangdu != 0 || m_halftone.iDuibidu != 0) &&
      !m_image.Light(m_halftone.iLiangdu, m_halftone.iDuibidu))
    return failed("The page image could not be reduced to black and white.");

  const int grayMethod = PageGrayMethod();
  if (grayMethod >= 1)
    m_image.Dither(grayMethod - 1);
  else
    m_image.Threshold(static_cast<uint8_t>(m_halftone.iThreValue & 0xFF));
  // Every later step and every driver needs a one-bit page.
  if (m_image.GetBpp() != 1)
    return failed("The page image could not be reduced to black and white.");

  if (m_reg.iScale != 100) {
    int w = static_cast<int>(m_image.GetWidth()) * m_reg.iScale / 100;
    int h = static_cast<int>(m_image.GetHeight()) * m_reg.iScale / 100;
    if (!m_image.Resample(w, h, 1, nullptr)) return failed("The page could not be scaled as asked.");
  }

  CropWhiteEdge(m_halftone.iCropTopEdge, m_halftone.iCropBottomEdge, m_halftone.iCropLeftEdge,
                m_halftone.iCropRightEdge);
  if (!m_image.IsValid()) return;

  if (m_reg.bMirror && !m_image.Mirror(false, true))
    return failed("The page could not be mirrored as asked.");
  if (m_reg.bNegative) Negative();

  float angle = 0.0f;
  switch (m_reg.iRotate) {
    case kRotate180: angle = 180.0f; break;
    case kRotate90: angle = 90.0f; break;
    case kRotate270: angle = 270.0f; break;
    default: break;
  }
  if (angle != 0.0f && !m_image.Rotate(angle, nullptr))
    return failed("The page could not be turned as asked.");

  if (m_reg.iReference[0] != 0 || m_reg.iReference[1] != 0) {
    int dx = static_cast<int>((static_cast<long long>(m_reg.iReference[0]) * m_resolution) / 25.4);
    int dy = static_cast<int>((static_cast<long long>(m_reg.iReference[1]) * m_resolution) / 25.4);
    // The page moves right by dx and down by dy; what it leaves is white.
    if (!m_image.ShiftOnWhite(dx, -dy))
      return failed("The page could not be shifted as asked.");
  }

  AdjustEffWidthBits();
}

// Trims white margins. Each argument is the most millimetres to cut on that
// side: 0 no cut, negative no limit. The four scans are independent and look
// at the image as it was on entry; a side without ink is not cut.
void CBaseRender::CropWhiteEdge(int top, int bottom, int left, int right) {
  if (top == 0 && bottom == 0 && left == 0 && right == 0) return;
  if (!m_image.IsValid() || m_image.GetBpp() != 1) return;

  if (top < 0) top = 9999;
  if (bottom < 0) bottom = 9999;
  if (left < 0) left = 9999;
  if (right < 0) right = 9999;
  const int T = mm_2_dots(top), B = mm_2_dots(bottom), L = mm_2_dots(left), R = mm_2_dots(right);

  const int W = static_cast<int>(m_image.GetWidth());
  const int H = static_cast<int>(m_image.GetHeight());
  int cutTop = 0, cutBottom = 0, cutLeft = 0, keptRight = W;

  // A page without ink keeps all its edges.
  tagINKBOUNDS ink;
  if (!m_image.FindInkBounds(ink)) return;
  if (bottom > 0) cutBottom = H - 1 - ink.lastRow < B ? H - 1 - ink.lastRow : B;
  if (top > 0) cutTop = ink.firstRow < T ? ink.firstRow : T;
  if (left > 0) cutLeft = ink.firstColumn < L ? ink.firstColumn : L;
  if (right > 0) {
    keptRight = ink.lastColumn + 1;
    if (keptRight < W - R - 1 && R + 1 < W) keptRight = W - R - 1;
  }
  if (cutTop == 0 && cutBottom == 0 && cutLeft == 0 && keptRight == W) return;

  // Crop counts its vertical edges from the last stored row.
  tagRECT rect = {cutLeft, cutBottom, keptRight, H - cutTop};
  CRasterImage cropped;
  if (!m_image.Crop(rect, &cropped) || !m_image.Transfer(cropped, true)) {
    ReportPageError("The page's white edges could not be trimmed as asked.", "%s",
                    m_image.GetLastError());
    m_image.Destroy();
  }
}

void CBaseRender::Negative() {
  if (!m_image.IsValid()) return;
  uint8_t* p = m_image.GetBits(0);
  size_t n = static_cast<size_t>(m_image.GetEffWidth()) * m_image.GetHeight();
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(~p[i]);
}

void CBaseRender::AdjustEffWidthBits() {
  if (!m_image.IsValid() || m_image.GetBpp() != 1) return;
  const uint32_t W = m_image.GetWidth();
  const uint32_t n = W / 8, r = W % 8, eff = m_image.GetEffWidth();
  for (uint32_t y = 0; y < m_image.GetHeight(); ++y) {
    uint8_t* row = m_image.GetBits(y);
    uint32_t from = n;
    if (r != 0) {
      row[n] |= static_cast<uint8_t>(0xFF >> r);
      from = n + 1;
    }
    if (from < eff) std::memset(row + from, 0xFF, eff - from);
  }
}
