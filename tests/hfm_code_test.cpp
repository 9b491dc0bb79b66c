// Huffman coder: exact trees and segments for small inputs, segmentation
// limits, and round trips through an independent decoder that rebuilds the
// tree from the two traversals the way the printer does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "printers/HfmCode.h"
#include "tools/decode/Huffman.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Values = std::vector<unsigned short>;

std::string Hex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

// Everything the coder returns for one input, owned and freed here.
struct Coded {
  int nodeCount = -1;
  HGMRNCODENODE* nodes = nullptr;
  Values pre, in;
  std::vector<Bytes> segments;
  bool segmentsOk = false;

  ~Coded() { free(nodes); }
};

void Code(Bytes data, int rowBytes, int rows, int maxPacket, Coded* out) {
  CHfmCode coder;
  out->nodes = coder.GetHfmTree(data.data(), static_cast<int>(data.size()), &out->nodeCount, 0, 0);
  ASSERT_NE(out->nodes, nullptr);
  unsigned short* pre = coder.GetTreePreorder(out->nodes, out->nodeCount);
  unsigned short* in = coder.GetTreeMiddleorder(out->nodes, out->nodeCount);
  ASSERT_NE(pre, nullptr);
  ASSERT_NE(in, nullptr);
  out->pre.assign(pre, pre + out->nodeCount);
  out->in.assign(in, in + out->nodeCount);
  free(pre);
  free(in);
  int count = -1;
  HFMCODESEGMENT* segs = coder.HFMDGencoding(out->nodes, out->nodeCount, data.data(), rowBytes,
                                              rows, maxPacket, &count);
  ASSERT_NE(segs, nullptr);
  ASSERT_GT(count, 0);
  for (int i = 0; i < count; ++i)
    out->segments.emplace_back(segs[i].data, segs[i].data + segs[i].length);
  free(segs[0].data);
  free(segs);
  out->segmentsOk = true;
}

// ---------------------------------------------------------------------------
// Exact results for small inputs.

struct SmallCase {
  const char* name;
  Bytes data;
  int rowBytes;
  Values pre, in;
  std::vector<std::string> segments;
};

class HfmSmall : public ::testing::TestWithParam<SmallCase> {};

TEST_P(HfmSmall, TreeTraversalsAndSegments) {
  const SmallCase& c = GetParam();
  Coded coded;
  Code(c.data, c.rowBytes, static_cast<int>(c.data.size()) / c.rowBytes, 256, &coded);
  ASSERT_TRUE(coded.segmentsOk);
  EXPECT_EQ(coded.nodeCount, static_cast<int>(c.pre.size()));
  EXPECT_EQ(coded.pre, c.pre);
  EXPECT_EQ(coded.in, c.in);
  std::vector<std::string> got;
  for (const Bytes& s : coded.segments) got.push_back(Hex(s.data(), s.size()));
  EXPECT_EQ(got, c.segments);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, HfmSmall,
    ::testing::Values(
        SmallCase{"abc", {0x61, 0x62, 0x63}, 3, {257, 99, 256, 97, 98}, {99, 257, 97, 256, 98},
                  {"03 B0"}},
        SmallCase{"four00", {0, 0, 0, 0}, 4, {256, 1, 0}, {1, 256, 0}, {"04 F0"}},
        SmallCase{"fourFF", {0xFF, 0xFF, 0xFF, 0xFF}, 4, {256, 254, 255}, {254, 256, 255},
                  {"04 F0"}},
        // Eight one-bit codes end on a byte boundary: no fill bits.
        SmallCase{"byteBoundary", Bytes(8, 0x00), 8, {256, 1, 0}, {1, 256, 0}, {"00 FF"}},
        // Ties go to the lower index: 00 and 01 (weight 2 each) pair first;
        // 02 (weight 4) then ties with that pair and goes left of it.
        SmallCase{"ties", {0, 0, 1, 1, 2, 2, 2, 2}, 4, {257, 2, 256, 0, 1}, {2, 257, 0, 256, 1},
                  // 00 = 10, 01 = 11, 02 = 0: bits 1010 1111 0000
                  {"04 AF 00"}}),
    [](const ::testing::TestParamInfo<SmallCase>& p) { return std::string(p.param.name); });

