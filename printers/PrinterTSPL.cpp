#include "printers/PrinterTSPL.h"
#include "image/MemoryGate.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>

#include "printers/DriverBytes.h"

using tavel::AppendAll;
using tavel::BlockLength;

namespace {

void AddUnit(CMyBuffer& line, int unit) {
  if (unit == 1)
    line.AddStringA(" mm");
  else if (unit == 2)
    line.AddStringA(" dot");
}

void AddDimension(CMyBuffer& line, double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2lf", value);
  line.AddStringA(text);
}

void AddCrLf(CMyBuffer& line) {
  line.AddByte(0x0D);
  line.AddByte(0x0A);
}

}  // namespace

CPrinterTSPL::CPrinterTSPL() {}

CPrinterTSPL::~CPrinterTSPL() {}

bool CPrinterTSPL::cmdSIZE(double width, double height, int unit) {
  CMyBuffer line;
  line.AddStringA("SIZE ");
  AddDimension(line, width);
  AddUnit(line, unit);
  line.AddStringA(",");
  AddDimension(line, height);
  AddUnit(line, unit);
  AddCrLf(line);
  return AppendAll(m_cmdBuffer, line);
}

// "SET <what> ON" or "SET <what> OFF".
bool CPrinterTSPL::AppendSwitch(const char* keyword, bool on) {
  CMyBuffer line;
  line.AddStringA(keyword);
  line.AddStringA(on ? "ON" : "OFF");
  AddCrLf(line);
  return AppendAll(m_cmdBuffer, line);
}

bool CPrinterTSPL::cmdSetRibbon(bool on) { return AppendSwitch("SET RIBBON ", on); }
bool CPrinterTSPL::cmdSetPeel(bool on) { return AppendSwitch("SET PEEL ", on); }
bool CPrinterTSPL::cmdSetTear(bool on) { return AppendSwitch("SET TEAR ", on); }

// "SET CUTTER ..." and "SET PARTIAL_CUTTER ...": mode 0 off (in the
// command's own word), 1 once per batch, 2 every `count` labels.
bool CPrinterTSPL::AppendCutter(const char* keyword, const char* offWord, int mode, int count) {
  CMyBuffer line;
  line.AddStringA(keyword);
  if (mode == 0)
    line.AddStringA(offWord);
  else if (mode == 1)
    line.AddStringA("BATCH");
  else
    line.AddInt(count);
  AddCrLf(line);
  return AppendAll(m_cmdBuffer, line);
}

bool CPrinterTSPL::cmdSetCutter(int mode, int count) {
  return AppendCutter("SET CUTTER ", "FALSE", mode, count);
}

bool CPrinterTSPL::cmdSetPartialCutter(int mode, int count) {
  return AppendCutter("SET PARTIAL_CUTTER ", "OFF", mode, count);
}

// "<keyword> a<unit>,b<unit>", the form of the two media-sensing commands.
bool CPrinterTSPL::AppendPair(const char* keyword, int a, int b, int unit) {
  CMyBuffer line;
  line.AddStringA(keyword);
  line.AddInt(a);
  AddUnit(line, unit);
  line.AddStringA(",");
  line.AddInt(b);
  AddUnit(line, unit);
  AddCrLf(line);
  return AppendAll(m_cmdBuffer, line);
}

bool CPrinterTSPL::cmdGAP(int distance, int offset, int unit) {
  return AppendPair("GAP ", distance, offset, unit);
}

bool CPrinterTSPL::cmdBLINE(int height, int offset, int unit) {
  return AppendPair("BLINE ", height, offset, unit);
}

bool CPrinterTSPL::cmdOFFSET(int distance, int unit) {
  CMyBuffer line;
  line.AddStringA("OFFSET ");
  line.AddInt(distance);
  AddUnit(line, unit);
  AddCrLf(line);
  return AppendAll(m_cmdBuffer, line);
}

bool CPrinterTSPL::cmdDENSITY(int level) {
  if (level < 0) return true;  // the printer keeps its own darkness
  CMyBuffer line;
  line.AddStringA("DENSITY ");
  line.AddInt(level);
  AddCrLf(line);
  return AppendAll(m_cmdBuffer, line);
}

