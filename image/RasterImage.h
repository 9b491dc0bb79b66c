// CRasterImage: the page image between the raster stream and the printer
// drivers. A packed device-independent bitmap (40-byte header, palette of
// blue-green-red-reserved entries, rows padded to four bytes, stored row 0
// first) with an optional alpha plane and selection mask.
//
// Only four depths exist: 1, 4, 8 and 24 bits per pixel. Paletted pixels hold
// palette indices; 24-bit pixels hold blue, green, red in that byte order.
// Coordinates are (column, stored row); row 0 is the top of the printed page.
//
// Failures are reported by false or null results and a text in lastError;
// nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct tagBITMAPINFOHEADER {
  uint32_t biSize;
  int32_t biWidth;
  int32_t biHeight;
  uint16_t biPlanes;
  uint16_t biBitCount;
  uint32_t biCompression;
  uint32_t biSizeImage;
  int32_t biXPelsPerMeter;
  int32_t biYPelsPerMeter;
  uint32_t biClrUsed;
  uint32_t biClrImportant;
};

struct tagRGBQUAD {
  uint8_t rgbBlue;
  uint8_t rgbGreen;
  uint8_t rgbRed;
  uint8_t rgbReserved;
};
#pragma pack(pop)

static_assert(sizeof(tagBITMAPINFOHEADER) == 40, "BMP header must be 40 bytes");
static_assert(sizeof(tagRGBQUAD) == 4, "palette entry must be 4 bytes");

struct tagRECT {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};

// Operation selector of CRasterImage::Mix.
enum ImageOpType : int32_t {
  OpAdd = 0,
  OpAnd = 1,
  OpXor = 2,
  OpOr = 3,
  OpMask = 4,
  OpSrcCopy = 5,
  OpDstCopy = 6,
  OpSub = 7,
  OpSrcBlend = 8,
  OpSourceOver = 9,
  OpAvg = 10,
  OpBlendAlpha = 11,
};

class CRasterImage;

// Where the ink of a one-bit page lies: first and last stored row and first
// and last column holding a pixel whose bit is 0 (inclusive).
struct tagINKBOUNDS {
  int32_t firstRow;
  int32_t lastRow;
  int32_t firstColumn;
  int32_t lastColumn;
};

// Everything about an image besides its buffers; copied as one unit.
struct tagRASTERINFO {
  uint32_t effWidth;          // row stride in bytes
  uint8_t* pixels;            // start of stored row 0 inside m_dib
  CRasterImage* ghostOf;      // owner of the buffers a ghost borrows
  CRasterImage* parentImage;  // owner when the image is a layer
  uint32_t type;              // format tag
  char lastError[256];        // text of the last failure
  int32_t progress;           // percent of rows done by a long operation
  int32_t escape;             // nonzero: long operations stop at the next row
  int32_t transIndex;         // background palette index, -1 none
  tagRGBQUAD transColor;      // background colour of true-colour images
  float jpegQuality;
  uint8_t jpegScale;
  int32_t frameIndex;
  int32_t numFrames;
  uint32_t frameDelay;
  int32_t xDpi;
  int32_t yDpi;
  tagRECT selectionBox;
  uint8_t alphaMax;
  bool alphaPaletteEnabled;
  bool enabled;
  int32_t xOffset;
  int32_t yOffset;
  uint32_t codecOptions[2];
  tagRGBQUAD nearestColor;  // memo of the last GetNearestIndex query
  uint8_t nearestIndex;
  bool nearestValid;        // every palette write clears it
  int32_t numLayers;
  uint32_t flags;
  uint8_t dispose;
  bool retrieveAllFrames;
  bool littleEndianHost;
  uint8_t reserved[16];
};

class CRasterImage {
 public:
  // Construction and lifetime.
  explicit CRasterImage(uint32_t imageType = 0);
  CRasterImage(uint32_t width, uint32_t height, uint32_t bpp, uint32_t imageType = 0);
  CRasterImage(const CRasterImage& source, bool copyPixels = true, bool copySelection = true,
               bool copyAlpha = true);
  virtual ~CRasterImage();
  bool Destroy();
  bool DestroyFrames();