TEST(HfmTree, AbcNodesAndCodes) {
  Bytes data = {0x61, 0x62, 0x63};
  CHfmCode coder;
  int count = 0;
  HGMRNCODENODE* nodes = coder.GetHfmTree(data.data(), 3, &count, 0, 0);
  ASSERT_NE(nodes, nullptr);
  ASSERT_EQ(count, 5);
  struct Expect {
    int weight, l, r, parent, value;
    std::string code;
  } expect[] = {{1, -1, -1, 3, 0x61, "10"}, {1, -1, -1, 3, 0x62, "11"}, {1, -1, -1, 4, 0x63, "0"},
                {2, 0, 1, 4, 256, ""},      {3, 2, 3, -1, 257, ""}};
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(nodes[i].weight, expect[i].weight);
    EXPECT_EQ(nodes[i].lchild, expect[i].l);
    EXPECT_EQ(nodes[i].rchild, expect[i].r);
    EXPECT_EQ(nodes[i].parent, expect[i].parent);
    EXPECT_EQ(nodes[i].value, expect[i].value);
    std::string code;
    for (int b = 0; b < nodes[i].codeLen; ++b) code += static_cast<char>('0' + nodes[i].code[b]);
    EXPECT_EQ(code, expect[i].code);
  }
  free(nodes);
}

TEST(HfmTree, SingleValueGetsNeighbourLeaf) {
  // The added leaf sits at index 1 with weight 1, above for v <= 127 and
  // below for v >= 128.
  const struct {
    uint8_t v;
    int added;
  } cases[] = {{0, 1}, {127, 128}, {128, 127}, {255, 254}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.v);
    Bytes data(5, c.v);
    CHfmCode coder;
    int count = 0;
    HGMRNCODENODE* nodes = coder.GetHfmTree(data.data(), 5, &count, 0, 0);
    ASSERT_NE(nodes, nullptr);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(nodes[0].value, c.v);
    EXPECT_EQ(nodes[0].weight, 5);
    EXPECT_EQ(nodes[1].value, c.added);
    EXPECT_EQ(nodes[1].weight, 1);
    EXPECT_EQ(nodes[2].lchild, 1);
    EXPECT_EQ(nodes[0].codeLen, 1);
    EXPECT_EQ(nodes[0].code[0], 1);
    free(nodes);
  }
}

TEST(HfmTree, NoInputGivesNoTreeAndLeavesCountAlone) {
  CHfmCode coder;
  uint8_t byte = 7;
  int count = 42;
  EXPECT_EQ(coder.GetHfmTree(nullptr, 4, &count, 0, 0), nullptr);
  EXPECT_EQ(coder.GetHfmTree(&byte, 0, &count, 0, 0), nullptr);
  EXPECT_EQ(coder.GetHfmTree(&byte, -1, &count, 0, 0), nullptr);
  EXPECT_EQ(count, 42);
  EXPECT_EQ(coder.GetTreePreorder(nullptr, 3), nullptr);
  EXPECT_EQ(coder.GetTreeMiddleorder(nullptr, 3), nullptr);
}

// ---------------------------------------------------------------------------
// Round trips and segmentation.

// Decodes every segment on its own and checks that each holds whole rows,
// that the rows come out once each and in order, and the size limits.
void CheckRoundTrip(const Bytes& data, int rowBytes, int maxPacket) {
  const int rows = static_cast<int>(data.size()) / rowBytes;
  Coded coded;
  Code(data, rowBytes, rows, maxPacket, &coded);
  ASSERT_TRUE(coded.segmentsOk);
  HuffmanTree tree;
  std::string err;
  ASSERT_TRUE(tree.Build(coded.pre, coded.in, err)) << err;

  const uint64_t limit = static_cast<uint64_t>(maxPacket - 1) * 8;
  Bytes all;
  for (size_t i = 0; i < coded.segments.size(); ++i) {
    SCOPED_TRACE(i);
    const Bytes& seg = coded.segments[i];
    Bytes part;
    uint64_t bits = 0;
    ASSERT_TRUE(HuffmanTree::SegmentBits(seg.data(), seg.size(), bits)) << "bad fill-bit count";
    ASSERT_TRUE(tree.Decode(seg.data() + 1, bits, part, err))
        << "segment does not end on a code boundary: " << err;
    ASSERT_EQ(part.size() % rowBytes, 0u) << "segment holds a partial row";
    if (part.size() > static_cast<size_t>(rowBytes)) {
      EXPECT_LT(bits, limit);
      EXPECT_LE(seg.size(), static_cast<size_t>(maxPacket));
    }
    all.insert(all.end(), part.begin(), part.end());
  }
  EXPECT_EQ(all, data);
}

