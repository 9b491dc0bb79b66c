#include "printers/PrinterESCPOS.h"

#include "printers/DriverBytes.h"

using tavel::AppendAll;
using tavel::BlockLength;

CPrinterESCPOS::CPrinterESCPOS() { AddLog("new CPrinterESCPOS()"); }

CPrinterESCPOS::~CPrinterESCPOS() {}

bool CPrinterESCPOS::cmdInit() {
  static const uint8_t kBytes[] = {0x1B, 0x40};
  return AppendAll(m_cmdBuffer, kBytes, sizeof kBytes);
}

bool CPrinterESCPOS::cmdAlignCenter() {
  static const uint8_t kBytes[] = {0x1B, 0x61, 0x01};
  return AppendAll(m_cmdBuffer, kBytes, sizeof kBytes);
}

bool CPrinterESCPOS::cmdCutPaper(int partial) {
  const uint8_t bytes[] = {0x1D, 0x56, static_cast<uint8_t>(partial == 0 ? 0x30 : 0x31)};
  return AppendAll(m_cmdBuffer, bytes, sizeof bytes);
}

bool CPrinterESCPOS::PrintAndFeedPaper(int mm) {
  // ESC J feeds at most 255 dots, so longer feeds go out in pieces.
  const int64_t dots = static_cast<int64_t>(static_cast<int64_t>(m_resolution) * mm / 25.4);
  CMyBuffer feed;
  if (dots <= 255) {
    feed.AddByte(0x1B);
    feed.AddByte(0x4A);
    feed.AddByte(static_cast<uint8_t>(dots & 0xFF));
  } else {
    const int64_t full = dots / 255;
    const int64_t rest = dots % 255;
    const int64_t length = BlockLength(3, static_cast<uint64_t>(full) + 1);
    const int limit = m_cmdBuffer.GetMaxBufferSize();
    if (length < 0 || (limit > 0 && length > limit)) return false;
    if (!feed.SetBufferSize(static_cast<int>(length))) return false;
    for (int64_t i = 0; i < full; ++i) {
      feed.AddByte(0x1B);
      feed.AddByte(0x4A);
      feed.AddByte(0xFF);
    }
    if (rest > 0) {
      feed.AddByte(0x1B);
      feed.AddByte(0x4A);
      feed.AddByte(static_cast<uint8_t>(rest));
    }
  }
  return AppendAll(m_cmdBuffer, feed);
}

uint8_t CPrinterESCPOS::RasterMode(int xdpi, int ydpi) {
  if (xdpi > 202 && ydpi > 202) return 0;
  if (xdpi > 202 && ydpi == 100) return 1;
  if (xdpi == 100 && ydpi > 202) return 2;
  if (xdpi == 100 && ydpi == 100) return 3;
  return 0;
}

bool CPrinterESCPOS::AppendRasterCommands(CMyBuffer& dst, int xdpi, int ydpi, int widthBytes,
                                          int lines, const uint8_t* data, int maxRows) {
  if (widthBytes < 0 || widthBytes > kMaxRasterWidthBytes || lines < 0) return false;
  if (maxRows <= 0 || maxRows > kMaxRasterRows) maxRows = kMaxRasterRows;
  const uint8_t mode = RasterMode(xdpi, ydpi);
  int row = 0;
  do {
    const int rows = lines - row < maxRows ? lines - row : maxRows;
    const uint8_t head[] = {0x1D,
                            0x76,
                            0x30,
                            mode,
                            static_cast<uint8_t>(widthBytes & 0xFF),
                            static_cast<uint8_t>((widthBytes >> 8) & 0xFF),
                            static_cast<uint8_t>(rows & 0xFF),
                            static_cast<uint8_t>((rows >> 8) & 0xFF)};
    if (!AppendAll(dst, head, sizeof head)) return false;
    if (!AppendAll(dst, data + static_cast<int64_t>(row) * widthBytes,
                   static_cast<int64_t>(rows) * widthBytes))
      return false;
    row += rows;
  } while (row < lines);
  return true;
}

bool CPrinterESCPOS::PrintBMP(int xdpi, int ydpi, int widthBytes, int lines, const void* data,
                              int length) {
  if (static_cast<int64_t>(widthBytes) * lines > length) return false;
  return AppendRasterCommands(m_cmdBuffer, xdpi, ydpi, widthBytes, lines,
                              static_cast<const uint8_t*>(data), kMaxRasterRows);
}

bool CPrinterESCPOS::cmdEndPrint() { return true; }

bool CPrinterESCPOS::cmdOpenMoneyBox() {
  static const uint8_t kBytes[] = {0x1B, 0x70, 0x00, 0x80, 0x80};
  return AppendAll(m_cmdBuffer, kBytes, sizeof kBytes);
}

bool CPrinterESCPOS::CollectRaster(CMyBuffer& raster, int widthBytes) {
  const unsigned height = m_image.GetHeight();
  const int64_t reserve = BlockLength(m_image.GetEffWidth(), height);
  if (reserve < 0 || widthBytes < 0 || static_cast<unsigned>(widthBytes) > m_image.GetEffWidth())
    return false;
  if (!raster.SetBufferSize(static_cast<int>(reserve))) return false;
  for (unsigned i = 0; i < height; ++i)
    if (!AppendAll(raster, m_image.GetBits(i), widthBytes)) return false;
  return true;
}

void CPrinterESCPOS::FlushCommands() {
  WriteSpool(m_cmdBuffer.GetBuffer(), m_cmdBuffer.GetBufferLength());
  m_cmdBuffer.InitBuffer(0);
}