  // Creation, copying, ownership.
  uint8_t* Create(uint32_t width, uint32_t height, uint32_t bpp, uint32_t imageType = 0);
  bool CreateFromArray(const uint8_t* array, uint32_t width, uint32_t height, uint32_t bitsPerPixel,
                       uint32_t bytesPerLine, bool flipImage);
  // The two halves of CreateFromArray, for filling an image row by row as
  // its raster arrives: an empty image for rows of `bitsPerPixel` (gray
  // palette up to 8 bits, an alpha plane for 32), then each row's bytes.
  bool CreateForRows(uint32_t width, uint32_t height, uint32_t bitsPerPixel);
  void SetRowFromArray(uint32_t row, const uint8_t* src, uint32_t bitsPerPixel,
                       uint32_t bytesPerLine);
  void Copy(const CRasterImage& source, bool copyPixels = true, bool copySelection = true,
            bool copyAlpha = true);
  CRasterImage& operator=(const CRasterImage& source);
  void CopyInfo(const CRasterImage& source);
  bool Transfer(CRasterImage& from, bool transferFrames = true);
  void Ghost(const CRasterImage* source);

  // Queries.
  uint32_t GetWidth() const { return static_cast<uint32_t>(m_header.biWidth); }
  uint32_t GetHeight() const { return static_cast<uint32_t>(m_header.biHeight); }
  uint32_t GetEffWidth() const { return m_info.effWidth; }
  uint16_t GetBpp() const { return m_header.biBitCount; }
  uint32_t GetNumColors() const { return m_header.biClrUsed; }
  uint32_t GetType() const { return m_info.type; }
  bool IsValid() const { return m_dib != nullptr; }
  const char* GetLastError() const { return m_info.lastError; }
  uint32_t GetSize() const;
  bool IsInside(int32_t x, int32_t y) const {
    return x >= 0 && y >= 0 && x < m_header.biWidth && y < m_header.biHeight;
  }
  int32_t GetXDPI() const { return m_info.xDpi; }
  int32_t GetYDPI() const { return m_info.yDpi; }

  // Rows and resolution.
  uint8_t* GetBits(uint32_t row = 0) const;
  void SetXDPI(int32_t dpi);
  void SetYDPI(int32_t dpi);

  // Palette.
  void SetPalette(const tagRGBQUAD* entries, uint32_t count = 256);
  void SetGrayPalette();
  uint32_t GetPaletteSize() const { return m_header.biClrUsed * 4u; }
  tagRGBQUAD* GetPalette() const {
    if (!HasPalette()) return nullptr;
    return reinterpret_cast<tagRGBQUAD*>(m_dib + m_header.biSize);
  }
  inline tagRGBQUAD GetPaletteColor(uint8_t index) const;
  void SetPaletteColor(uint8_t index, uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha = 0);
  void SetPaletteColor(uint8_t index, tagRGBQUAD colour);
  bool IsGrayScale() const;
  uint8_t GetNearestIndex(tagRGBQUAD colour);

  // Pixels.
  inline uint8_t GetPixelIndex(int32_t x, int32_t y) const;
  inline void SetPixelIndex(int32_t x, int32_t y, uint8_t index);
  inline uint8_t BlindGetPixelIndex(int32_t x, int32_t y) const;
  inline void BlindSetPixelIndex(int32_t x, int32_t y, uint8_t index);
  inline tagRGBQUAD GetPixelColor(int32_t x, int32_t y, bool getAlpha = true) const;
  inline void SetPixelColor(int32_t x, int32_t y, tagRGBQUAD colour, bool setAlpha = false);
  inline tagRGBQUAD BlindGetPixelColor(int32_t x, int32_t y, bool getAlpha = true) const;
  inline void BlindSetPixelColor(int32_t x, int32_t y, tagRGBQUAD colour, bool setAlpha = false);

  // Background (transparent) colour.
  int32_t GetTransIndex() const { return m_info.transIndex; }
  tagRGBQUAD GetTransColor() const;
  bool IsTransparent(int32_t x, int32_t y) const;

  // Alpha plane.
  bool AlphaCreate();
  void AlphaDelete();
  bool AlphaIsValid() const { return m_alpha != nullptr; }
  void AlphaClear();
  inline uint8_t AlphaGet(int32_t x, int32_t y) const;
  inline void AlphaSet(int32_t x, int32_t y, uint8_t value);
  bool AlphaCopy(const CRasterImage& from);
  bool AlphaMirror();

  // Selection mask.
  inline bool SelectionIsInside(int32_t x, int32_t y) const;
  bool SelectionCopy(const CRasterImage& from);
  bool SelectionDelete();

