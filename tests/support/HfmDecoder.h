// Test-side Huffman decoder: rebuilds the code tree from the preorder and
// inorder node values (leaves below 256) the way the printer does, and
// decodes coded segments (fill-bit count byte, then bits MSB first).
#pragma once

#include <cstdint>
#include <map>
#include <vector>

struct HfmDecoder {
  struct Node {
    int value;
    int left = -1, right = -1;
  };
  std::vector<Node> nodes;
  int root = -1;

  using Values = std::vector<unsigned short>;
  using Bytes = std::vector<uint8_t>;

  bool Build(const Values& pre, const Values& in) {
    if (pre.size() != in.size() || pre.empty()) return false;
    std::map<int, size_t> inPos;
    for (size_t i = 0; i < in.size(); ++i) inPos[in[i]] = i;
    size_t next = 0;
    bool ok = true;
    root = Rebuild(pre, inPos, &next, 0, in.size(), &ok);
    return ok && next == pre.size();
  }
  int Rebuild(const Values& pre, const std::map<int, size_t>& inPos, size_t* next, size_t lo,
              size_t hi, bool* ok) {
    if (lo >= hi || !*ok) return -1;
    int value = pre[(*next)++];
    auto it = inPos.find(value);
    if (it == inPos.end() || it->second < lo || it->second >= hi) {
      *ok = false;
      return -1;
    }
    int me = static_cast<int>(nodes.size());
    nodes.push_back({value});
    int l = Rebuild(pre, inPos, next, lo, it->second, ok);
    int r = Rebuild(pre, inPos, next, it->second + 1, hi, ok);
    nodes[me].left = l;
    nodes[me].right = r;
    return me;
  }

  // Decodes one segment; false if its bits do not end on a code boundary.
  bool Decode(const Bytes& seg, Bytes* out) const {
    if (seg.empty() || seg[0] > 7) return false;
    long bits = 8L * static_cast<long>(seg.size() - 1) - seg[0];
    if (bits < 0) return false;
    int at = root;
    for (long i = 0; i < bits; ++i) {
      int bit = (seg[1 + i / 8] >> (7 - i % 8)) & 1;
      at = bit ? nodes[at].right : nodes[at].left;
      if (at < 0) return false;
      if (nodes[at].left < 0 && nodes[at].right < 0) {
        if (nodes[at].value > 255) return false;
        out->push_back(static_cast<uint8_t>(nodes[at].value));
        at = root;
      }
    }
    return at == root;
  }
};
