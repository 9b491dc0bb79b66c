// CPrinterPaperang: driver for Paperang pocket thermal printers. Every
// command travels in a framed packet (A5 01, payload length, payload, CRC-32
// of the payload continued from the CRC key, 5A); the page travels
// Huffman-coded as one tree packet and bitmap packets of whole rows. A page
// goes out in one write: begin, tree, bitmaps, end, and a media packet.
#pragma once

#include <cstdint>

#include "render/BaseRender.h"
#include "render/MyBuffer.h"
#include "printers/PrinterStatus.h"

class CPrinterPaperang : public CBaseRender {
 public:
  // Every packet's CRC is continued from this value instead of from 0.
  static const uint32_t kCrcKey = 0x4C1D7E93u;
  // Bitmap segments are coded to fit packets of this many coded bytes.
  static const int kMaxSegmentBytes = 256;

  CPrinterPaperang();
  ~CPrinterPaperang() override;

  void OnPaintBmp() override;
  // The coded bitmap takes bit 1 = dot.
  int InkBit() const override { return 1; }

  // Codes the page image and queues the tree and bitmap packets. Queues
  // nothing and reports the page to CUPS when the page cannot be coded.
  bool SendBitmap_withHFM();

  // Each builds one payload and queues it as a packet; false if it could
  // not be queued.
  bool cmdBeginPrinting();
  bool cmdEndPrinting();
  bool cmdFeed(int value);
  bool cmdPaperLocate(int value);
  bool cmdHfmTree(unsigned char* tree, int length);
  bool cmdBitmap(int index, bool compressed, unsigned char* segment, int length);

  // Frames a payload of at most 65535 bytes and appends the packet.
  bool cmdChildClassPackage(unsigned char* payload, int length);
  // zlib's crc32(kCrcKey, data, length).
  uint32_t MakeCrc32(const unsigned char* data, unsigned int length) const;

  bool AddToBuffer(CMyBuffer& buffer);
  bool AddToBuffer(const void* data, int length);

  CMyBuffer m_packetBuffer;

 private:
  // Frames the payload head + body (two pieces, so a bitmap segment need not
  // be copied next to its header) and appends the packet.
  bool QueuePacket(const unsigned char* head, int headLength, const unsigned char* body,
                   int bodyLength);
};

namespace tavel {
// How a Paperang printer is asked for its state (its battery).
extern const StatusQuery kPaperangStatus;
}  // namespace tavel
