// Fuzz target: the Paperang Huffman coder (CHfmCode) against the decoder's
// independent Huffman reader. The first byte picks the row width, the second
// the packet size; the rest is the page. The page is coded as the driver
// codes it, the tree is rebuilt from its two traversals, every segment is
// decoded, and the rows must come back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/decode/Huffman.h"
#include "printers/HfmCode.h"

namespace {

// Widest row tried: a 384-dot head has 48 bytes per row.
constexpr unsigned kMaxRowBytes = 64;
// The driver's packet payload is 256 bytes; smaller ones split pages into
// many segments, larger ones make rows share one.
constexpr int kMinPacket = 2;
constexpr int kMaxPacket = 1024;

[[noreturn]] void Fail(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "huffman_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const unsigned rowBytes = 1 + data[0] % kMaxRowBytes;
  const int maxPacket = kMinPacket + (data[1] * 4) % (kMaxPacket - kMinPacket + 1);
  const size_t rows = (size - 2) / rowBytes;
  if (rows == 0) return 0;
  std::vector<uint8_t> page(data + 2, data + 2 + rows * rowBytes);

  CHfmCode coder;
  int nodeCount = 0;
  HGMRNCODENODE* nodes = coder.GetHfmTree(page.data(), int(page.size()), &nodeCount, 0, 0);
  if (nodes == nullptr) Fail("no tree");
  unsigned short* pre = coder.GetTreePreorder(nodes, nodeCount);
  unsigned short* in = coder.GetTreeMiddleorder(nodes, nodeCount);
  if (pre == nullptr || in == nullptr) Fail("no traversal");
  int segmentCount = 0;
  HFMCODESEGMENT* segments = coder.HFMDGencoding(nodes, nodeCount, page.data(), int(rowBytes),
                                                 int(rows), maxPacket, &segmentCount);
  if (segments == nullptr || segmentCount <= 0) Fail("no segments");

  HuffmanTree tree;
  std::string err;
  if (!tree.Build(std::vector<uint16_t>(pre, pre + nodeCount),
                  std::vector<uint16_t>(in, in + nodeCount), err))
    Fail("decoder refuses the tree:", err);
  std::vector<uint8_t> decoded;
  for (int i = 0; i < segmentCount; ++i) {
    const HFMCODESEGMENT& seg = segments[i];
    if (seg.length < 1) Fail("empty segment");
    const unsigned fill = seg.data[0];
    const uint64_t bits = uint64_t(seg.length - 1) * 8;
    if (fill > 7 || fill > bits) Fail("bad fill count");
    const size_t before = decoded.size();
    if (!tree.Decode(seg.data + 1, bits - fill, decoded, err)) Fail("segment does not decode:", err);
    if ((decoded.size() - before) % rowBytes != 0) Fail("segment of partial rows");
    // A segment's code bits stay below (maxPacket - 1) x 8, so with its
    // count byte it fits one packet, unless it is one row alone.
    if (seg.length > maxPacket && decoded.size() - before != rowBytes)
      Fail("segment too long:", std::to_string(seg.length) + " bytes for packets of " +
                                    std::to_string(maxPacket));
  }
  if (decoded != page) Fail("rows differ after decoding");

  free(segments[0].data);
  free(segments);
  free(pre);
  free(in);
  free(nodes);
  return 0;
}