bool CPrinterTSPL::cmdSPEED(int speed) {
  if (speed < 0) return true;  // the printer keeps its own speed
  if (speed == 0 || speed > 12) speed = 4;
  CMyBuffer line;
  line.AddStringA("SPEED ");
  line.AddInt(speed);
  AddCrLf(line);
  return AppendAll(m_cmdBuffer, line);
}

bool CPrinterTSPL::cmdCLS() {
  CMyBuffer line;
  line.AddStringA("CLS");
  AddCrLf(line);
  return AppendAll(m_cmdBuffer, line);
}

bool CPrinterTSPL::cmdBITMAP(int x, int y, int widthBytes, int rows, const void* data,
                             int length) {
  CMyBuffer head;
  head.AddStringA("BITMAP ");
  head.AddInt(x);
  head.AddStringA(",");
  head.AddInt(y);
  head.AddStringA(",");
  head.AddInt(widthBytes);
  head.AddStringA(",");
  head.AddInt(rows);
  head.AddStringA(",");

  if (m_halftone.bImageCompress) {
    // The compressed form takes bit 1 = dot, the polarity the page arrives in.
    const uLong bound = compressBound(static_cast<uLong>(length));
    unsigned char* packed = static_cast<unsigned char*>(tavel::GateMalloc(bound ? bound : 1));
    uLongf packedLength = bound;
    int rc = Z_MEM_ERROR;
    if (packed)
      rc = compress(packed, &packedLength, static_cast<const Bytef*>(data),
                    static_cast<uLong>(length));
    if (packed && rc == Z_OK && packedLength <= static_cast<uLongf>(INT_MAX)) {
      head.AddInt(3);
      head.AddStringA(",");
      head.AddInt(static_cast<int>(packedLength));
      head.AddStringA(",");
      const bool ok = AppendAll(m_cmdBuffer, head) &&
                      AppendAll(m_cmdBuffer, packed, static_cast<int64_t>(packedLength));
      std::free(packed);
      CMyBuffer end;
      AddCrLf(end);
      return ok && AppendAll(m_cmdBuffer, end);
    }
    std::free(packed);
    // A label is still better than none: send the rows raw, turned to the
    // bit 0 = dot the raw form expects.
    if (!packed)
      AddLog("cmdBITMAP: no memory for %lu bytes of compressed bitmap, sending it raw",
             static_cast<unsigned long>(bound));
    else if (rc != Z_OK)
      AddLog("cmdBITMAP: compress failed (%d), sending the bitmap raw", rc);
    else
      AddLog("cmdBITMAP: compressed bitmap too large, sending it raw");
    head.AddInt(1);
    head.AddStringA(",");
    CMyBuffer end;
    AddCrLf(end);
    return AppendAll(m_cmdBuffer, head) && AppendInverted(data, length) &&
           AppendAll(m_cmdBuffer, end);
  }

  head.AddInt(1);
  head.AddStringA(",");
  CMyBuffer end;
  AddCrLf(end);
  return AppendAll(m_cmdBuffer, head) && AppendAll(m_cmdBuffer, data, length) &&
         AppendAll(m_cmdBuffer, end);
}

bool CPrinterTSPL::AppendInverted(const void* data, int length) {
  const int64_t before = m_cmdBuffer.GetBufferLength();
  if (!AppendAll(m_cmdBuffer, data, length)) return false;
  unsigned char* p = m_cmdBuffer.GetBuffer() + before;
  for (int i = 0; i < length; ++i) p[i] = static_cast<unsigned char>(~p[i]);
  return true;
}

bool CPrinterTSPL::cmdPRINT(int sets, int copies) {
  CMyBuffer line;
  line.AddStringA("PRINT ");
  line.AddInt(sets);
  line.AddStringA(",");
  line.AddInt(copies);
  AddCrLf(line);
  return AppendAll(m_cmdBuffer, line);
}

