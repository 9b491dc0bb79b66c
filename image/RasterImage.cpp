// CRasterImage container: construction, creation from raster lines, copying,
// ownership transfer, ghosts, row access and resolution.
//
// One heap block per image holds header, palette and rows, so a page can be
// walked or copied as one piece. Every allocation goes through malloc/calloc
// and a failure is reported through the return value and lastError; nothing
// throws. Sizes are computed in 64 bits and refused when the block would not
// fit the 32-bit sizes of the bitmap header.
#include "image/RasterImage.h"
#include "image/MemoryGate.h"
#include "image/PageLimits.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr float kMaxImageBytes = static_cast<float>(tavel::kMaxPageBytes);
constexpr uint32_t kHeaderSize = sizeof(tagBITMAPINFOHEADER);

int32_t DpiToPelsPerMeter(int32_t dpi) {
  double pels = std::floor(dpi * 10000.0 / 254.0 + 0.5);
  // Absurd resolutions saturate instead of overflowing the header field.
  if (pels > static_cast<double>(std::numeric_limits<int32_t>::max()))
    return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(pels);
}

bool HostIsLittleEndian() {
  const uint16_t probe = 1;
  uint8_t first;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

// Duplicates a width x height byte plane; null on failure or empty input.
uint8_t* DuplicatePlane(const uint8_t* plane, uint32_t width, uint32_t height) {
  uint64_t bytes = static_cast<uint64_t>(width) * height;
  if (plane == nullptr || bytes == 0 || bytes > std::numeric_limits<size_t>::max()) return nullptr;
  uint8_t* copy = static_cast<uint8_t*>(tavel::GateMalloc(static_cast<size_t>(bytes)));
  if (copy != nullptr) std::memcpy(copy, plane, static_cast<size_t>(bytes));
  return copy;
}

}  // namespace

void CRasterImage::InitDefaults(uint32_t imageType) {
  m_dib = nullptr;
  m_selection = nullptr;
  m_alpha = nullptr;
  m_layers = nullptr;
  m_frames = nullptr;
  std::memset(&m_header, 0, sizeof(m_header));
  std::memset(&m_info, 0, sizeof(m_info));
  m_info.type = imageType;
  m_info.jpegQuality = 90.0f;
  m_info.alphaMax = 255;
  m_info.transIndex = -1;
  m_info.enabled = true;
  m_info.jpegScale = 1;
  SetXDPI(96);
  SetYDPI(96);
  m_info.littleEndianHost = HostIsLittleEndian();
}

CRasterImage::CRasterImage(uint32_t imageType) { InitDefaults(imageType); }

CRasterImage::CRasterImage(uint32_t width, uint32_t height, uint32_t bpp, uint32_t imageType) {
  InitDefaults(imageType);
  Create(width, height, bpp, imageType);
}

CRasterImage::CRasterImage(const CRasterImage& source, bool copyPixels, bool copySelection,
                           bool copyAlpha) {
  InitDefaults(source.m_info.type);
  Copy(source, copyPixels, copySelection, copyAlpha);
}

CRasterImage::~CRasterImage() {
  DestroyFrames();
  Destroy();
}

bool CRasterImage::Destroy() {
  if (m_info.ghostOf != nullptr) return false;
  if (m_layers != nullptr) {
    for (int32_t i = 0; i < m_info.numLayers; ++i) delete m_layers[i];
    std::free(m_layers);
    m_layers = nullptr;
  }
  m_info.numLayers = 0;
  std::free(m_selection);
  std::free(m_alpha);
  std::free(m_dib);
  m_selection = nullptr;
  m_alpha = nullptr;
  m_dib = nullptr;
  // The row pointer points into the freed block; keep nothing dangling.
  m_info.pixels = nullptr;
  return true;
}

bool CRasterImage::DestroyFrames() {
  if (m_info.ghostOf != nullptr) return false;
  if (m_frames != nullptr) {
    for (int32_t i = 0; i < m_info.numFrames; ++i) delete m_frames[i];
    std::free(m_frames);
    m_frames = nullptr;
  }
  m_info.numFrames = 0;
  return true;
}

