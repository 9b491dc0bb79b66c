// Huffman coder for the Paperang bitmap packets; see HfmCode.h.
//
// Coding packs each segment's codes straight into the block it returns,
// through a bit accumulator. The fill bits that complete a segment's last
// byte are the first bits of the code stream after it (zero after the last
// segment), so every segment reads as the page's one code stream cut at the
// segment's first bit.
#include "printers/HfmCode.h"
#include "image/MemoryGate.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

const int kCodeCapacity = static_cast<int>(sizeof(HGMRNCODENODE::code));
// 32-bit words a code of kCodeCapacity bits takes.
const int kCodeWords = (kCodeCapacity + 31) / 32;

// A leaf's code as the packer takes it: word w holds code bits 32w to
// 32w + 31, the last word only the code's remaining bits; each word is
// right-aligned, so its first bit is its highest used one.
struct PackedCode {
  uint32_t words[kCodeWords];
  int length;  // bits; 0 for a byte value without a code
};

// Packs bits eight to a byte, the first bit in the MSB, through a 64-bit
// accumulator. Between calls fewer than 8 bits wait in it, so one call of up
// to 32 bits never overflows it.
class BitPacker {
 public:
  explicit BitPacker(unsigned char* out) : out_(out) {}

  // Appends the low count bits of bits (1 <= count <= 32), highest first.
  void Put(uint32_t bits, int count) {
    acc_ = (acc_ << count) | bits;
    pending_ += count;
    while (pending_ >= 8) {
      pending_ -= 8;
      *out_++ = static_cast<unsigned char>(acc_ >> pending_);
    }
  }
  void Put(const PackedCode& code) {
    const int full = code.length / 32;
    for (int w = 0; w < full; ++w) Put(code.words[w], 32);
    if (code.length % 32 != 0) Put(code.words[full], code.length % 32);
  }
  // Bits appended since the last whole byte.
  int Pending() const { return pending_; }

 private:
  unsigned char* out_;
  uint64_t acc_ = 0;  // bits above the pending ones are stale, never written
  int pending_ = 0;
};

// The first need (< 8) bits of the code stream that starts at data[from],
// right-aligned; zero bits past data[end - 1]. Every code has at least one
// bit, so this reads at most need bytes.
uint32_t LeadingBits(const PackedCode* codes, const unsigned char* data, size_t from, size_t end,
                     int need) {
  uint32_t bits = 0;
  int got = 0;
  for (size_t i = from; got < need && i < end; ++i) {
    const PackedCode& code = codes[data[i]];
    const int inFirstWord = code.length < 32 ? code.length : 32;
    const int take = need - got < code.length ? need - got : code.length;
    bits = (bits << take) | (code.words[0] >> (inFirstWord - take));
    got += take;
  }
  return bits << (need - got);
}

// Frees a block taken from the C heap: what the coder hands out stays
// malloc'd, as its callers free it.
struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};
template <class T>
using CHeapPtr = std::unique_ptr<T, FreeDeleter>;

// One segment as planned before packing: its code bits and the row after
// its last.
struct SegmentPlan {
  int64_t bits;
  size_t endRow;
};

}  // namespace