bool CPrinterTSPL::AppendFinishing() {
  switch (m_reg.iPostAction) {
    case kPostTear:
      return cmdSetPeel(false) && cmdSetCutter(0, 0) && cmdSetPartialCutter(0, 0) &&
             cmdSetTear(true);
    case kPostCutter:  // after every label
      return cmdSetPeel(false) && cmdSetCutter(2, 1) && cmdSetPartialCutter(0, 0) &&
             cmdSetTear(false);
    case kPostPeel:
      return cmdSetPeel(true) && cmdSetCutter(0, 0) && cmdSetPartialCutter(0, 0) &&
             cmdSetTear(false);
    case kPostPartialCutter:  // after every label
      return cmdSetPeel(false) && cmdSetCutter(0, 0) && cmdSetPartialCutter(2, 1) &&
             cmdSetTear(false);
    default:
      return true;
  }
}

bool CPrinterTSPL::AppendMedia() {
  switch (m_reg.iMediaType) {
    case kMediaContinuous:  // no gap, whatever the gap settings say
      return cmdGAP(0, 0, 1);
    case kMediaGap:
      return cmdGAP(m_reg.iGap, m_reg.iGapOffset, 1);
    case kMediaBlackLine:
      return cmdBLINE(m_reg.iGap, m_reg.iGapOffset, 1);
    default:
      return true;
  }
}

void CPrinterTSPL::OnPaintBmp() {
  AddLog("OnPaintBmp");
  m_cmdBuffer.InitBuffer(0);

  const unsigned width = m_image.GetWidth();
  const unsigned height = m_image.GetHeight();
  const unsigned effWidth = m_image.GetEffWidth();

  if (m_resolution <= 0) {
    ReportPageError("The page has no resolution and cannot be printed.",
                    "TSPL: page of %u x %u dots has a resolution of %d dpi; label size unknown",
                    width, height, m_resolution);
    return;
  }

  const int64_t dataLength = BlockLength(effWidth, height);
  if (dataLength < 0) {
    ReportPageError("The page is too large to be printed.",
                    "TSPL: bitmap of %u x %u bytes exceeds 2 GiB", effWidth, height);
    return;
  }

  const double dotsPerMm = m_resolution / 25.4;
  const bool ok =
      cmdSIZE(width / dotsPerMm, height / dotsPerMm, 1) && cmdSetRibbon(m_reg.iPrinttype == kPrintThermalTransfer) &&
      AppendFinishing() && AppendMedia() && cmdOFFSET(m_reg.iOffset, 1) &&
      cmdDENSITY(m_reg.iDensity) && cmdSPEED(m_reg.iSpeed) && cmdCLS() &&
      cmdBITMAP(0, 0, static_cast<int>(effWidth), static_cast<int>(height), m_image.GetBits(0),
                static_cast<int>(dataLength)) &&
      cmdPRINT(1, 1);

  if (!ok) {
    ReportPageError("Not enough memory to prepare the page.",
                    "TSPL: label of %u x %u dots did not fit the command buffer", width, height);
    m_cmdBuffer.InitBuffer(0);
    return;
  }

  WriteSpool(m_cmdBuffer.GetBuffer(), m_cmdBuffer.GetBufferLength());
  m_cmdBuffer.InitBuffer(0);
}

// <ESC>!? is obeyed at once, even in an error state. Its one-byte answer
// has no fixed bits: every bit is a condition (bit 5, printing, is none).
namespace tavel {
namespace {

const uint8_t kAskState[] = {0x1B, 0x21, 0x3F};
constexpr uint32_t kStateBits[8] = {kStatusHeadOpen,    kStatusMediaJam, kStatusMediaEmpty,
                                    kStatusRibbonEmpty, kStatusPaused,   0,
                                    kStatusCoverOpen,   kStatusOtherError};

AnswerCheck ReadState(const uint8_t* answer, size_t length, PrinterStatus* status) {
  if (length < 1) return AnswerCheck::kIncomplete;
  for (int bit = 0; bit < 8; ++bit)
    if (answer[0] & (1u << bit)) status->conditions |= kStateBits[bit];
  return AnswerCheck::kBelieved;
}

const StatusExchange kExchanges[] = {{"<ESC>!?", kAskState, sizeof kAskState, 1, ReadState}};

}  // namespace

const StatusQuery kTsplStatus = {kExchanges, sizeof kExchanges / sizeof kExchanges[0]};

}  // namespace tavel