void CRasterImage::DropBorrowed() {
  m_dib = nullptr;
  m_selection = nullptr;
  m_alpha = nullptr;
  m_layers = nullptr;
  m_frames = nullptr;
  m_info.pixels = nullptr;
  m_info.ghostOf = nullptr;
}

uint8_t* CRasterImage::Create(uint32_t width, uint32_t height, uint32_t bpp, uint32_t imageType) {
  if (!Destroy()) return nullptr;

  if (width == 0 || height == 0) {
    SetLastError("CRasterImage::Create : width and height must be greater than zero");
    return nullptr;
  }

  if (bpp <= 1)
    bpp = 1;
  else if (bpp <= 4)
    bpp = 4;
  else if (bpp <= 8)
    bpp = 8;
  else
    bpp = 24;

  if (static_cast<float>(width) * static_cast<float>(height) * static_cast<float>(bpp) / 8.0f >
      kMaxImageBytes) {
    SetLastError("RASTERIMAGE_MAX_MEMORY exceeded");
    return nullptr;
  }

  // The float check above can let through sizes the header cannot describe
  // (e.g. one-pixel-wide images, whose padding quadruples the rows).
  const uint32_t colours = bpp == 1 ? 2u : bpp == 4 ? 16u : bpp == 8 ? 256u : 0u;
  const uint64_t stride = (static_cast<uint64_t>(bpp) * width + 31) / 32 * 4;
  const uint64_t imageBytes = stride * height;
  const uint64_t total = kHeaderSize + imageBytes + 4ull * colours;
  if (width > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()) ||
      height > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()) ||
      total > std::numeric_limits<uint32_t>::max()) {
    SetLastError("CRasterImage::Create can't allocate memory");
    return nullptr;
  }

  m_info.effWidth = static_cast<uint32_t>(stride);
  m_info.type = imageType;
  m_header.biSize = kHeaderSize;
  m_header.biWidth = static_cast<int32_t>(width);
  m_header.biHeight = static_cast<int32_t>(height);
  m_header.biPlanes = 1;
  m_header.biBitCount = static_cast<uint16_t>(bpp);
  m_header.biCompression = 0;
  m_header.biSizeImage = static_cast<uint32_t>(imageBytes);
  m_header.biClrUsed = colours;

  // calloc zeroes the palette and the rows alike, so unwritten pixels and
  // padding never expose stale heap contents.
  m_dib = static_cast<uint8_t*>(tavel::GateCalloc(1, static_cast<size_t>(total)));
  if (m_dib == nullptr) {
    SetLastError("CRasterImage::Create can't allocate memory");
    return nullptr;
  }

  std::memcpy(m_dib, &m_header, kHeaderSize);
  m_info.pixels = GetBits(0);
  return m_dib;
}

bool CRasterImage::CreateFromArray(const uint8_t* array, uint32_t width, uint32_t height,
                                   uint32_t bitsPerPixel, uint32_t bytesPerLine, bool flipImage) {
  if (array == nullptr) return false;
  if (!CreateForRows(width, height, bitsPerPixel)) return false;
  for (uint32_t i = 0; i < height; ++i)
    SetRowFromArray(flipImage ? height - 1 - i : i, array + static_cast<size_t>(i) * bytesPerLine,
                    bitsPerPixel, bytesPerLine);
  return true;
}

bool CRasterImage::CreateForRows(uint32_t width, uint32_t height, uint32_t bitsPerPixel) {
  if (bitsPerPixel != 1 && bitsPerPixel != 4 && bitsPerPixel != 8 && bitsPerPixel != 24 &&
      bitsPerPixel != 32)
    return false;
  if (Create(width, height, bitsPerPixel, 0) == nullptr) return false;
  if (bitsPerPixel <= 8) SetGrayPalette();
  if (bitsPerPixel == 32) AlphaCreate();
  return true;
}

