// CPrinterESCPOS: receipt printers that take ESC/POS. Every page is one write:
// initialisation, centring, the page as GS v 0 raster, optional feed, cut and
// cash-drawer pulse. The builders are virtual so that the PeriPage driver can
// replace some of them and keep the page sequence's shape.
#pragma once

#include <cstdint>

#include "render/BaseRender.h"
#include "render/MyBuffer.h"
#include "printers/PrinterStatus.h"

class CPrinterESCPOS : public CBaseRender {
 public:
  CPrinterESCPOS();
  ~CPrinterESCPOS() override;

  void OnDestroy() override;
  void OnPaintBmp() override;
  // The raster commands take bit 1 = dot.
  int InkBit() const override { return 1; }

  // Each builder appends to m_cmdBuffer and returns false when the buffer
  // could not take all of its bytes.
  virtual bool cmdInit();
  virtual bool cmdAlignCenter();
  virtual bool cmdCutPaper(int partial);
  virtual bool PrintAndFeedPaper(int mm);
  virtual bool PrintBMP(int xdpi, int ydpi, int widthBytes, int lines, const void* data,
                        int length);
  virtual bool cmdEndPrint();
  virtual bool cmdOpenMoneyBox();

  CMyBuffer m_cmdBuffer;

 protected:
  // The GS v 0 mode byte for a pair of resolutions.
  static uint8_t RasterMode(int xdpi, int ydpi);
  // Appends rows as GS v 0 commands of at most maxRows rows each, so that no
  // 16-bit field wraps. Zero rows give one command with zero lines.
  bool AppendRasterCommands(CMyBuffer& dst, int xdpi, int ydpi, int widthBytes, int lines,
                            const uint8_t* data, int maxRows);
  // Copies the first widthBytes bytes of every image row into raster.
  bool CollectRaster(CMyBuffer& raster, int widthBytes);
  // False (and the page reported) when the raster exceeds the command's fields.
  bool RasterFits(unsigned widthBytes);
  // The steps of a page that differ between the languages sharing it.
  virtual const char* Language() const { return "ESC/POS"; }
  virtual unsigned RasterWidthBytes() const;
  virtual bool AppendBeforeRaster();
  virtual bool AppendAfterRaster();
  // Writes m_cmdBuffer as one piece and empties it.
  void FlushCommands();

  static const int kMaxRasterRows = 65535;
  static const int kMaxRasterWidthBytes = 65535;
};

namespace tavel {
// How an ESC/POS printer is asked for its state.
extern const StatusQuery kEscposStatus;
}  // namespace tavel
