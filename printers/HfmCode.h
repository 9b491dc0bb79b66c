// CHfmCode: Huffman coder for the Paperang bitmap packets.
//
// It builds one Huffman code over the byte values of a whole page, hands the
// tree out as two traversals of 16-bit node values (preorder and inorder; the
// printer rebuilds the tree from the pair), and codes the page row by row
// into segments of whole rows that each fit one packet.
//
// Relies on: the tree shape is fixed by the selection rule of GetMinTreeNode
// (lightest first, lowest index on ties; the first pick goes left), because
// the printer only sees the traversals. Leaf values are the byte values
// 0..255, inner values 256 and up, so values name nodes uniquely.
//
// The class has no state. Every array it returns is taken with malloc and
// released by the caller with free. Failures are null results.
#pragma once

#include <cstdint>

struct HGMRNCODENODE {
  int32_t weight;  // leaf: occurrences of its value; inner: sum of children
  int32_t lchild;  // -1 for a leaf; the left edge is code bit 0
  int32_t rchild;  // -1 for a leaf; the right edge is code bit 1
  int32_t parent;  // -1 for the root and for nodes not yet joined
  int32_t codeLen;  // leaf: bits in code; inner: 0
  uint16_t value;   // leaf: byte value; inner: 256 + (index - leaves)
  unsigned char code[258];  // leaf: one byte (0 or 1) per bit, root first
};

// One coded segment: a fill-bit count byte (0..7 unused low bits in the last
// byte), then the code bits packed eight to a byte, first bit in the MSB.
struct HFMCODESEGMENT {
  unsigned char* data;
  int32_t length;  // bytes, the count byte included
};

class CHfmCode {
 public:
  // A tree over byte values has at most 256 leaves, so 511 nodes.
  static const int kMaxNodes = 511;

  CHfmCode() {}
  ~CHfmCode() {}

  // Builds the code tree over length bytes of data. Writes the node count
  // (2n - 1 for n leaves, the root last) and returns the node array, or null
  // for no data or no memory. The two trailing arguments are reserved; the
  // filter passes 0 and 0 and they are ignored.
  HGMRNCODENODE* GetHfmTree(unsigned char* data, int length, int* nodeCount, int reserved1,
                            int reserved2);

  // Picks the two lightest parentless nodes among nodes[0..count-1]; ties go
  // to the lower index. Writes -1 where no node is left to pick.
  void GetMinTreeNode(HGMRNCODENODE* nodes, int count, int* first, int* second);

  // nodeCount node values in preorder (node, left, right) from the root at
  // nodeCount - 1. Null for a bad argument, no memory, or a node array that
  // is not one tree of exactly nodeCount nodes.
  unsigned short* GetTreePreorder(HGMRNCODENODE* nodes, int nodeCount);
  // Appends the values of the subtree at index to out and advances *count.
  // Assumes a tree of at most kMaxNodes nodes and room for that many values
  // in out; a walk that leaves those bounds stops and sets *count to -1.
  void TreePreorder(HGMRNCODENODE* nodes, int index, unsigned short* out, int* count);

  // The same in inorder (left, node, right).
  unsigned short* GetTreeMiddleorder(HGMRNCODENODE* nodes, int nodeCount);
  void TreeMiddleorder(HGMRNCODENODE* nodes, int index, unsigned short* out, int* count);

  // Codes rows x rowBytes bytes of data with the tree's codes into segments
  // of whole rows below (maxPacket - 1) x 8 bits each (a row that alone
  // reaches that limit gets a segment of its own). Writes the segment count
  // and returns the segment table; all segments lie in one block that starts
  // at the first segment's address, which the caller frees along with the
  // table. Null for bad arguments, a byte the tree has no code for, sizes
  // that do not fit, or no memory.
  HFMCODESEGMENT* HFMDGencoding(HGMRNCODENODE* nodes, int nodeCount, unsigned char* data,
                                int rowBytes, int rows, int maxPacket, int* segmentCount);

 private:
  bool WalkPreorder(const HGMRNCODENODE* nodes, int limit, int index, unsigned short* out,
                    int* count, int depth);
  bool WalkInorder(const HGMRNCODENODE* nodes, int limit, int index, unsigned short* out,
                   int* count, int depth);
};