// 32-bit rows are blue, green, red, alpha: the colours go to the pixels, the
// alpha to the alpha plane. Other depths are copied as they are.
void CRasterImage::SetRowFromArray(uint32_t row, const uint8_t* src, uint32_t bitsPerPixel,
                                   uint32_t bytesPerLine) {
  if (m_info.pixels == nullptr || row >= GetHeight()) return;
  const uint32_t width = GetWidth();
  uint8_t* dst = m_info.pixels + static_cast<size_t>(row) * m_info.effWidth;
  if (bitsPerPixel == 32) {
    uint8_t* alpha = m_alpha != nullptr ? m_alpha + static_cast<size_t>(row) * width : nullptr;
    for (uint32_t x = 0; x < width; ++x) {
      dst[3 * static_cast<size_t>(x)] = src[4 * static_cast<size_t>(x)];
      dst[3 * static_cast<size_t>(x) + 1] = src[4 * static_cast<size_t>(x) + 1];
      dst[3 * static_cast<size_t>(x) + 2] = src[4 * static_cast<size_t>(x) + 2];
      if (alpha != nullptr) alpha[x] = src[4 * static_cast<size_t>(x) + 3];
    }
  } else {
    std::memcpy(dst, src, m_info.effWidth < bytesPerLine ? m_info.effWidth : bytesPerLine);
  }
}

void CRasterImage::Copy(const CRasterImage& source, bool copyPixels, bool copySelection,
                        bool copyAlpha) {
  if (&source == this) return;
  if (source.m_info.ghostOf != nullptr) {
    Ghost(&source);
    return;
  }
  // A ghost's buffers belong to its owner: forget them rather than free them.
  if (m_info.ghostOf != nullptr) DropBorrowed();
  // Release while our own layer and frame counts still describe our arrays.
  Destroy();
  DestroyFrames();

  m_info = source.m_info;
  m_header = source.m_header;
  m_info.pixels = nullptr;

  if (Create(static_cast<uint32_t>(source.m_header.biWidth),
             static_cast<uint32_t>(source.m_header.biHeight), source.m_header.biBitCount,
             source.m_info.type) == nullptr)
    return;

  if (copyPixels && source.m_dib != nullptr) {
    std::memcpy(m_dib, source.m_dib, GetSize());
  } else {
    SetPalette(source.GetPalette(), 256);
  }

  const uint32_t width = GetWidth();
  const uint32_t height = GetHeight();
  if (copySelection && source.m_selection != nullptr)
    m_selection = DuplicatePlane(source.m_selection, width, height);
  if (copyAlpha && source.m_alpha != nullptr)
    m_alpha = DuplicatePlane(source.m_alpha, width, height);
}

CRasterImage& CRasterImage::operator=(const CRasterImage& source) {
  if (&source != this) Copy(source, true, true, true);
  return *this;
}

void CRasterImage::CopyInfo(const CRasterImage& source) {
  if (m_dib != nullptr) return;
  m_info = source.m_info;
  // The source's row pointer means nothing here until Create sets ours.
  m_info.pixels = nullptr;
}

bool CRasterImage::Transfer(CRasterImage& from, bool transferFrames) {
  if (&from == this) return m_info.ghostOf == nullptr;
  if (!Destroy()) return false;
  // Our frames go first, while numFrames still counts our own array.
  if (transferFrames) DestroyFrames();
  const int32_t ownFrames = m_info.numFrames;

  m_header = from.m_header;
  m_info = from.m_info;
  m_dib = from.m_dib;
  m_selection = from.m_selection;
  m_alpha = from.m_alpha;
  m_layers = from.m_layers;

  const int32_t fromFrames = from.m_info.numFrames;
  std::memset(&from.m_header, 0, sizeof(from.m_header));
  std::memset(&from.m_info, 0, sizeof(from.m_info));
  from.m_dib = nullptr;
  from.m_selection = nullptr;
  from.m_alpha = nullptr;
  from.m_layers = nullptr;

  if (transferFrames) {
    m_frames = from.m_frames;
    from.m_frames = nullptr;
  } else {
    // Frames stayed where they were; so do their counts.
    m_info.numFrames = ownFrames;
    from.m_info.numFrames = fromFrames;
  }
  return true;
}

