// Huffman decoding for Paperang bitmaps: the tree comes as its preorder
// and inorder sequences of 16-bit node values (leaves are byte values
// below 256, inner nodes 256 and up); a left edge is code bit 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class HuffmanTree {
 public:
  // Rebuilds the tree; fails when the two sequences do not describe one
  // full binary tree with byte-valued leaves.
  bool Build(const std::vector<uint16_t>& preorder, const std::vector<uint16_t>& inorder,
             std::string& err);
  // Appends the bytes coded by the first `bits` bits of data (MSB first)
  // to out. Fails when the bits end inside a code.
  bool Decode(const uint8_t* data, uint64_t bits, std::vector<uint8_t>& out, std::string& err) const;
  size_t Leaves() const { return (nodes_.size() + 1) / 2; }

  // A coded segment is one byte with the number of fill bits (0 to 7) at
  // the end of its last byte, then the code bits. Gives the number of code
  // bits in the n bytes at seg; fails when n is 0 or the count is impossible.
  static bool SegmentBits(const uint8_t* seg, size_t n, uint64_t& bits);

 private:
  struct Node {
    int left = -1, right = -1;
    uint16_t value = 0;
  };
  int BuildRange(size_t lo, size_t hi, std::string& err);

  std::vector<Node> nodes_;
  int root_ = -1;
  // Build state.
  const std::vector<uint16_t>* pre_ = nullptr;
  size_t next_ = 0;
  std::vector<int> inPos_;
};
