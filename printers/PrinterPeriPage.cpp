#include "printers/PrinterPeriPage.h"
#include "image/MemoryGate.h"

#include <zlib.h>

#include <cstdlib>
#include <initializer_list>

#include "printers/DriverBytes.h"

using tavel::AppendAll;
using tavel::BlockLength;

namespace {

// Widest row, in bytes, that the printers take in compressed form.
const int kCompressedWidthLow = 208;   // 203 dpi and below
const int kCompressedWidthHigh = 312;  // 204 dpi and above

bool AppendBytes(CMyBuffer& dst, std::initializer_list<uint8_t> bytes) {
  return AppendAll(dst, bytes.begin(), static_cast<int64_t>(bytes.size()));
}

}  // namespace

CPrinterPeriPage::CPrinterPeriPage() { AddLog("new CPrinterPeriPage()"); }

CPrinterPeriPage::~CPrinterPeriPage() {}

bool CPrinterPeriPage::cmdInit() {
  if (!AppendBytes(m_cmdBuffer, {0x10, 0xFF, 0xFE, 0x01})) return false;
  int paper = -1;
  switch (m_reg.iMediaType) {
    case kMediaBlackLine: paper = 0x00; break;
    case kMediaContinuous:
    case kMediaRoll:
    case kMediaRecording: paper = 0x01; break;
    case kMediaGap: paper = 0x02; break;
    case kMediaPerforated: paper = 0x03; break;
    default: break;  // tattoo paper: the printer's own setting
  }
  if (paper >= 0 &&
      !AppendBytes(m_cmdBuffer, {0x10, 0xFF, 0x10, 0x03, static_cast<uint8_t>(paper)}))
    return false;
  return AppendBytes(m_cmdBuffer, {0x1B, 0x40, 0x00});
}

bool CPrinterPeriPage::cmdSpead(int speed) {
  if (speed < 0) return true;  // the printer keeps its own speed
  if (speed > 8) speed = 8;
  return AppendBytes(m_cmdBuffer, {0x1F, 0x1E, 0x1C, 0x03, static_cast<uint8_t>(speed)});
}

bool CPrinterPeriPage::cmdDENSITY(int density) {
  if (density < 0) return true;  // the printer keeps its own darkness
  if (m_reg.iDensityCommand == 0) {
    if (density > 5) density = 5;
    return AppendBytes(m_cmdBuffer, {0x10, 0xFF, 0x10, 0x00, static_cast<uint8_t>(density)});
  }
  // The newer form: values past its range fall back to the middle, 8.
  if (density > 15) density = 8;
  return AppendBytes(m_cmdBuffer, {0x1F, 0x1E, 0x1C, 0x02, static_cast<uint8_t>(density)});
}

bool CPrinterPeriPage::cmdCutLine() { return true; }

bool CPrinterPeriPage::cmdBeginPrintSound() {
  return AppendBytes(m_cmdBuffer, {0x1F, 0x1B, 0x1F, 0x56, 0x08, 0x09, 0xA0, 0x22});
}

bool CPrinterPeriPage::cmdEndPrintSound() {
  return AppendBytes(m_cmdBuffer, {0x1F, 0x1B, 0x1F, 0x56, 0x08, 0x09, 0xA0, 0x99});
}

bool CPrinterPeriPage::cmdEndPrint() { return AppendBytes(m_cmdBuffer, {0x10, 0xFF, 0xFE, 0x45}); }

bool CPrinterPeriPage::AppendCompressed(CMyBuffer& dst, int widthBytes, int lines,
                                        const uint8_t* data, const char** why) {
  // The block's row count has 16 bits; a taller page goes as several blocks.
  int row = 0;
  do {
    const int rows = lines - row < kMaxRasterRows ? lines - row : kMaxRasterRows;
    const uLong inLength = static_cast<uLong>(rows) * static_cast<uLong>(widthBytes);

    z_stream zs{};
    zs.zalloc = tavel::GateZalloc;
    zs.zfree = tavel::GateZfree;
    zs.opaque = Z_NULL;
    // Level default, deflate, 1 KiB window with the zlib wrapper, memLevel 8.
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 10, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      *why = "deflateInit2 failed";
      return false;
    }
    const uLong bound = deflateBound(&zs, inLength);
    unsigned char* out = static_cast<unsigned char*>(tavel::GateMalloc(bound));
    if (!out) {
      deflateEnd(&zs);
      *why = "no memory for the compressed raster";
      return false;
    }
    zs.next_in = const_cast<Bytef*>(data + static_cast<int64_t>(row) * widthBytes);
    zs.avail_in = static_cast<uInt>(inLength);
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(bound);
    const int rcDeflate = deflate(&zs, Z_FINISH);
    const uLong total = zs.total_out;
    const int rcEnd = deflateEnd(&zs);
    if (rcDeflate != Z_STREAM_END || rcEnd != Z_OK || total < 2 ||
        total - 2 > static_cast<uLong>(INT_MAX)) {
      std::free(out);
      *why = rcDeflate != Z_STREAM_END ? "deflate did not finish" : "deflateEnd failed";
      return false;
    }

    // The printer takes the deflate data and the Adler-32 without the
    // two-byte zlib header; its fields are big-endian.
    const uint32_t payload = static_cast<uint32_t>(total - 2);
    const bool ok =
        AppendBytes(dst, {0x1F, 0x00, static_cast<uint8_t>(widthBytes >> 8),
                          static_cast<uint8_t>(widthBytes), static_cast<uint8_t>(rows >> 8),
                          static_cast<uint8_t>(rows), static_cast<uint8_t>(payload >> 24),
                          static_cast<uint8_t>(payload >> 16), static_cast<uint8_t>(payload >> 8),
                          static_cast<uint8_t>(payload)}) &&
        AppendAll(dst, out + 2, payload);
    std::free(out);
    if (!ok) {
      *why = "no memory for the compressed block";
      return false;
    }
    row += rows;
  } while (row < lines);
  return true;
}

