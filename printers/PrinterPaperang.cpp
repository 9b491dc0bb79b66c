// Paperang packet protocol; see PrinterPaperang.h.
#include "printers/PrinterPaperang.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "printers/HfmCode.h"

namespace {

// The standard reflected CRC-32 table (polynomial 0xEDB88320).
const uint32_t kCrc32Table[256] = {
    0x00000000, 0x77073096, 0xEE0E612C, 0x990951BA, 0x076DC419, 0x706AF48F,
    0xE963A535, 0x9E6495A3, 0x0EDB8832, 0x79DCB8A4, 0xE0D5E91E, 0x97D2D988,
    0x09B64C2B, 0x7EB17CBD, 0xE7B82D07, 0x90BF1D91, 0x1DB71064, 0x6AB020F2,
    0xF3B97148, 0x84BE41DE, 0x1ADAD47D, 0x6DDDE4EB, 0xF4D4B551, 0x83D385C7,
    0x136C9856, 0x646BA8C0, 0xFD62F97A, 0x8A65C9EC, 0x14015C4F, 0x63066CD9,
    0xFA0F3D63, 0x8D080DF5, 0x3B6E20C8, 0x4C69105E, 0xD56041E4, 0xA2677172,
    0x3C03E4D1, 0x4B04D447, 0xD20D85FD, 0xA50AB56B, 0x35B5A8FA, 0x42B2986C,
    0xDBBBC9D6, 0xACBCF940, 0x32D86CE3, 0x45DF5C75, 0xDCD60DCF, 0xABD13D59,
    0x26D930AC, 0x51DE003A, 0xC8D75180, 0xBFD06116, 0x21B4F4B5, 0x56B3C423,
    0xCFBA9599, 0xB8BDA50F, 0x2802B89E, 0x5F058808, 0xC60CD9B2, 0xB10BE924,
    0x2F6F7C87, 0x58684C11, 0xC1611DAB, 0xB6662D3D, 0x76DC4190, 0x01DB7106,
    0x98D220BC, 0xEFD5102A, 0x71B18589, 0x06B6B51F, 0x9FBFE4A5, 0xE8B8D433,
    0x7807C9A2, 0x0F00F934, 0x9609A88E, 0xE10E9818, 0x7F6A0DBB, 0x086D3D2D,
    0x91646C97, 0xE6635C01, 0x6B6B51F4, 0x1C6C6162, 0x856530D8, 0xF262004E,
    0x6C0695ED, 0x1B01A57B, 0x8208F4C1, 0xF50FC457, 0x65B0D9C6, 0x12B7E950,
    0x8BBEB8EA, 0xFCB9887C, 0x62DD1DDF, 0x15DA2D49, 0x8CD37CF3, 0xFBD44C65,
    0x4DB26158, 0x3AB551CE, 0xA3BC0074, 0xD4BB30E2, 0x4ADFA541, 0x3DD895D7,
    0xA4D1C46D, 0xD3D6F4FB, 0x4369E96A, 0x346ED9FC, 0xAD678846, 0xDA60B8D0,
    0x44042D73, 0x33031DE5, 0xAA0A4C5F, 0xDD0D7CC9, 0x5005713C, 0x270241AA,
    0xBE0B1010, 0xC90C2086, 0x5768B525, 0x206F85B3, 0xB966D409, 0xCE61E49F,
    0x5EDEF90E, 0x29D9C998, 0xB0D09822, 0xC7D7A8B4, 0x59B33D17, 0x2EB40D81,
    0xB7BD5C3B, 0xC0BA6CAD, 0xEDB88320, 0x9ABFB3B6, 0x03B6E20C, 0x74B1D29A,
    0xEAD54739, 0x9DD277AF, 0x04DB2615, 0x73DC1683, 0xE3630B12, 0x94643B84,
    0x0D6D6A3E, 0x7A6A5AA8, 0xE40ECF0B, 0x9309FF9D, 0x0A00AE27, 0x7D079EB1,
    0xF00F9344, 0x8708A3D2, 0x1E01F268, 0x6906C2FE, 0xF762575D, 0x806567CB,
    0x196C3671, 0x6E6B06E7, 0xFED41B76, 0x89D32BE0, 0x10DA7A5A, 0x67DD4ACC,
    0xF9B9DF6F, 0x8EBEEFF9, 0x17B7BE43, 0x60B08ED5, 0xD6D6A3E8, 0xA1D1937E,
    0x38D8C2C4, 0x4FDFF252, 0xD1BB67F1, 0xA6BC5767, 0x3FB506DD, 0x48B2364B,
    0xD80D2BDA, 0xAF0A1B4C, 0x36034AF6, 0x41047A60, 0xDF60EFC3, 0xA867DF55,
    0x316E8EEF, 0x4669BE79, 0xCB61B38C, 0xBC66831A, 0x256FD2A0, 0x5268E236,
    0xCC0C7795, 0xBB0B4703, 0x220216B9, 0x5505262F, 0xC5BA3BBE, 0xB2BD0B28,
    0x2BB45A92, 0x5CB36A04, 0xC2D7FFA7, 0xB5D0CF31, 0x2CD99E8B, 0x5BDEAE1D,
    0x9B64C2B0, 0xEC63F226, 0x756AA39C, 0x026D930A, 0x9C0906A9, 0xEB0E363F,
    0x72076785, 0x05005713, 0x95BF4A82, 0xE2B87A14, 0x7BB12BAE, 0x0CB61B38,
    0x92D28E9B, 0xE5D5BE0D, 0x7CDCEFB7, 0x0BDBDF21, 0x86D3D2D4, 0xF1D4E242,
    0x68DDB3F8, 0x1FDA836E, 0x81BE16CD, 0xF6B9265B, 0x6FB077E1, 0x18B74777,
    0x88085AE6, 0xFF0F6A70, 0x66063BCA, 0x11010B5C, 0x8F659EFF, 0xF862AE69,
    0x616BFFD3, 0x166CCF45, 0xA00AE278, 0xD70DD2EE, 0x4E048354, 0x3903B3C2,
    0xA7672661, 0xD06016F7, 0x4969474D, 0x3E6E77DB, 0xAED16A4A, 0xD9D65ADC,
    0x40DF0B66, 0x37D83BF0, 0xA9BCAE53, 0xDEBB9EC5, 0x47B2CF7F, 0x30B5FFE9,
    0xBDBDF21C, 0xCABAC28A, 0x53B39330, 0x24B4A3A6, 0xBAD03605, 0xCDD70693,
    0x54DE5729, 0x23D967BF, 0xB3667A2E, 0xC4614AB8, 0x5D681B02, 0x2A6F2B94,
    0xB40BBE37, 0xC30C8EA1, 0x5A05DF1B, 0x2D02EF8D,
};

const int kPacketOverhead = 9;  // A5 01 length(2) ... crc(4) 5A
const int kMaxPayload = 0xFFFF;
const int kBitmapHeader = 17;   // payload bytes before the coded segment
const int kMediaTypeGap = 1;
const int kMediaTypeBlackLine = 2;
const int kMediaTypeContinuous = 0;
const int kMediaTypeRoll = 4;

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

}  // namespace

