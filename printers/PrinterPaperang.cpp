// Paperang packet protocol; see PrinterPaperang.h.
#include "printers/PrinterPaperang.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <zlib.h>

#include "image/PageLimits.h"
#include "printers/HfmCode.h"

namespace {

const int kPacketOverhead = 9;  // A5 01 length(2) ... crc(4) 5A
const int kMaxPayload = 0xFFFF;
const int kBitmapHeader = 17;   // payload bytes before the coded segment

void PutLE16(unsigned char* p, int v) {
  p[0] = static_cast<unsigned char>(v & 0xFF);
  p[1] = static_cast<unsigned char>((v >> 8) & 0xFF);
}

void PutLE32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>((v >> (8 * i)) & 0xFF);
}

// Owns what the coder hands out for one page.
struct CodedPage {
  HGMRNCODENODE* nodes = nullptr;
  unsigned short* pre = nullptr;
  unsigned short* in = nullptr;
  HFMCODESEGMENT* segments = nullptr;
  int nodeCount = 0;
  int segmentCount = 0;

  ~CodedPage() {
    if (segments != nullptr) free(segments[0].data);
    free(segments);
    free(pre);
    free(in);
    free(nodes);
  }
};

// Builds the code tree, its two traversals and the coded segments of a
// one-bit page image. Null, or why the page can't be coded.
const char* CodePage(CRasterImage& image, CodedPage* page) {
  const int64_t rowBytes = image.GetEffWidth();
  const int64_t rows = image.GetHeight();
  unsigned char* bits = image.GetBits(0);
  if (!image.IsValid() || bits == nullptr || rows <= 0 || rowBytes <= 0)
    return "Paperang: the page image has no rows";
  if (image.GetBpp() != 1) return "Paperang: the page image is not one bit deep";
  // The row width travels in a 16-bit field, the input length as an int.
  if (rowBytes > kMaxPayload || rowBytes * rows > INT32_MAX)
    return "Paperang: the page image is too large";
  const int length = static_cast<int>(rowBytes * rows);

  CHfmCode coder;
  page->nodes = coder.GetHfmTree(bits, length, &page->nodeCount, 0, 0);
  if (page->nodes == nullptr) return "Paperang: no code tree (out of memory)";
  page->pre = coder.GetTreePreorder(page->nodes, page->nodeCount);
  page->in = coder.GetTreeMiddleorder(page->nodes, page->nodeCount);
  if (page->pre == nullptr || page->in == nullptr)
    return "Paperang: no tree traversal (out of memory)";
  page->segments = coder.HFMDGencoding(page->nodes, page->nodeCount, bits,
                                       static_cast<int>(rowBytes), static_cast<int>(rows),
                                       CPrinterPaperang::kMaxSegmentBytes, &page->segmentCount);
  if (page->segments == nullptr || page->segmentCount <= 0)
    return "Paperang: no coded segments (out of memory)";
  return nullptr;
}

// The whole page must fit the packet buffer: past its limit the buffer
// would drop the packets queued so far. Sizing it once also spares a
// reallocation per packet. The end and media packets come on top. Null, or
// why the page's packets can't be held.
const char* ReservePacketRoom(const CodedPage& page, CMyBuffer& buffer) {
  int64_t need = kPacketOverhead + 5 + 4 * page.nodeCount;  // the tree packet
  for (int i = 0; i < page.segmentCount; ++i) {
    if (page.segments[i].length > kMaxPayload - kBitmapHeader)
      return "Paperang: a row codes to more than one packet holds";
    need += kPacketOverhead + kBitmapHeader + page.segments[i].length;
  }
  need += kPacketOverhead + 5;      // end packet
  need += kPacketOverhead + 5 + 4;  // paper locate, the longer media packet
  need += buffer.GetBufferLength();
  const int64_t max = buffer.GetMaxBufferSize();
  if ((max > 0 && need > max) || need > INT32_MAX)
    return "Paperang: the coded page is larger than the packet buffer";
  if (!buffer.SetBufferSize(static_cast<int>(need)))
    return "Paperang: no memory for the page's packets";
  return nullptr;
}

}  // namespace

CPrinterPaperang::CPrinterPaperang() {
  m_packetBuffer.SetMaxBufferSize(static_cast<int>(tavel::kMaxCommandBytes));
}

CPrinterPaperang::~CPrinterPaperang() {}

uint32_t CPrinterPaperang::MakeCrc32(const unsigned char* data, unsigned int length) const {
  // zlib answers a null buffer with its initial value, not the CRC so far.
  if (length == 0) return kCrcKey;
  return static_cast<uint32_t>(crc32(kCrcKey, data, length));
}

bool CPrinterPaperang::AddToBuffer(CMyBuffer& buffer) {
  return AddToBuffer(buffer.GetBuffer(), buffer.GetBufferLength());
}