bool CPrinterPeriPage::AppendUncompressed(int xdpi, int ydpi, int widthBytes, int lines,
                                          const uint8_t* data) {
  const int band = m_reg.iImageMaxLength;
  if (band <= 0)
    return AppendRasterCommands(m_cmdBuffer, xdpi, ydpi, widthBytes, lines, data, kMaxRasterRows);
  if (lines == 0) return true;  // no band, no command
  return AppendRasterCommands(m_cmdBuffer, xdpi, ydpi, widthBytes, lines, data,
                              band < kMaxRasterRows ? band : kMaxRasterRows);
}

bool CPrinterPeriPage::PrintBMP(int xdpi, int ydpi, int widthBytes, int lines, const void* data,
                                int length) {
  if (widthBytes < 0 || lines < 0 || static_cast<int64_t>(widthBytes) * lines > length)
    return false;
  const uint8_t* rows = static_cast<const uint8_t*>(data);
  if (m_halftone.bImageCompress && widthBytes <= kMaxRasterWidthBytes) {
    // Assembled aside so that a failure leaves nothing of it in the page.
    CMyBuffer block;
    const char* why = "";
    if (AppendCompressed(block, widthBytes, lines, rows, &why)) return AppendAll(m_cmdBuffer, block);
    AddLog("PrintBMP: %s; sending the page uncompressed", why);
  }
  return AppendUncompressed(xdpi, ydpi, widthBytes, lines, rows);
}

void CPrinterPeriPage::OnStartDoc(unsigned long /*reserved*/) {
  m_cmdBuffer.InitBuffer(0);
  if (!(cmdInit() && cmdSpead(m_reg.iSpeed) && cmdDENSITY(m_reg.iDensity) && cmdAlignCenter())) {
    ReportPageError("Not enough memory to set up the printer.", "%s",
                    "PeriPage: the document preamble could not be assembled");
    m_cmdBuffer.InitBuffer(0);
    return;
  }
  FlushCommands();
  if (m_reg.iBeginPrintSound == kSoundEveryDoc) {
    if (cmdBeginPrintSound())
      FlushCommands();
    else
      m_cmdBuffer.InitBuffer(0);
  }
}

void CPrinterPeriPage::OnEndDoc() {
  if (m_reg.iEndPrintSound == kSoundEveryDoc) {
    m_cmdBuffer.InitBuffer(0);
    if (cmdEndPrintSound())
      FlushCommands();
    else
      m_cmdBuffer.InitBuffer(0);
  }
  CPrinterESCPOS::OnEndDoc();
}

void CPrinterPeriPage::PrepareForPrinter() {
  if (m_reg.iMediaType != kMediaRecording) return;
  // Recording paper: no white lead-in or tail, the margins stay.
  CropWhiteEdge(-1, -1, 0, 0);
  AdjustEffWidthBits();
}

unsigned CPrinterPeriPage::RasterWidthBytes() const {
  unsigned widthBytes = CPrinterESCPOS::RasterWidthBytes();
  if (m_halftone.bImageCompress) {
    const unsigned cap = m_resolution >= 204 ? kCompressedWidthHigh : kCompressedWidthLow;
    if (widthBytes > cap) widthBytes = cap;
  }
  return widthBytes;
}

// The printer was set up at the start of the document; a page only feeds
// and beeps as asked.
bool CPrinterPeriPage::AppendBeforeRaster() {
  return (m_reg.iPreFeed <= 0 || PrintAndFeedPaper(m_reg.iPreFeed)) &&
         (m_reg.iBeginPrintSound != kSoundEveryPage || cmdBeginPrintSound());
}

bool CPrinterPeriPage::AppendAfterRaster() {
  const int media = m_reg.iMediaType;
  const bool hasMarks = media == kMediaGap || media == kMediaBlackLine || media == kMediaPerforated;
  const bool isRoll = media == kMediaContinuous || media == kMediaRoll;
  // Gap, black-line and perforated paper: feed on to the next mark.
  return (!hasMarks || AppendBytes(m_cmdBuffer, {0x1D, 0x0C})) &&
         (m_reg.iPostFeed <= 0 || PrintAndFeedPaper(m_reg.iPostFeed)) &&
         (m_reg.iEndPrintSound != kSoundEveryPage || cmdEndPrintSound()) &&
         (!isRoll || cmdCutLine());
}

// A PeriPage neither prints nor answers until woken, so the battery
// question follows a wake-up. Its answer: 00, then the charge in percent.
namespace tavel {
namespace {

const uint8_t kWakeAndAskBattery[] = {0x10, 0xFF, 0xFE, 0x01, 0x10, 0xFF, 0x50, 0xF1};
constexpr int kFullCharge = 100;

AnswerCheck ReadBattery(const uint8_t* answer, size_t length, PrinterStatus* status) {
  if (length < 2) return AnswerCheck::kIncomplete;
  if (answer[0] != 0x00 || answer[1] > kFullCharge) return AnswerCheck::kRejected;
  status->batteryPercent = answer[1];
  return AnswerCheck::kBelieved;
}

const StatusExchange kExchanges[] = {
    {"battery", kWakeAndAskBattery, sizeof kWakeAndAskBattery, 2, ReadBattery}};

}  // namespace

const StatusQuery kPeriPageStatus = {kExchanges, sizeof kExchanges / sizeof kExchanges[0]};

}  // namespace tavel