HGMRNCODENODE* CHfmCode::GetHfmTree(unsigned char* data, int length, int* nodeCount,
                                    int /*reserved1*/, int /*reserved2*/) {
  if (data == nullptr || length <= 0 || nodeCount == nullptr) return nullptr;

  int counts[256] = {0};
  for (int i = 0; i < length; ++i) ++counts[data[i]];

  // Leaves in ascending order of value.
  int leafValue[257];
  int leafWeight[257];
  int n = 0;
  for (int v = 0; v < 256; ++v) {
    if (counts[v] > 0) {
      leafValue[n] = v;
      leafWeight[n] = counts[v];
      ++n;
    }
  }
  // A single value still needs a one-bit code: pair it with a neighbour.
  if (n == 1) {
    leafValue[1] = leafValue[0] <= 127 ? leafValue[0] + 1 : leafValue[0] - 1;
    leafWeight[1] = 1;
    n = 2;
  }

  const int total = 2 * n - 1;
  *nodeCount = total;
  HGMRNCODENODE* nodes =
      static_cast<HGMRNCODENODE*>(tavel::GateMalloc(static_cast<size_t>(total) *
                                                    sizeof(HGMRNCODENODE)));
  if (nodes == nullptr) return nullptr;
  memset(nodes, 0, static_cast<size_t>(total) * sizeof(HGMRNCODENODE));
  for (int i = 0; i < total; ++i) {
    nodes[i].lchild = -1;
    nodes[i].rchild = -1;
    nodes[i].parent = -1;
    nodes[i].codeLen = 0;
    if (i < n) {
      nodes[i].weight = leafWeight[i];
      nodes[i].value = static_cast<uint16_t>(leafValue[i]);
    } else {
      nodes[i].value = static_cast<uint16_t>(256 + (i - n));
    }
  }

  for (int q = n; q < total; ++q) {
    int first = -1;
    int second = -1;
    GetMinTreeNode(nodes, q, &first, &second);
    if (first < 0 || second < 0) {  // cannot happen: q - n + 2 nodes are free
      free(nodes);
      return nullptr;
    }
    nodes[first].parent = q;
    nodes[second].parent = q;
    // Only the root can pass INT_MAX (a single value filling a whole int-sized
    // input, plus the added leaf), and the root is never compared.
    int64_t sum = static_cast<int64_t>(nodes[first].weight) + nodes[second].weight;
    nodes[q].weight = sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
    nodes[q].lchild = first;
    nodes[q].rchild = second;
  }

  // Codes: collect the edges from the leaf up, then store them root first.
  // The depth of a tree of at most 256 leaves is below the code capacity.
  for (int i = 0; i < n; ++i) {
    unsigned char edges[sizeof(HGMRNCODENODE::code)];
    int len = 0;
    int node = i;
    while (nodes[node].parent != -1 && len < kCodeCapacity) {
      int p = nodes[node].parent;
      edges[len++] = nodes[p].lchild == node ? 0 : 1;
      node = p;
    }
    nodes[i].codeLen = len;
    for (int b = 0; b < len; ++b) nodes[i].code[b] = edges[len - 1 - b];
  }
  return nodes;
}

void CHfmCode::GetMinTreeNode(HGMRNCODENODE* nodes, int count, int* first, int* second) {
  int a = -1;
  for (int i = 0; i < count; ++i) {
    if (nodes[i].parent != -1) continue;
    if (a < 0 || nodes[i].weight < nodes[a].weight) a = i;
  }
  int b = -1;
  for (int i = 0; i < count; ++i) {
    if (i == a || nodes[i].parent != -1) continue;
    if (b < 0 || nodes[i].weight < nodes[b].weight) b = i;
  }
  if (first != nullptr) *first = a;
  if (second != nullptr) *second = b;
}

// The walks stop at the first index outside [0, limit), at more than limit
// values and at a depth above limit, so a malformed array (a cycle, a stray
// index) ends the walk instead of recursing without end.
bool CHfmCode::WalkPreorder(const HGMRNCODENODE* nodes, int limit, int index,
                            unsigned short* out, int* count, int depth) {
  if (index < 0 || index >= limit || depth > limit || *count >= limit) return false;
  const HGMRNCODENODE& node = nodes[index];
  out[(*count)++] = node.value;
  if (node.lchild != -1 && !WalkPreorder(nodes, limit, node.lchild, out, count, depth + 1))
    return false;
  if (node.rchild != -1 && !WalkPreorder(nodes, limit, node.rchild, out, count, depth + 1))
    return false;
  return true;
}

bool CHfmCode::WalkInorder(const HGMRNCODENODE* nodes, int limit, int index, unsigned short* out,
                           int* count, int depth) {
  if (index < 0 || index >= limit || depth > limit) return false;
  const HGMRNCODENODE& node = nodes[index];
  if (node.lchild != -1 && !WalkInorder(nodes, limit, node.lchild, out, count, depth + 1))
    return false;
  if (*count >= limit) return false;
  out[(*count)++] = node.value;
  if (node.rchild != -1 && !WalkInorder(nodes, limit, node.rchild, out, count, depth + 1))
    return false;
  return true;
}