  // Tone conversion.
  bool GrayScale();
  bool Light(int32_t brightness, int32_t contrast);
  bool Lut(const uint8_t* table);
  bool Threshold(uint8_t level);
  bool Dither(int32_t method);

  // Geometry and compositing.
  bool Resample(int32_t newWidth, int32_t newHeight, int32_t mode = 1,
                CRasterImage* destination = nullptr);
  bool Rotate(float angle, CRasterImage* destination = nullptr);
  bool Rotate180(CRasterImage* destination = nullptr);
  bool Mirror(bool mirrorSelection = false, bool mirrorAlpha = true);
  bool Crop(const tagRECT& rect, CRasterImage* destination = nullptr);
  bool Crop(int32_t left, int32_t top, int32_t right, int32_t bottom,
            CRasterImage* destination = nullptr);
  void Mix(CRasterImage& source, ImageOpType operation, int32_t xOffset, int32_t yOffset,
           bool mixAlpha);

  // One-bit page helpers for the page preparation.
  // FindInkBounds: the rows and columns that hold ink (bit 0) on a one-bit
  // image; false, bounds untouched, when there is no ink or the image is not
  // one bit deep. Pad bits behind the last column are not looked at.
  bool FindInkBounds(tagINKBOUNDS& bounds) const;
  // ShiftOnWhite: every pixel (x, y) takes the pixel (x + xOffset,
  // y + yOffset) and turns white where that lies outside the image; pad bytes
  // become 0xFF. Gives what a full copy, a fill with 0xFF and Mix (copy,
  // OpSourceOver, xOffset, yOffset, false) give. False when the copy that
  // the general case needs cannot be made (lastError tells why).
  bool ShiftOnWhite(int32_t xOffset, int32_t yOffset);

  // Copies another image's failure text into this one.
  void CopyLastError(const CRasterImage& from);
  void SetLastError(const char* text);

 private:
  void InitDefaults(uint32_t imageType);
  // Forgets borrowed buffers without freeing them (a ghost owns nothing).
  void DropBorrowed();
  bool HasPalette() const { return m_dib != nullptr && m_header.biClrUsed != 0; }
  size_t PlaneOffset(int32_t x, int32_t y) const {
    return static_cast<size_t>(y) * static_cast<uint32_t>(m_header.biWidth) +
           static_cast<size_t>(x);
  }
  // Rotate's two paths besides the half turn: quarter turns, exact (the
  // one-bit form by 8 x 8 blocks of bits, into `turned`, which has the
  // turned size), and any other angle by nearest pixel.
  bool CreateTurned(uint32_t width, uint32_t height, CRasterImage& turned);
  bool RotateQuarter(bool ninety, CRasterImage* destination);
  void TurnOneBitQuarter(bool ninety, CRasterImage& turned) const;
  bool RotateByAngle(float angle, CRasterImage* destination);
  // Mix's result for pixel (x, y) under the source's pixel (sx, sy).
  tagRGBQUAD MixedColour(const CRasterImage& source, ImageOpType operation, int32_t x, int32_t y,
                         int32_t sx, int32_t sy, bool editAlpha) const;

  uint8_t* m_dib;
  tagBITMAPINFOHEADER m_header;
  tagRASTERINFO m_info;
  uint8_t* m_selection;
  uint8_t* m_alpha;
  CRasterImage** m_layers;
  CRasterImage** m_frames;
};

// Unchecked paletted access for loops that stay inside the image.
inline uint8_t CRasterImage::BlindGetPixelIndex(int32_t x, int32_t y) const {
  const uint8_t* row = m_info.pixels + static_cast<size_t>(y) * m_info.effWidth;
  switch (m_header.biBitCount) {
    case 8:
      return row[x];
    case 4: {
      uint8_t b = row[x >> 1];
      return (x & 1) ? (b & 0x0F) : (b >> 4);
    }
    case 1:
      return (row[x >> 3] >> (7 - (x & 7))) & 1;
    default:
      return 0;
  }
}

inline void CRasterImage::BlindSetPixelIndex(int32_t x, int32_t y, uint8_t index) {
  uint8_t* row = m_info.pixels + static_cast<size_t>(y) * m_info.effWidth;
  switch (m_header.biBitCount) {
    case 8:
      row[x] = index;
      break;
    case 4: {
      uint8_t& b = row[x >> 1];
      if (x & 1)
        b = static_cast<uint8_t>((b & 0xF0) | (index & 0x0F));
      else
        b = static_cast<uint8_t>((b & 0x0F) | ((index & 0x0F) << 4));
      break;
    }
    case 1: {
      uint8_t mask = static_cast<uint8_t>(0x80 >> (x & 7));
      uint8_t& b = row[x >> 3];
      b = (index & 1) ? static_cast<uint8_t>(b | mask) : static_cast<uint8_t>(b & ~mask);
      break;
    }
    default:
      break;
  }
}

