#include "printers/PrinterCPCL.h"

#include <cinttypes>
#include <cstdio>

#include "printers/DriverBytes.h"

using tavel::BlockLength;

namespace {

void AddCrLf(CMyBuffer& line) {
  line.AddByte(0x0D);
  line.AddByte(0x0A);
}

}  // namespace

CPrinterCPCL::CPrinterCPCL() {}

CPrinterCPCL::~CPrinterCPCL() {}

bool CPrinterCPCL::BuildBegin(CMyBuffer& line) const {
  // The offset is the setting times 8 again, on top of the image shift; kept
  // in 64 bits so that a large setting cannot overflow.
  char offset[32];
  std::snprintf(offset, sizeof offset, "%" PRId64, static_cast<int64_t>(m_reg.iReference[0]) * 8);
  char height[16];
  std::snprintf(height, sizeof height, "%u", m_image.GetHeight());
  line.AddStringA("! ");
  line.AddStringA(offset);
  line.AddStringA(" 200 200 ");
  line.AddStringA(height);
  line.AddStringA(" 1");
  AddCrLf(line);
  return !line.Failed();
}

bool CPrinterCPCL::BuildPageWidth(CMyBuffer& line) const {
  char width[16];
  std::snprintf(width, sizeof width, "%u", m_image.GetWidth());
  line.AddStringA("PAGE-WIDTH ");
  line.AddStringA(width);
  AddCrLf(line);
  return !line.Failed();
}

bool CPrinterCPCL::BuildCG(CMyBuffer& line) const {
  char size[40];
  std::snprintf(size, sizeof size, "%u %u", m_image.GetEffWidth(), m_image.GetHeight());
  line.AddStringA("CG ");
  line.AddStringA(size);
  line.AddStringA(" 0 0");
  AddCrLf(line);
  return !line.Failed();
}

bool CPrinterCPCL::BuildFORM(CMyBuffer& line) const {
  // Only gap and black-line media have a mark to feed to.
  if (m_reg.iMediaType != kMediaGap && m_reg.iMediaType != kMediaBlackLine) return true;
  line.AddStringA("FORM");
  AddCrLf(line);
  return !line.Failed();
}

bool CPrinterCPCL::BuildPrint(CMyBuffer& line) const {
  line.AddStringA("PRINT");
  AddCrLf(line);
  return !line.Failed();
}

void CPrinterCPCL::Write(const CMyBuffer& line) {
  WriteSpool(line.GetBuffer(), line.GetBufferLength());
}

bool CPrinterCPCL::WriteGraphic() {
  const int64_t length = BlockLength(m_image.GetEffWidth(), m_image.GetHeight());
  if (length < 0) return false;
  WriteSpool(m_image.GetBits(0), static_cast<int>(length));
  return true;
}

bool CPrinterCPCL::BuildAndWrite(bool (CPrinterCPCL::*build)(CMyBuffer&) const) {
  CMyBuffer line;
  if (!(this->*build)(line)) return false;
  Write(line);
  return true;
}

bool CPrinterCPCL::cmdBegin() { return BuildAndWrite(&CPrinterCPCL::BuildBegin); }
bool CPrinterCPCL::cmdPageWidth() { return BuildAndWrite(&CPrinterCPCL::BuildPageWidth); }
bool CPrinterCPCL::cmdFORM() { return BuildAndWrite(&CPrinterCPCL::BuildFORM); }
bool CPrinterCPCL::cmdPrint() { return BuildAndWrite(&CPrinterCPCL::BuildPrint); }

bool CPrinterCPCL::cmdCG() {
  if (BlockLength(m_image.GetEffWidth(), m_image.GetHeight()) < 0) return false;
  return BuildAndWrite(&CPrinterCPCL::BuildCG) && WriteGraphic();
}

void CPrinterCPCL::OnPaintBmp() {
  const unsigned width = m_image.GetWidth();
  const unsigned height = m_image.GetHeight();
  if (BlockLength(m_image.GetEffWidth(), height) < 0) {
    ReportPageError("The page is too large to be printed.",
                    "CPCL: graphic of %u x %u bytes exceeds 2 GiB", m_image.GetEffWidth(), height);
    return;
  }

  // Lines go out as soon as they are written, so all of them are built
  // first: a label is sent whole or not at all.
  CMyBuffer begin, pageWidth, cg, form, print;
  if (!BuildBegin(begin) || !BuildPageWidth(pageWidth) || !BuildCG(cg) || !BuildFORM(form) ||
      !BuildPrint(print)) {
    ReportPageError("Not enough memory to prepare the page.",
                    "CPCL: label of %u x %u dots could not be assembled", width, height);
    return;
  }

  Write(begin);
  Write(pageWidth);
  Write(cg);
  WriteGraphic();
  Write(form);
  Write(print);
}

// ESC h, as mobile CPCL printers answer it: one byte, bit 0 busy, 1 paper
// out, 2 latch (head) open, 3 battery low, 4 reset since asked last. No
// bit above those has a meaning, so an answer with one set is not a
// status byte.
namespace tavel {
namespace {

const uint8_t kAskState[] = {0x1B, 0x68};
constexpr uint8_t kUndefinedBits = 0xE0;

AnswerCheck ReadState(const uint8_t* answer, size_t length, PrinterStatus* status) {
  if (length < 1) return AnswerCheck::kIncomplete;
  const uint8_t b = answer[0];
  if (b & kUndefinedBits) return AnswerCheck::kRejected;
  status->conditions |= ((b & 0x02) ? kStatusMediaEmpty : 0) | ((b & 0x04) ? kStatusHeadOpen : 0) |
                        ((b & 0x08) ? kStatusBatteryLow : 0);
  return AnswerCheck::kBelieved;
}

const StatusExchange kExchanges[] = {{"ESC h", kAskState, sizeof kAskState, 1, ReadState}};

}  // namespace

const StatusQuery kCpclStatus = {kExchanges, sizeof kExchanges / sizeof kExchanges[0]};

}  // namespace tavel