bool CPrinterPaperang::AddToBuffer(const void* data, int length) {
  if (length <= 0) return true;
  if (data == nullptr) return false;
  return m_packetBuffer.AddBuffer(data, length);
}

bool CPrinterPaperang::cmdChildClassPackage(unsigned char* payload, int length) {
  return QueuePacket(payload, length, nullptr, 0);
}

bool CPrinterPaperang::QueuePacket(const unsigned char* head, int headLength,
                                   const unsigned char* body, int bodyLength) {
  // The length field has 16 bits; a longer payload cannot be framed.
  if (headLength < 0 || bodyLength < 0 || headLength > kMaxPayload - bodyLength) return false;
  if ((headLength > 0 && head == nullptr) || (bodyLength > 0 && body == nullptr)) return false;
  const int length = headLength + bodyLength;
  unsigned char start[4] = {0xA5, 0x01, 0, 0};
  PutLE16(start + 2, length);
  // zlib continues a CRC across the two pieces as if they were one.
  // (A null piece would restart the CRC, so empty pieces are left out.)
  uLong crc = kCrcKey;
  if (headLength > 0) crc = crc32(crc, head, static_cast<uInt>(headLength));
  if (bodyLength > 0) crc = crc32(crc, body, static_cast<uInt>(bodyLength));
  unsigned char end[5];
  PutLE32(end, static_cast<uint32_t>(crc));
  end[4] = 0x5A;
  return AddToBuffer(start, 4) && AddToBuffer(head, headLength) && AddToBuffer(body, bodyLength) &&
         AddToBuffer(end, 5);
}

bool CPrinterPaperang::cmdBeginPrinting() {
  unsigned char payload[] = {0x05, 0x19, 0x03, 0x00, 0x00};
  bool ok = cmdChildClassPackage(payload, sizeof(payload));
  AddLog("MM_TP_CTRL_PRINT_START");
  return ok;
}

bool CPrinterPaperang::cmdEndPrinting() {
  unsigned char payload[] = {0x05, 0x1A, 0x03, 0x00, 0x00};
  bool ok = cmdChildClassPackage(payload, sizeof(payload));
  AddLog("MM_TP_CTRL_PRINT_END");
  return ok;
}

bool CPrinterPaperang::cmdFeed(int value) {
  unsigned char payload[] = {0x05, 0x16, 0x03, 0x02, 0x00, 0, 0};
  PutLE16(payload + 5, value);
  return cmdChildClassPackage(payload, sizeof(payload));
}

bool CPrinterPaperang::cmdPaperLocate(int value) {
  unsigned char payload[] = {0x05, 0x21, 0x03, 0x04, 0x00, 0, 0, 0, 0};
  PutLE32(payload + 5, static_cast<uint32_t>(value));
  return cmdChildClassPackage(payload, sizeof(payload));
}

bool CPrinterPaperang::cmdHfmTree(unsigned char* tree, int length) {
  if (length < 0 || length > kMaxPayload - 5) return false;
  unsigned char head[5] = {0x05, 0x1C, 0x03, 0, 0};
  PutLE16(head + 3, length);
  return QueuePacket(head, 5, tree, length);
}

// The segment is framed straight from the coder's block, without a copy.
bool CPrinterPaperang::cmdBitmap(int index, bool compressed, unsigned char* segment,
                                 int length) {
  // 12 + length must fit the 16-bit length field, and so must the payload.
  if (length < 0 || length > kMaxPayload - kBitmapHeader) return false;
  unsigned char head[kBitmapHeader] = {0x05, 0x1B, 0x03};
  PutLE16(head + 3, 12 + length);
  PutLE16(head + 5, index);
  PutLE16(head + 7, 8 + length);
  head[9] = 0x01;
  PutLE16(head + 10, static_cast<int>(m_image.GetEffWidth()));
  head[12] = 0x00;
  head[13] = 0x00;
  head[14] = compressed ? 0x01 : 0x00;
  PutLE16(head + 15, length);
  return QueuePacket(head, kBitmapHeader, segment, length);
}

bool CPrinterPaperang::SendBitmap_withHFM() {
  static const char* kCannotCode = "The page could not be coded for the printer.";
  // Code everything before queuing anything, so that a failure leaves no
  // tree or bitmap packet built from missing data.
  CodedPage page;
  const char* why = CodePage(m_image, &page);
  if (!why) why = ReservePacketRoom(page, m_packetBuffer);
  if (why) {
    ReportPageError(kCannotCode, "%s", why);
    return false;
  }

  // Tree: preorder then inorder values, two bytes each, low byte first.
  unsigned char tree[4 * CHfmCode::kMaxNodes];
  for (int i = 0; i < page.nodeCount; ++i) {
    PutLE16(tree + 2 * i, page.pre[i]);
    PutLE16(tree + 2 * (page.nodeCount + i), page.in[i]);
  }
  // The buffer holds the whole page already, so queuing cannot fail here.
  bool ok = cmdHfmTree(tree, 4 * page.nodeCount);
  for (int i = 0; ok && i < page.segmentCount; ++i)
    ok = cmdBitmap(i, true, page.segments[i].data, page.segments[i].length);
  if (!ok) ReportPageError(kCannotCode, "%s", "Paperang: the page's packets could not be queued");
  return ok;
}