void CHfmCode::TreePreorder(HGMRNCODENODE* nodes, int index, unsigned short* out, int* count) {
  if (nodes == nullptr || out == nullptr || count == nullptr) return;
  if (!WalkPreorder(nodes, kMaxNodes, index, out, count, 0)) *count = -1;
}

void CHfmCode::TreeMiddleorder(HGMRNCODENODE* nodes, int index, unsigned short* out, int* count) {
  if (nodes == nullptr || out == nullptr || count == nullptr) return;
  if (!WalkInorder(nodes, kMaxNodes, index, out, count, 0)) *count = -1;
}

unsigned short* CHfmCode::GetTreePreorder(HGMRNCODENODE* nodes, int nodeCount) {
  if (nodes == nullptr || nodeCount <= 0 || nodeCount > kMaxNodes) return nullptr;
  unsigned short* out =
      static_cast<unsigned short*>(tavel::GateMalloc(static_cast<size_t>(nodeCount) *
                                                     sizeof(unsigned short)));
  if (out == nullptr) return nullptr;
  int count = 0;
  if (!WalkPreorder(nodes, nodeCount, nodeCount - 1, out, &count, 0) || count != nodeCount) {
    free(out);
    return nullptr;
  }
  return out;
}

unsigned short* CHfmCode::GetTreeMiddleorder(HGMRNCODENODE* nodes, int nodeCount) {
  if (nodes == nullptr || nodeCount <= 0 || nodeCount > kMaxNodes) return nullptr;
  unsigned short* out =
      static_cast<unsigned short*>(tavel::GateMalloc(static_cast<size_t>(nodeCount) *
                                                     sizeof(unsigned short)));
  if (out == nullptr) return nullptr;
  int count = 0;
  if (!WalkInorder(nodes, nodeCount, nodeCount - 1, out, &count, 0) || count != nodeCount) {
    free(out);
    return nullptr;
  }
  return out;
}

namespace {

// Codes by byte value; only leaves with a usable code take part, so that a
// byte without one fails the coding instead of coding garbage.
void CodesByValue(const HGMRNCODENODE* nodes, int nodeCount, PackedCode (&codes)[256]) {
  const int leaves = (nodeCount + 1) / 2;
  for (int i = 0; i < leaves; ++i) {
    const HGMRNCODENODE& leaf = nodes[i];
    if (leaf.value >= 256 || leaf.codeLen < 1 || leaf.codeLen > kCodeCapacity) continue;
    PackedCode& code = codes[leaf.value];
    code = PackedCode{};
    code.length = leaf.codeLen;
    for (int b = 0; b < leaf.codeLen; ++b)
      code.words[b / 32] = (code.words[b / 32] << 1) | (leaf.code[b] != 0 ? 1u : 0u);
  }
}

// Each row's size in bits, or false for a byte without a code. 64-bit: a
// wide page at up to 258 bits per byte does not fit an int.
bool RowBits(const PackedCode* codes, const unsigned char* data, size_t rowCount,
             size_t rowSize, int64_t* rowBits) {
  for (size_t r = 0; r < rowCount; ++r) {
    const unsigned char* row = data + r * rowSize;
    int64_t bits = 0;
    for (size_t c = 0; c < rowSize; ++c) {
      const int length = codes[row[c]].length;
      if (length == 0) return false;
      bits += length;
    }
    rowBits[r] = bits;
  }
  return true;
}

// Segments of whole rows: a row that brings the running total to the limit
// closes the rows before it and starts the next segment. Returns the number
// of segments planned (at least one, at most rowCount).
size_t PlanSegments(const int64_t* rowBits, size_t rowCount, int maxPacket, SegmentPlan* plan) {
  const int64_t limit = (static_cast<int64_t>(maxPacket) - 1) * 8;
  size_t segs = 0;
  int64_t running = 0;
  for (size_t r = 0; r < rowCount; ++r) {
    running += rowBits[r];
    if (r != 0 && running >= limit) {
      plan[segs++] = SegmentPlan{running - rowBits[r], r};
      running = rowBits[r];
    }
  }
  plan[segs++] = SegmentPlan{running, rowCount};
  return segs;
}

// The bytes all segments take together, or false when one of them could
// not report its length as an int32 or the count does not fit an int.
bool PackedSize(const SegmentPlan* plan, size_t segs, uint64_t* packedBytes) {
  *packedBytes = 0;
  for (size_t s = 0; s < segs; ++s) {
    const int64_t length = (plan[s].bits + 7) / 8 + 1;
    if (length > INT32_MAX) return false;
    *packedBytes += static_cast<uint64_t>(length);
  }
  return segs <= static_cast<size_t>(INT_MAX) && *packedBytes <= SIZE_MAX;
}

// Each segment into the block: its fill-bit count, its rows' codes, and as
// fill bits the first bits of the code stream after it (zero after the last
// segment).
void PackSegments(const PackedCode* codes, const unsigned char* data, size_t rowSize,
                  size_t inputBytes, const SegmentPlan* plan, size_t segs,
                  HFMCODESEGMENT* entries, unsigned char* out) {
  size_t row = 0;
  for (size_t s = 0; s < segs; ++s) {
    const int64_t bytes = (plan[s].bits + 7) / 8;
    out[0] = static_cast<unsigned char>(8 * bytes - plan[s].bits);
    BitPacker packer(out + 1);
    const size_t from = row * rowSize;
    const size_t to = plan[s].endRow * rowSize;
    for (size_t i = from; i < to; ++i) packer.Put(codes[data[i]]);
    if (packer.Pending() != 0) {
      const int need = 8 - packer.Pending();
      packer.Put(LeadingBits(codes, data, to, inputBytes, need), need);
    }
    entries[s].data = out;
    entries[s].length = static_cast<int32_t>(bytes + 1);
    out += bytes + 1;
    row = plan[s].endRow;
  }
}

}  // namespace

