// CPrinterTSPL: label printers that take TSPL. Every page becomes one
// self-contained label program (size, ribbon, finishing, media, offset,
// darkness, speed, clear, one bitmap, print) sent with a single write.
#pragma once

#include "render/BaseRender.h"
#include "render/MyBuffer.h"
#include "printers/PrinterStatus.h"

class CPrinterTSPL : public CBaseRender {
 public:
  CPrinterTSPL();
  ~CPrinterTSPL() override;

  void OnPaintBmp() override;
  // The raw bitmap takes bit 0 = dot, the compressed one bit 1.
  int InkBit() const override { return m_halftone.bImageCompress ? 1 : 0; }

  // Each builder appends one CR LF terminated command to m_cmdBuffer and
  // returns false when the buffer could not take all of it. Unit 1 writes
  // " mm" after each number, 2 " dot", anything else the bare number.
  bool cmdSIZE(double width, double height, int unit);
  bool cmdSetRibbon(bool on);
  bool cmdSetPeel(bool on);
  bool cmdSetTear(bool on);
  bool cmdSetCutter(int mode, int count);
  bool cmdSetPartialCutter(int mode, int count);
  bool cmdGAP(int distance, int offset, int unit);
  bool cmdBLINE(int height, int offset, int unit);
  bool cmdOFFSET(int distance, int unit);
  bool cmdDENSITY(int level);
  bool cmdSPEED(int speed);
  bool cmdCLS();
  bool cmdBITMAP(int x, int y, int widthBytes, int rows, const void* data, int length);
  bool cmdPRINT(int sets, int copies);

  CMyBuffer m_cmdBuffer;

 private:
  bool AppendSwitch(const char* keyword, bool on);
  bool AppendCutter(const char* keyword, const char* offWord, int mode, int count);
  // Appends the rows with every bit turned over.
  bool AppendInverted(const void* data, int length);
  bool AppendPair(const char* keyword, int a, int b, int unit);
  bool AppendFinishing();
  bool AppendMedia();
};

namespace tavel {
// How a TSPL printer is asked for its state.
extern const StatusQuery kTsplStatus;
}  // namespace tavel
