// CPrinterCPCL: label printers that take CPCL. Every page is one label
// written line by line as it is built: header, page width, the page as one
// graphic, FORM on gap and black-line media, PRINT.
#pragma once

#include "render/BaseRender.h"
#include "render/MyBuffer.h"
#include "printers/PrinterStatus.h"

class CPrinterCPCL : public CBaseRender {
 public:
  CPrinterCPCL();
  ~CPrinterCPCL() override;

  void OnPaintBmp() override;
  // The graphic takes bit 1 = dot.
  int InkBit() const override { return 1; }

  // Each builder writes its line at once; false when the line could not be
  // assembled (then nothing is written).
  bool cmdBegin();
  bool cmdPageWidth();
  bool cmdCG();  // the CG line, then the graphic data in a second write
  bool cmdFORM();
  bool cmdPrint();

 private:
  // The text of each line, without writing it.
  bool BuildBegin(CMyBuffer& line) const;
  bool BuildPageWidth(CMyBuffer& line) const;
  bool BuildCG(CMyBuffer& line) const;
  bool BuildFORM(CMyBuffer& line) const;
  bool BuildPrint(CMyBuffer& line) const;
  // The graphic bytes as one write; false when they do not fit one.
  bool WriteGraphic();
  void Write(const CMyBuffer& line);
  // Builds one line and writes it; false (nothing written) when it can't
  // be built.
  bool BuildAndWrite(bool (CPrinterCPCL::*build)(CMyBuffer&) const);
};

namespace tavel {
// How a CPCL printer is asked for its state.
extern const StatusQuery kCpclStatus;
}  // namespace tavel