struct RoundTripCase {
  const char* name;
  int rowBytes;
  int rows;
  int maxPacket;
  int distinct;  // byte values drawn from 0..distinct-1, skewed
};

class HfmRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(HfmRoundTrip, DecodesToInput) {
  const RoundTripCase& c = GetParam();
  std::mt19937 rng(1234 + c.rowBytes * 7 + c.rows);
  // Geometric-ish spread gives long codes for the rare values.
  std::geometric_distribution<int> pick(0.3);
  Bytes data(static_cast<size_t>(c.rowBytes) * c.rows);
  for (auto& b : data) b = static_cast<uint8_t>(pick(rng) % c.distinct);
  CheckRoundTrip(data, c.rowBytes, c.maxPacket);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, HfmRoundTrip,
    ::testing::Values(RoundTripCase{"narrowRows", 4, 2000, 256, 256},
                      RoundTripCase{"printerWidth", 48, 300, 256, 256},
                      RoundTripCase{"twoValues", 72, 200, 256, 2},
                      RoundTripCase{"smallPackets", 8, 500, 9, 16},
                      // Rows longer than the limit: one segment per row.
                      RoundTripCase{"rowsOverLimit", 400, 20, 256, 256},
                      RoundTripCase{"oneByteRows", 1, 5000, 256, 3},
                      RoundTripCase{"oneByteRowsTinyPackets", 1, 300, 1, 3}),
    [](const ::testing::TestParamInfo<RoundTripCase>& p) {
      return std::string(p.param.name);
    });

TEST(HfmCoding, AllByteValues) {
  Bytes data;
  for (int rep = 0; rep < 3; ++rep)
    for (int v = 0; v < 256; ++v) data.push_back(static_cast<uint8_t>(v));
  Coded coded;
  Code(data, 16, static_cast<int>(data.size()) / 16, 256, &coded);
  ASSERT_TRUE(coded.segmentsOk);
  EXPECT_EQ(coded.nodeCount, 511);
  // Equal weights: every code is 8 bits and the page packs 1:1.
  for (int i = 0; i < 256; ++i) EXPECT_EQ(coded.nodes[i].codeLen, 8) << i;
  CheckRoundTrip(data, 16, 256);
}

TEST(HfmCoding, DeepTreeFromFibonacciWeights) {
  // Fibonacci counts give a tree 19 levels deep: codes well beyond a byte.
  Bytes data;
  long a = 1, b = 1;
  for (int v = 0; v < 20; ++v) {
    data.insert(data.end(), static_cast<size_t>(a), static_cast<uint8_t>(v));
    long next = a + b;
    a = b;
    b = next;
  }
  std::mt19937 rng(5);
  std::shuffle(data.begin(), data.end(), rng);
  ASSERT_EQ(data.size(), 17710u);  // 1771 rows of 10
  Coded coded;
  Code(data, 10, 1771, 256, &coded);
  int deepest = 0;
  for (int i = 0; i < (coded.nodeCount + 1) / 2; ++i)
    deepest = std::max(deepest, static_cast<int>(coded.nodes[i].codeLen));
  EXPECT_EQ(deepest, 19);
  CheckRoundTrip(data, 10, 256);
}

TEST(HfmCoding, SegmentsCloseJustBeforeTheLimit) {
  // 00 codes as one bit: rows of 8 bytes are 8 bits, so with maxPacket 3
  // (limit 16 bits) each segment takes exactly one row: 8 + 8 reaches 16.
  // With maxPacket 4 (limit 24) two rows fit (16 < 24), the third closes.
  Bytes data(8 * 5, 0x00);
  data[0] = 0x01;  // a second value so that 00 alone keeps a 1-bit code
  for (int maxPacket : {3, 4}) {
    SCOPED_TRACE(maxPacket);
    Coded coded;
    Code(data, 8, 5, maxPacket, &coded);
    ASSERT_TRUE(coded.segmentsOk);
    EXPECT_EQ(coded.segments.size(), maxPacket == 3 ? 5u : 3u);
    CheckRoundTrip(data, 8, maxPacket);
  }
}