void CPrinterPaperang::OnPaintBmp() {
  AddLog("OnPaintBmp");
  if (m_packetBuffer.GetBufferLength() != 0) m_packetBuffer.InitBuffer(0);

  cmdBeginPrinting();
  if (!SendBitmap_withHFM()) {
    // Reported already; a page without its bitmap would only feed blank
    // paper, so none of it is sent.
    m_packetBuffer.InitBuffer(0);
    return;
  }
  cmdEndPrinting();
  if (m_reg.iMediaType == kMediaGap || m_reg.iMediaType == kMediaBlackLine)
    cmdPaperLocate(100);
  if (m_reg.iMediaType == kMediaContinuous || m_reg.iMediaType == kMediaRoll)
    cmdFeed(0);

  WriteSpool(m_packetBuffer.GetBuffer(), m_packetBuffer.GetBufferLength());
  m_packetBuffer.InitBuffer(0);
}

// The battery question, framed as every packet (A5 01, payload length,
// payload, CRC, 5A). Payload: domain 01 (system), command 0B (battery),
// kind 01 (request), no arguments; its CRC is crc32(kCrcKey, payload).
// The answer is a frame of kind 02 whose argument is tag 01 with a 16-bit
// value of tenths of a percent. Printers also acknowledge the print
// packets before it, so frames that are not the answer are passed over.
// The CRC of answers is seeded with either key the protocol is seen with.
namespace tavel {
namespace {

const uint8_t kAskBattery[] = {0xA5, 0x01, 0x05, 0x00, 0x01, 0x0B, 0x01,
                               0x00, 0x00, 0xDE, 0x89, 0xF5, 0x78, 0x5A};
constexpr uint32_t kOtherCrcKey = 0x35769521u;
constexpr size_t kFrameOverhead = 9;        // A5 01 length(2) ... crc(4) 5A
constexpr size_t kMaxAnswerBytes = 512;     // the answer and acknowledgements before it
constexpr unsigned kTenthsPerPercent = 10;
constexpr unsigned kFullCharge = 100;

bool CrcMatches(const uint8_t* payload, size_t length, uint32_t crc) {
  for (uint32_t key : {static_cast<uint32_t>(CPrinterPaperang::kCrcKey), kOtherCrcKey})
    if (crc32(key, payload, static_cast<uInt>(length)) == crc) return true;
  return false;
}

// The battery value of a payload that answers the question: -1 for any
// other packet, -2 for a malformed answer.
int BatteryOf(const uint8_t* p, size_t length) {
  if (length < 5 || p[0] != 0x01 || p[1] != 0x0B || p[2] != 0x02) return -1;
  const size_t args = p[3] | p[4] << 8;
  if (args != length - 5 || args < 4 || p[5] != 0x01 || p[6] != 0x02) return -2;
  const unsigned tenths = p[7] | p[8] << 8;
  return tenths / kTenthsPerPercent > kFullCharge ? -2
                                                  : static_cast<int>(tenths / kTenthsPerPercent);
}

AnswerCheck ReadBattery(const uint8_t* a, size_t length, PrinterStatus* status) {
  size_t pos = 0;
  while (pos < length) {
    if (a[pos] != 0xA5 || (length - pos > 1 && a[pos + 1] != 0x01)) return AnswerCheck::kRejected;
    if (length - pos < 4) return AnswerCheck::kIncomplete;
    const size_t payload = a[pos + 2] | a[pos + 3] << 8;
    if (length - pos < payload + kFrameOverhead) return AnswerCheck::kIncomplete;
    const uint8_t* p = a + pos + 4;
    const uint32_t crc = p[payload] | p[payload + 1] << 8 | p[payload + 2] << 16 |
                         static_cast<uint32_t>(p[payload + 3]) << 24;
    if (p[payload + 4] != 0x5A || !CrcMatches(p, payload, crc)) return AnswerCheck::kRejected;
    const int battery = BatteryOf(p, payload);
    if (battery == -2) return AnswerCheck::kRejected;
    if (battery >= 0) {
      status->batteryPercent = battery;
      return AnswerCheck::kBelieved;
    }
    pos += payload + kFrameOverhead;
  }
  return AnswerCheck::kIncomplete;
}

const StatusExchange kExchanges[] = {
    {"battery", kAskBattery, sizeof kAskBattery, kMaxAnswerBytes, ReadBattery}};

}  // namespace

const StatusQuery kPaperangStatus = {kExchanges, sizeof kExchanges / sizeof kExchanges[0]};

}  // namespace tavel