HFMCODESEGMENT* CHfmCode::HFMDGencoding(HGMRNCODENODE* nodes, int nodeCount, unsigned char* data,
                                        int rowBytes, int rows, int maxPacket,
                                        int* segmentCount) {
  if (nodes == nullptr || data == nullptr || segmentCount == nullptr) return nullptr;
  if (nodeCount <= 0 || nodeCount > kMaxNodes || rowBytes <= 0 || rows <= 0) return nullptr;
  const size_t rowCount = static_cast<size_t>(rows);
  const size_t rowSize = static_cast<size_t>(rowBytes);
  if (rowCount > SIZE_MAX / rowSize) return nullptr;
  const size_t inputBytes = rowCount * rowSize;

  PackedCode codes[256] = {};
  CodesByValue(nodes, nodeCount, codes);
  CHeapPtr<int64_t> rowBits(static_cast<int64_t*>(tavel::GateMalloc(rowCount * sizeof(int64_t))));
  if (!rowBits || !RowBits(codes, data, rowCount, rowSize, rowBits.get())) return nullptr;

  CHeapPtr<SegmentPlan> plan(
      static_cast<SegmentPlan*>(tavel::GateCalloc(rowCount, sizeof(SegmentPlan))));
  if (!plan) return nullptr;
  const size_t segs = PlanSegments(rowBits.get(), rowCount, maxPacket, plan.get());
  // Every segment must report its length as an int32, the count as an int,
  // and all of them must fit one block.
  uint64_t packedBytes = 0;
  if (!PackedSize(plan.get(), segs, &packedBytes)) return nullptr;

  CHeapPtr<HFMCODESEGMENT> table(
      static_cast<HFMCODESEGMENT*>(tavel::GateMalloc(segs * sizeof(HFMCODESEGMENT))));
  CHeapPtr<unsigned char> block(
      static_cast<unsigned char*>(tavel::GateMalloc(static_cast<size_t>(packedBytes))));
  if (!table || !block) return nullptr;
  PackSegments(codes, data, rowSize, inputBytes, plan.get(), segs, table.get(), block.get());

  *segmentCount = static_cast<int>(segs);
  block.release();
  return table.release();
}