bool CPrinterESCPOS::RasterFits(unsigned widthBytes) {
  if (widthBytes <= static_cast<unsigned>(kMaxRasterWidthBytes) &&
      BlockLength(m_image.GetEffWidth(), m_image.GetHeight()) >= 0)
    return true;
  ReportPageError("The page is too large to be printed.",
                  "%s: page of %u x %u dots; a raster row holds at most %d bytes", Language(),
                  m_image.GetWidth(), m_image.GetHeight(), kMaxRasterWidthBytes);
  return false;
}

unsigned CPrinterESCPOS::RasterWidthBytes() const { return (m_image.GetWidth() + 7) / 8; }

bool CPrinterESCPOS::AppendBeforeRaster() { return cmdInit() && cmdAlignCenter(); }

bool CPrinterESCPOS::AppendAfterRaster() {
  bool ok = m_reg.iPostFeed <= 0 || PrintAndFeedPaper(m_reg.iPostFeed);
  if (m_reg.iCutType == kCutFullPerPage)
    ok = ok && cmdCutPaper(0);
  else if (m_reg.iCutType == kCutPartialPerPage)
    ok = ok && cmdCutPaper(1);
  return ok;
}

// One page, one write: the raster between the language's steps before and
// after it, and the cash drawer around all of it.
void CPrinterESCPOS::OnPaintBmp() {
  m_cmdBuffer.InitBuffer(0);
  const unsigned width = m_image.GetWidth();
  const unsigned height = m_image.GetHeight();
  const unsigned widthBytes = RasterWidthBytes();
  if (!RasterFits(widthBytes)) return;

  CMyBuffer raster;
  bool ok = CollectRaster(raster, static_cast<int>(widthBytes));
  ok = ok && (m_reg.iMoneyBox != kMoneyBoxBeforePrint || cmdOpenMoneyBox());
  ok = ok && AppendBeforeRaster();
  ok = ok && PrintBMP(m_resolution, m_resolution, static_cast<int>(widthBytes),
                      static_cast<int>(height), raster.GetBuffer(), raster.GetBufferLength());
  ok = ok && AppendAfterRaster();
  ok = ok && cmdEndPrint();
  ok = ok && (m_reg.iMoneyBox != kMoneyBoxAfterPrint || cmdOpenMoneyBox());

  if (!ok) {
    ReportPageError("Not enough memory to prepare the page.",
                    "%s: page of %u x %u dots did not fit the command buffer", Language(), width,
                    height);
    m_cmdBuffer.InitBuffer(0);
    return;
  }
  FlushCommands();
}

void CPrinterESCPOS::OnDestroy() {
  // Cutting once per document leaves the whole job on one strip.
  if (m_reg.iCutType != kCutFullPerDoc && m_reg.iCutType != kCutPartialPerDoc) return;
  m_cmdBuffer.InitBuffer(0);
  if (!cmdCutPaper(m_reg.iCutType == kCutFullPerDoc ? 0 : 1)) {
    AddLog("OnDestroy: could not build the cut command");
    m_cmdBuffer.InitBuffer(0);
    return;
  }
  FlushCommands();
}

// DLE EOT n (real-time status) is obeyed at once, even offline or with a
// full buffer, and answered with one byte whose bits 0, 1, 4 and 7 are
// fixed (0, 1, 1, 0). Asked in turn: n = 1 printer, 2 offline cause,
// 3 error cause, 4 paper roll sensor.
namespace tavel {
namespace {

constexpr uint8_t kFixedMask = 0x93;
constexpr uint8_t kFixedBits = 0x12;

const uint8_t kAskPrinter[] = {0x10, 0x04, 0x01};
const uint8_t kAskOffline[] = {0x10, 0x04, 0x02};
const uint8_t kAskError[] = {0x10, 0x04, 0x03};
const uint8_t kAskPaper[] = {0x10, 0x04, 0x04};

// The byte's conditions; false when its fixed bits are wrong.
template <uint32_t (*Conditions)(uint8_t)>
AnswerCheck ReadByte(const uint8_t* answer, size_t length, PrinterStatus* status) {
  if (length < 1) return AnswerCheck::kIncomplete;
  if ((answer[0] & kFixedMask) != kFixedBits) return AnswerCheck::kRejected;
  status->conditions |= Conditions(answer[0]);
  return AnswerCheck::kBelieved;
}

uint32_t PrinterBits(uint8_t b) { return (b & 0x08) ? kStatusOffline : 0; }
uint32_t OfflineBits(uint8_t b) {
  return ((b & 0x04) ? kStatusCoverOpen : 0) | ((b & 0x20) ? kStatusMediaEmpty : 0);
}
// Bit 2 is a mechanical error on some models, a black-mark error on
// others; bit 5 an error the printer can't recover from.
uint32_t ErrorBits(uint8_t b) {
  return ((b & 0x04) ? kStatusOtherError : 0) | ((b & 0x08) ? kStatusMediaJam : 0) |
         ((b & 0x20) ? kStatusOtherError : 0) | ((b & 0x40) ? kStatusOverheated : 0);
}
uint32_t PaperBits(uint8_t b) {
  return ((b & 0x60) ? kStatusMediaEmpty : 0) | ((b & 0x0C) ? kStatusMediaLow : 0);
}

const StatusExchange kExchanges[] = {
    {"DLE EOT 1", kAskPrinter, sizeof kAskPrinter, 1, ReadByte<PrinterBits>},
    {"DLE EOT 2", kAskOffline, sizeof kAskOffline, 1, ReadByte<OfflineBits>},
    {"DLE EOT 3", kAskError, sizeof kAskError, 1, ReadByte<ErrorBits>},
    {"DLE EOT 4", kAskPaper, sizeof kAskPaper, 1, ReadByte<PaperBits>},
};

}  // namespace

const StatusQuery kEscposStatus = {kExchanges, sizeof kExchanges / sizeof kExchanges[0]};

}  // namespace tavel