void CRasterImage::Ghost(const CRasterImage* source) {
  if (source == nullptr || source == this) return;
  // An owning image must not leak what it held when it becomes a view.
  if (m_info.ghostOf == nullptr) {
    DestroyFrames();
    Destroy();
  }
  m_header = source->m_header;
  m_info = source->m_info;
  m_dib = source->m_dib;
  m_selection = source->m_selection;
  m_alpha = source->m_alpha;
  m_layers = source->m_layers;
  m_frames = source->m_frames;
  m_info.ghostOf = const_cast<CRasterImage*>(source);
}

uint32_t CRasterImage::GetSize() const {
  return kHeaderSize + m_header.biSizeImage + 4u * m_header.biClrUsed;
}

uint8_t* CRasterImage::GetBits(uint32_t row) const {
  if (m_dib == nullptr) return nullptr;
  uint8_t* first = m_dib + m_header.biSize + 4u * m_header.biClrUsed;
  if (row == 0) return first;
  if (row >= GetHeight()) return nullptr;
  return first + static_cast<size_t>(row) * m_info.effWidth;
}

void CRasterImage::SetXDPI(int32_t dpi) {
  if (dpi <= 0) dpi = 96;
  m_info.xDpi = dpi;
  m_header.biXPelsPerMeter = DpiToPelsPerMeter(dpi);
  if (m_dib != nullptr)
    reinterpret_cast<tagBITMAPINFOHEADER*>(m_dib)->biXPelsPerMeter = m_header.biXPelsPerMeter;
}

void CRasterImage::SetYDPI(int32_t dpi) {
  if (dpi <= 0) dpi = 96;
  m_info.yDpi = dpi;
  m_header.biYPelsPerMeter = DpiToPelsPerMeter(dpi);
  if (m_dib != nullptr)
    reinterpret_cast<tagBITMAPINFOHEADER*>(m_dib)->biYPelsPerMeter = m_header.biYPelsPerMeter;
}

void CRasterImage::SetPalette(const tagRGBQUAD* entries, uint32_t count) {
  tagRGBQUAD* palette = GetPalette();
  if (entries == nullptr || palette == nullptr) return;
  uint64_t bytes = 4ull * count;
  if (bytes > GetPaletteSize()) bytes = GetPaletteSize();
  std::memmove(palette, entries, static_cast<size_t>(bytes));
  m_info.nearestValid = false;
}

void CRasterImage::SetGrayPalette() {
  tagRGBQUAD* palette = GetPalette();
  if (palette == nullptr) return;
  const uint32_t entries = m_header.biClrUsed;
  const uint32_t step = entries > 1 ? 255u / (entries - 1) : 0u;
  for (uint32_t i = 0; i < entries; ++i) {
    const uint8_t v = static_cast<uint8_t>(i * step);
    palette[i].rgbBlue = v;
    palette[i].rgbGreen = v;
    palette[i].rgbRed = v;
  }
  m_info.nearestValid = false;
}

bool CRasterImage::AlphaCreate() {
  if (m_alpha != nullptr) return true;
  if (m_dib == nullptr) return false;
  const uint64_t bytes = static_cast<uint64_t>(GetWidth()) * GetHeight();
  if (bytes == 0 || bytes > std::numeric_limits<size_t>::max()) return false;
  m_alpha = static_cast<uint8_t*>(tavel::GateMalloc(static_cast<size_t>(bytes)));
  if (m_alpha == nullptr) return false;
  std::memset(m_alpha, 255, static_cast<size_t>(bytes));
  return true;
}

void CRasterImage::AlphaDelete() {
  // A ghost only forgets the plane; its owner frees it.
  if (m_info.ghostOf == nullptr) std::free(m_alpha);
  m_alpha = nullptr;
}

void CRasterImage::SetLastError(const char* text) {
  if (text == nullptr) text = "";
  std::strncpy(m_info.lastError, text, sizeof(m_info.lastError) - 1);
  m_info.lastError[sizeof(m_info.lastError) - 1] = '\0';
}

void CRasterImage::CopyLastError(const CRasterImage& from) {
  if (&from == this) return;
  std::memcpy(m_info.lastError, from.m_info.lastError, sizeof(m_info.lastError));
  m_info.lastError[sizeof(m_info.lastError) - 1] = '\0';
}
