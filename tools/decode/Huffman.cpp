#include "Huffman.h"

#include "Stream.h"

namespace {
// 256 leaves make at most 511 nodes; this also bounds the recursion below.
constexpr size_t kMaxNodes = 511;
constexpr int kError = -2;
}  // namespace

bool HuffmanTree::Build(const std::vector<uint16_t>& preorder, const std::vector<uint16_t>& inorder,
                        std::string& err) {
  nodes_.clear();
  root_ = -1;
  const size_t n = preorder.size();
  if (n != inorder.size()) {
    err = "preorder and inorder differ in length";
    return false;
  }
  if (n < 3 || n > kMaxNodes || n % 2 == 0) {
    err = Format("a tree of %zu nodes cannot be a code tree (odd count, 3 to 511)", n);
    return false;
  }
  inPos_.assign(65536, -1);
  for (size_t i = 0; i < n; ++i) {
    if (inPos_[inorder[i]] >= 0) {
      err = Format("node value %u appears twice in the inorder sequence", inorder[i]);
      return false;
    }
    inPos_[inorder[i]] = int(i);
  }
  pre_ = &preorder;
  next_ = 0;
  int root = BuildRange(0, n, err);
  pre_ = nullptr;
  if (root < 0) return false;
  root_ = root;
  return true;
}

// The next preorder value is the root of the subtree whose inorder values
// are [lo, hi); its position in the inorder sequence splits the range into
// the left and the right subtree.
int HuffmanTree::BuildRange(size_t lo, size_t hi, std::string& err) {
  if (lo == hi) return -1;
  const uint16_t v = (*pre_)[next_++];
  const int k = inPos_[v];
  if (k < int(lo) || k >= int(hi)) {
    err = Format("preorder value %u does not fit the inorder sequence", v);
    return kError;
  }
  const int self = int(nodes_.size());
  nodes_.push_back(Node{-1, -1, v});
  const int left = BuildRange(lo, size_t(k), err);
  if (left == kError) return kError;
  const int right = BuildRange(size_t(k) + 1, hi, err);
  if (right == kError) return kError;
  if (v < 256 && (left >= 0 || right >= 0)) {
    err = Format("leaf value %u has children", v);
    return kError;
  }
  if (v >= 256 && (left < 0 || right < 0)) {
    err = Format("inner node %u lacks a child", v);
    return kError;
  }
  nodes_[self].left = left;
  nodes_[self].right = right;
  return self;
}

bool HuffmanTree::Decode(const uint8_t* data, uint64_t bits, std::vector<uint8_t>& out,
                         std::string& err) const {
  if (root_ < 0) {
    err = "no code tree";
    return false;
  }
  int node = root_;
  uint64_t codeStart = 0;
  for (uint64_t i = 0; i < bits; ++i) {
    const bool one = (data[i / 8] >> (7 - i % 8)) & 1;
    node = one ? nodes_[node].right : nodes_[node].left;
    if (nodes_[node].left < 0) {  // a leaf
      out.push_back(uint8_t(nodes_[node].value));
      node = root_;
      codeStart = i + 1;
    }
  }
  if (node != root_) {
    err = Format("code bits end inside a code (started at bit %llu of %llu)",
                 (unsigned long long)codeStart, (unsigned long long)bits);
    return false;
  }
  return true;
}

bool HuffmanTree::SegmentBits(const uint8_t* seg, size_t n, uint64_t& bits) {
  if (n == 0) return false;
  const unsigned fill = seg[0];
  const uint64_t whole = uint64_t(n - 1) * 8;
  if (fill > 7 || fill > whole) return false;
  bits = whole - fill;
  return true;
}