CPrinterPaperang::CPrinterPaperang() {
  memcpy(m_crcTable, kCrc32Table, sizeof(m_crcTable));
  m_packetBuffer.SetMaxBufferSize(104857600);
}

CPrinterPaperang::~CPrinterPaperang() {}

uint32_t CPrinterPaperang::MakeCrc32(const unsigned char* data, unsigned int length) const {
  return ~UpdateCrc(~kCrcKey, data, length);
}

uint32_t CPrinterPaperang::UpdateCrc(uint32_t reg, const unsigned char* data,
                                     unsigned int length) const {
  for (unsigned int i = 0; i < length; ++i) reg = m_crcTable[(reg ^ data[i]) & 0xFF] ^ (reg >> 8);
  return reg;
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
  uint32_t reg = UpdateCrc(~kCrcKey, head, static_cast<unsigned int>(headLength));
  reg = UpdateCrc(reg, body, static_cast<unsigned int>(bodyLength));
  unsigned char end[5];
  PutLE32(end, ~reg);
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

  const int64_t rowBytes = m_image.GetEffWidth();
  const int64_t rows = m_image.GetHeight();
  unsigned char* bits = m_image.GetBits(0);
  if (!m_image.IsValid() || bits == nullptr || rows <= 0 || rowBytes <= 0) {
    ReportPageError(kCannotCode, "Paperang: the page image has no rows");
    return false;
  }
  if (m_image.GetBpp() != 1) {
    ReportPageError(kCannotCode, "Paperang: the page image is not one bit deep");
    return false;
  }
  // The row width travels in a 16-bit field, the input length as an int.
  if (rowBytes > kMaxPayload || rowBytes * rows > INT32_MAX) {
    ReportPageError(kCannotCode, "Paperang: the page image is too large");
    return false;
  }
  const int length = static_cast<int>(rowBytes * rows);

  // Code everything before queuing anything, so that a failure leaves no
  // tree or bitmap packet built from missing data.
  CHfmCode coder;
  CodedPage page;
  page.nodes = coder.GetHfmTree(bits, length, &page.nodeCount, 0, 0);
  if (page.nodes == nullptr) {
    ReportPageError(kCannotCode, "Paperang: no code tree (out of memory)");
    return false;
  }
  page.pre = coder.GetTreePreorder(page.nodes, page.nodeCount);
  page.in = coder.GetTreeMiddleorder(page.nodes, page.nodeCount);
  if (page.pre == nullptr || page.in == nullptr) {
    ReportPageError(kCannotCode, "Paperang: no tree traversal (out of memory)");
    return false;
  }
  page.segments = coder.HFMDGencoding(page.nodes, page.nodeCount, bits, static_cast<int>(rowBytes),
                                      static_cast<int>(rows), kMaxSegmentBytes,
                                      &page.segmentCount);
  if (page.segments == nullptr || page.segmentCount <= 0) {
    ReportPageError(kCannotCode, "Paperang: no coded segments (out of memory)");
    return false;
  }

  // The whole page must fit the packet buffer: past its limit the buffer
  // would drop the packets queued so far. Sizing it once also spares a
  // reallocation per packet. The end and media packets come on top.
  const int treeBytes = 4 * page.nodeCount;
  int64_t need = kPacketOverhead + 5 + treeBytes;
  for (int i = 0; i < page.segmentCount; ++i) {
    if (page.segments[i].length > kMaxPayload - kBitmapHeader) {
      ReportPageError(kCannotCode, "Paperang: a row codes to more than one packet holds");
      return false;
    }
    need += kPacketOverhead + kBitmapHeader + page.segments[i].length;
  }
  need += kPacketOverhead + 5;      // end packet
  need += kPacketOverhead + 5 + 4;  // paper locate, the longer media packet
  need += m_packetBuffer.GetBufferLength();
  const int64_t max = m_packetBuffer.GetMaxBufferSize();
  if ((max > 0 && need > max) || need > INT32_MAX) {
    ReportPageError(kCannotCode, "Paperang: the coded page is larger than the packet buffer");
    return false;
  }
  if (!m_packetBuffer.SetBufferSize(static_cast<int>(need))) {
    ReportPageError(kCannotCode, "Paperang: no memory for the page's packets");
    return false;
  }

  // Tree: preorder then inorder values, two bytes each, low byte first.
  unsigned char tree[4 * CHfmCode::kMaxNodes];
  for (int i = 0; i < page.nodeCount; ++i) {
    PutLE16(tree + 2 * i, page.pre[i]);
    PutLE16(tree + 2 * (page.nodeCount + i), page.in[i]);
  }
  // The buffer holds the whole page already, so queuing cannot fail here.
  bool ok = cmdHfmTree(tree, treeBytes);
  for (int i = 0; ok && i < page.segmentCount; ++i)
    ok = cmdBitmap(i, true, page.segments[i].data, page.segments[i].length);
  if (!ok) ReportPageError(kCannotCode, "Paperang: the page's packets could not be queued");
  return ok;
}

void CPrinterPaperang::OnPaintBmp() {
  AddLog("OnPaintBmp");
  Negative();
  if (m_packetBuffer.GetBufferLength() != 0) m_packetBuffer.InitBuffer(0);

  cmdBeginPrinting();
  SendBitmap_withHFM();
  cmdEndPrinting();
  if (m_reg.iMediaType == kMediaTypeGap || m_reg.iMediaType == kMediaTypeBlackLine)
    cmdPaperLocate(100);
  if (m_reg.iMediaType == kMediaTypeContinuous || m_reg.iMediaType == kMediaTypeRoll)
    cmdFeed(0);

  WriteSpool(m_packetBuffer.GetBuffer(), m_packetBuffer.GetBufferLength());
  m_packetBuffer.InitBuffer(0);
}