// Palette entry, or all zero when the index has no entry.
inline tagRGBQUAD CRasterImage::GetPaletteColor(uint8_t index) const {
  if (!HasPalette() || index >= m_header.biClrUsed) return tagRGBQUAD{0, 0, 0, 0};
  return GetPalette()[index];
}

// Outside the image a paletted read yields the background index, or else the
// whole first byte of the pixel area; callers that store it keep its low bits.
inline uint8_t CRasterImage::GetPixelIndex(int32_t x, int32_t y) const {
  if (!HasPalette()) return 0;
  if (!IsInside(x, y)) {
    if (m_info.transIndex >= 0) return static_cast<uint8_t>(m_info.transIndex);
    return m_info.pixels[0];
  }
  return BlindGetPixelIndex(x, y);
}

inline void CRasterImage::SetPixelIndex(int32_t x, int32_t y, uint8_t index) {
  if (!HasPalette() || !IsInside(x, y)) return;
  BlindSetPixelIndex(x, y, index);
}

inline uint8_t CRasterImage::AlphaGet(int32_t x, int32_t y) const {
  if (m_alpha == nullptr || !IsInside(x, y)) return 0;
  return m_alpha[PlaneOffset(x, y)];
}

inline void CRasterImage::AlphaSet(int32_t x, int32_t y, uint8_t value) {
  if (m_alpha == nullptr || !IsInside(x, y)) return;
  m_alpha[PlaneOffset(x, y)] = value;
}

inline bool CRasterImage::SelectionIsInside(int32_t x, int32_t y) const {
  if (!IsInside(x, y)) return false;
  return m_selection == nullptr || m_selection[PlaneOffset(x, y)] != 0;
}

inline tagRGBQUAD CRasterImage::BlindGetPixelColor(int32_t x, int32_t y, bool getAlpha) const {
  tagRGBQUAD c;
  if (m_header.biBitCount < 24) {
    c = GetPaletteColor(BlindGetPixelIndex(x, y));
  } else {
    const uint8_t* p = m_info.pixels + static_cast<size_t>(y) * m_info.effWidth + static_cast<size_t>(x) * 3;
    c.rgbBlue = p[0];
    c.rgbGreen = p[1];
    c.rgbRed = p[2];
    c.rgbReserved = m_info.transColor.rgbReserved;
  }
  if (getAlpha && m_alpha != nullptr) c.rgbReserved = m_alpha[PlaneOffset(x, y)];
  return c;
}

inline void CRasterImage::BlindSetPixelColor(int32_t x, int32_t y, tagRGBQUAD colour, bool setAlpha) {
  if (m_header.biBitCount < 24) {
    BlindSetPixelIndex(x, y, GetNearestIndex(colour));
  } else {
    uint8_t* p = m_info.pixels + static_cast<size_t>(y) * m_info.effWidth + static_cast<size_t>(x) * 3;
    p[0] = colour.rgbBlue;
    p[1] = colour.rgbGreen;
    p[2] = colour.rgbRed;
  }
  if (setAlpha && m_alpha != nullptr) m_alpha[PlaneOffset(x, y)] = colour.rgbReserved;
}

// Outside the image a colour read yields the background colour when one is
// set, else the colour of pixel (0, 0), so edge sampling repeats a real pixel.
inline tagRGBQUAD CRasterImage::GetPixelColor(int32_t x, int32_t y, bool getAlpha) const {
  if (m_dib == nullptr || !IsInside(x, y)) {
    if (m_info.transIndex >= 0) {
      if (m_header.biBitCount < 24) return GetPaletteColor(static_cast<uint8_t>(m_info.transIndex));
      return m_info.transColor;
    }
    if (m_dib != nullptr) return BlindGetPixelColor(0, 0, true);
    return m_info.transColor;
  }
  return BlindGetPixelColor(x, y, getAlpha);
}

inline void CRasterImage::SetPixelColor(int32_t x, int32_t y, tagRGBQUAD colour, bool setAlpha) {
  if (m_dib == nullptr || !IsInside(x, y)) return;
  BlindSetPixelColor(x, y, colour, setAlpha);
}
