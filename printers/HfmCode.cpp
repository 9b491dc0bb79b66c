// Huffman coder for the Paperang bitmap packets; see HfmCode.h.
#include "printers/HfmCode.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

const int kCodeCapacity = static_cast<int>(sizeof(HGMRNCODENODE::code));

// Packs the b bit-bytes at bits into out: a fill-bit count byte, then the
// bits eight to a byte, first bit in the MSB. Reads 8 x ceil(b / 8) bit-bytes.
// out may equal bits when b >= 2: every byte is written only after the eight
// bit-bytes it is made from were read, and the k + 1 bytes written stay
// inside the segment's own b bit-bytes.
void PackSegment(const unsigned char* bits, int64_t b, unsigned char* out) {
  const int64_t k = (b + 7) / 8;
  for (int64_t j = 0; j < k; ++j) {
    const unsigned char* src = bits + 8 * j;
    unsigned value = 0;
    for (int t = 0; t < 8; ++t) value = (value << 1) | (src[t] != 0 ? 1u : 0u);
    out[1 + j] = static_cast<unsigned char>(value);
  }
  out[0] = static_cast<unsigned char>(8 * k - b);
}

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
      static_cast<HGMRNCODENODE*>(malloc(static_cast<size_t>(total) * sizeof(HGMRNCODENODE)));
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
      static_cast<unsigned short*>(malloc(static_cast<size_t>(nodeCount) * sizeof(unsigned short)));
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
      static_cast<unsigned short*>(malloc(static_cast<size_t>(nodeCount) * sizeof(unsigned short)));
  if (out == nullptr) return nullptr;
  int count = 0;
  if (!WalkInorder(nodes, nodeCount, nodeCount - 1, out, &count, 0) || count != nodeCount) {
    free(out);
    return nullptr;
  }
  return out;
}

HFMCODESEGMENT* CHfmCode::HFMDGencoding(HGMRNCODENODE* nodes, int nodeCount, unsigned char* data,
                                        int rowBytes, int rows, int maxPacket,
                                        int* segmentCount) {
  if (nodes == nullptr || data == nullptr || segmentCount == nullptr) return nullptr;
  if (nodeCount <= 0 || nodeCount > kMaxNodes || rowBytes <= 0 || rows <= 0) return nullptr;

  // Leaf lookup by value; only leaves with a usable code take part, so a byte
  // without one fails the call instead of coding garbage.
  const int leaves = (nodeCount + 1) / 2;
  int leafOf[256];
  for (int v = 0; v < 256; ++v) leafOf[v] = -1;
  for (int i = 0; i < leaves; ++i) {
    const HGMRNCODENODE& leaf = nodes[i];
    if (leaf.value < 256 && leaf.codeLen >= 1 && leaf.codeLen <= kCodeCapacity)
      leafOf[leaf.value] = i;
  }

  // Row sizes in bits, then segment sizes in bits. 64-bit: a wide page at
  // up to 258 bits per byte does not fit an int.
  const size_t rowCount = static_cast<size_t>(rows);
  int64_t* rowBits = static_cast<int64_t*>(malloc(2 * rowCount * sizeof(int64_t)));
  if (rowBits == nullptr) return nullptr;
  int64_t* segBits = rowBits + rowCount;
  memset(rowBits, 0, 2 * rowCount * sizeof(int64_t));

  const size_t inputBytes = rowCount * static_cast<size_t>(rowBytes);
  int64_t totalBits = 0;
  for (size_t r = 0; r < rowCount; ++r) {
    const unsigned char* row = data + r * static_cast<size_t>(rowBytes);
    int64_t bits = 0;
    for (int c = 0; c < rowBytes; ++c) {
      int leaf = leafOf[row[c]];
      if (leaf < 0) {
        free(rowBits);
        return nullptr;
      }
      bits += nodes[leaf].codeLen;
    }
    rowBits[r] = bits;
    totalBits += bits;
  }

  // One byte per code bit, and 8 zero bytes after the last bit so that the
  // last byte of the last segment packs zero fill bits.
  unsigned char* bitString = static_cast<unsigned char*>(calloc(static_cast<size_t>(totalBits) + 8, 1));
  if (bitString == nullptr) {
    free(rowBits);
    return nullptr;
  }
  {
    unsigned char* p = bitString;
    for (size_t i = 0; i < inputBytes; ++i) {
      const HGMRNCODENODE& leaf = nodes[leafOf[data[i]]];
      memcpy(p, leaf.code, static_cast<size_t>(leaf.codeLen));
      p += leaf.codeLen;
    }
  }

  // Segments of whole rows: a row that brings the running total to the limit
  // closes the rows before it and starts the next segment.
  const int64_t limit = (static_cast<int64_t>(maxPacket) - 1) * 8;
  size_t segs = 0;
  int64_t running = 0;
  for (size_t r = 0; r < rowCount; ++r) {
    running += rowBits[r];
    if (r != 0 && running >= limit) {
      segBits[segs++] = running - rowBits[r];
      running = rowBits[r];
    }
  }
  segBits[segs++] = running;

  // Every segment must report its length as an int32 and the count as an int.
  bool inPlace = true;
  int64_t packedBytes = 0;
  for (size_t s = 0; s < segs; ++s) {
    const int64_t length = (segBits[s] + 7) / 8 + 1;
    if (length > INT32_MAX) {
      free(bitString);
      free(rowBits);
      return nullptr;
    }
    if (segBits[s] < 2) inPlace = false;
    packedBytes += length;
  }

  HFMCODESEGMENT* table = static_cast<HFMCODESEGMENT*>(malloc(segs * sizeof(HFMCODESEGMENT)));
  if (table == nullptr) {
    free(bitString);
    free(rowBits);
    return nullptr;
  }

  // Packing in place needs at least 2 bits in every segment (the fill-bit
  // byte plus the packed bytes must not reach into the next segment). Rows
  // of one byte can give one-bit segments; those are packed into a block of
  // their own instead, with the same bytes as a result.
  unsigned char* block = bitString;
  if (!inPlace) {
    block = static_cast<unsigned char*>(malloc(static_cast<size_t>(packedBytes)));
    if (block == nullptr) {
      free(table);
      free(bitString);
      free(rowBits);
      return nullptr;
    }
  }
  int64_t bitOffset = 0;
  int64_t outOffset = 0;
  for (size_t s = 0; s < segs; ++s) {
    unsigned char* out = block + (inPlace ? bitOffset : outOffset);
    PackSegment(bitString + bitOffset, segBits[s], out);
    table[s].data = out;
    table[s].length = static_cast<int32_t>((segBits[s] + 7) / 8 + 1);
    bitOffset += segBits[s];
    outOffset += table[s].length;
  }
  if (!inPlace) free(bitString);

  *segmentCount = static_cast<int>(segs);
  free(rowBits);
  return table;
}