TEST(HfmCoding, OneBitSegmentsDoNotOverlap) {
  // One-byte rows with one-bit codes and a limit of 0: every row is its own
  // one-bit segment, and its seven fill bits are the next segments' code
  // bits, as for any segment.
  Bytes data = {0x00, 0x00, 0x00, 0x00, 0x00};
  Coded coded;
  Code(data, 1, 5, 1, &coded);
  ASSERT_TRUE(coded.segmentsOk);
  std::vector<std::string> got;
  for (const Bytes& s : coded.segments) got.push_back(Hex(s.data(), s.size()));
  EXPECT_EQ(got, (std::vector<std::string>{"07 F8", "07 F0", "07 E0", "07 C0", "07 80"}));
}

// ---------------------------------------------------------------------------
// Malformed node arrays and arguments fail instead of looping or overrunning.

TEST(HfmMalformed, TraversalsRejectCyclesAndStrayIndices) {
  Bytes data = {1, 2, 3, 3};
  CHfmCode coder;
  int count = 0;
  HGMRNCODENODE* nodes = coder.GetHfmTree(data.data(), 4, &count, 0, 0);
  ASSERT_NE(nodes, nullptr);
  ASSERT_EQ(count, 5);
  const int root = count - 1;
  const struct {
    const char* what;
    int lchild, rchild;
  } breaks[] = {{"left to itself", root, nodes[root].rchild},
                {"right to itself", nodes[root].lchild, root},
                {"index past the end", count, nodes[root].rchild},
                {"negative index", -7, nodes[root].rchild}};
  for (const auto& b : breaks) {
    SCOPED_TRACE(b.what);
    HGMRNCODENODE saved = nodes[root];
    nodes[root].lchild = b.lchild;
    nodes[root].rchild = b.rchild;
    EXPECT_EQ(coder.GetTreePreorder(nodes, count), nullptr);
    EXPECT_EQ(coder.GetTreeMiddleorder(nodes, count), nullptr);
    if (b.lchild == root || b.rchild == root) {
      // The recursive steps alone stop on a cycle too.
      unsigned short out[CHfmCode::kMaxNodes];
      int n = 0;
      coder.TreeMiddleorder(nodes, root, out, &n);
      EXPECT_EQ(n, -1);
      n = 0;
      coder.TreePreorder(nodes, root, out, &n);
      EXPECT_EQ(n, -1);
    }
    nodes[root] = saved;
  }
  // A node count that is not the tree's: the walk covers a different number.
  EXPECT_EQ(coder.GetTreePreorder(nodes, 3), nullptr);
  EXPECT_EQ(coder.GetTreePreorder(nodes, CHfmCode::kMaxNodes + 1), nullptr);
  free(nodes);
}

TEST(HfmMalformed, CodingRejectsBadArguments) {
  Bytes tree = {1, 2, 2};
  CHfmCode coder;
  int count = 0;
  HGMRNCODENODE* nodes = coder.GetHfmTree(tree.data(), 3, &count, 0, 0);
  ASSERT_NE(nodes, nullptr);
  Bytes data = {1, 2, 1, 2};
  Bytes foreign = {1, 2, 9, 2};  // 09 has no code in this tree
  int segs = -5;
  EXPECT_EQ(coder.HFMDGencoding(nodes, count, foreign.data(), 2, 2, 256, &segs), nullptr);
  EXPECT_EQ(coder.HFMDGencoding(nodes, count, nullptr, 2, 2, 256, &segs), nullptr);
  EXPECT_EQ(coder.HFMDGencoding(nullptr, count, data.data(), 2, 2, 256, &segs), nullptr);
  EXPECT_EQ(coder.HFMDGencoding(nodes, count, data.data(), 0, 2, 256, &segs), nullptr);
  EXPECT_EQ(coder.HFMDGencoding(nodes, count, data.data(), 2, 0, 256, &segs), nullptr);
  EXPECT_EQ(segs, -5);
  free(nodes);
}

}  // namespace
