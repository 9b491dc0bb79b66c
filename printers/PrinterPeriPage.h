// CPrinterPeriPage: PeriPage pocket printers. They take an ESC/POS-like
// stream: the printer is set up once per document (paper type, speed,
// darkness, alignment), and each page carries its raster, either as GS v 0
// commands or as one zlib-compressed block, and closes with an end-of-print
// command.
#pragma once

#include <cstdint>

#include "printers/PrinterESCPOS.h"
#include "printers/PrinterStatus.h"

class CPrinterPeriPage : public CPrinterESCPOS {
 public:
  CPrinterPeriPage();
  ~CPrinterPeriPage() override;

  void OnStartDoc(unsigned long reserved) override;
  void OnEndDoc() override;
  void PrepareForPrinter() override;

  bool cmdInit() override;
  // Compressed when bImageCompress is set, else GS v 0 in bands of
  // iImageMaxLength rows (one piece when that is 0 or less).
  bool PrintBMP(int xdpi, int ydpi, int widthBytes, int lines, const void* data,
                int length) override;
  bool cmdEndPrint() override;

  bool cmdSpead(int speed);
  bool cmdDENSITY(int density);
  bool cmdCutLine();
  bool cmdBeginPrintSound();
  bool cmdEndPrintSound();

 protected:
  const char* Language() const override { return "PeriPage"; }
  unsigned RasterWidthBytes() const override;
  bool AppendBeforeRaster() override;
  bool AppendAfterRaster() override;

 private:
  // Appends the compressed block(s) of the raster to dst; false, with dst
  // possibly half-filled, when zlib or memory fails.
  bool AppendCompressed(CMyBuffer& dst, int widthBytes, int lines, const uint8_t* data,
                        const char** why);
  bool AppendUncompressed(int xdpi, int ydpi, int widthBytes, int lines, const uint8_t* data);
};

namespace tavel {
// How a PeriPage printer is asked for its state (its battery).
extern const StatusQuery kPeriPageStatus;
}  // namespace tavel
