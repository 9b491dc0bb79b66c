// PNG and JPEG documents read row by row as 8-bit gray (0 black), with
// libpng and libjpeg. Nothing of a file is trusted: its claimed size is
// checked against the engine's limits (DocumentSizeAllowed) before anything
// is allocated for it, and every error of either library (a broken,
// truncated or absurd file) ends the reading with a message instead of
// ending the program. Transparent areas are paper white.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tavel {

class CImageReader {
 public:
  virtual ~CImageReader() = default;
  // The reader for `path` of MIME type `format` (image/png, image/jpeg),
  // with the picture's header read and checked; null with the reason.
  static std::unique_ptr<CImageReader> Open(const std::string& path, const std::string& format,
                                            std::string* error);

  uint32_t Width() const { return m_width; }
  uint32_t Height() const { return m_height; }
  // Pixels per inch as the file gives them, 0 when it doesn't.
  double XResolution() const { return m_xRes; }
  double YResolution() const { return m_yRes; }
  // The next row into `gray` (Width() bytes); false on a read error.
  virtual bool ReadRow(uint8_t* gray) = 0;
  const std::string& Error() const { return m_error; }

 protected:
  uint32_t m_width = 0, m_height = 0;
  double m_xRes = 0, m_yRes = 0;
  std::string m_error;
};

}  // namespace tavel
