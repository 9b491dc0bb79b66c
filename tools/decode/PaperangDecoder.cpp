#include "PaperangDecoder.h"

#include <zlib.h>

#include <cstring>

#include "Explain.h"
#include "Huffman.h"

namespace {

// Every packet's CRC-32 is continued from this value rather than from 0.
constexpr uint32_t kCrcKey = 0x4C1D7E93;

enum Command : uint8_t {
  kFeed = 0x16,
  kBitmap = 0x1B,
  kBeginPrinting = 0x19,
  kEndPrinting = 0x1A,
  kTree = 0x1C,
  kPaperLocate = 0x21,
};

struct PageState {
  bool open = false;
  size_t openedAt = 0;
  bool haveTree = false;
  HuffmanTree tree;
  uint32_t nextSegment = 0;
  uint32_t rowBytes = 0;
  Page page;
};

bool Tree(Stream& s, size_t at, const uint8_t* p, size_t n, PageState& st, std::string& text) {
  const size_t m = n - 5;
  if (m % 4 != 0) return s.Fail(at, Format("Huffman tree of %zu bytes, not a whole number of node pairs", m));
  const size_t count = m / 4;
  std::vector<uint16_t> pre(count), in(count);
  for (size_t i = 0; i < count; ++i) {
    pre[i] = uint16_t(p[5 + 2 * i] | p[6 + 2 * i] << 8);
    in[i] = uint16_t(p[5 + 2 * (count + i)] | p[6 + 2 * (count + i)] << 8);
  }
  std::string err;
  if (!st.tree.Build(pre, in, err)) return s.Fail(at, "bad Huffman tree: " + err);
  st.haveTree = true;
  text = Format("Huffman tree: %zu nodes, %zu leaves", count, st.tree.Leaves());
  return true;
}

bool Bitmap(Stream& s, size_t at, const uint8_t* p, size_t n, PageState& st, std::string& text) {
  auto le16 = [&](size_t i) { return uint32_t(p[i] | p[i + 1] << 8); };
  if (n < 18) return s.Fail(at, Format("bitmap payload of %zu bytes is shorter than its 17-byte head and one segment byte", n));
  const uint32_t k = le16(15);
  if (k != n - 17) return s.Fail(at + 15, Format("bitmap segment length %u, but the packet holds %zu", k, n - 17));
  if (le16(7) != k + 8) return s.Fail(at + 7, Format("bitmap inner length %u, expected %u", le16(7), k + 8));
  if (p[9] != 0x01) return s.Fail(at + 9, Format("bitmap byte 9 is 0x%02X, expected 01", p[9]));
  if (p[12] != 0 || p[13] != 0) return s.Fail(at + 12, "bitmap bytes 12-13 are not 00 00");
  if (p[14] != 0x01) return s.Fail(at + 14, Format("bitmap flag 0x%02X: only Huffman-coded data (01) is known", p[14]));
  const uint32_t index = le16(5), rowBytes = le16(10);
  if (!st.haveTree) return s.Fail(at, "bitmap packet before the page's Huffman tree");
  if (index != st.nextSegment)
    return s.Fail(at + 5, Format("bitmap segment %u where segment %u was due", index, st.nextSegment));
  if (rowBytes == 0) return s.Fail(at + 10, "bitmap row width 0");
  if (st.rowBytes && rowBytes != st.rowBytes)
    return s.Fail(at + 10, Format("bitmap row width %u changes from %u within the page", rowBytes, st.rowBytes));
  const uint8_t* seg = p + 17;
  uint64_t bits = 0;
  if (!HuffmanTree::SegmentBits(seg, k, bits))
    return s.Fail(at + 17, Format("segment fill-bit count %u impossible for %u code bytes", unsigned(seg[0]), k - 1));
  std::vector<uint8_t> rows;
  std::string err;
  if (!st.tree.Decode(seg + 1, bits, rows, err))
    return s.Fail(at + 17, Format("Huffman code in segment %u does not decode: ", index) + err);
  if (rows.size() % rowBytes != 0)
    return s.Fail(at + 17, Format("segment %u decodes to %zu bytes, not whole rows of %u", index,
                                  rows.size(), rowBytes));
  const uint32_t count = uint32_t(rows.size() / rowBytes);
  if (!st.page.Stack(rowBytes, count, rows.data(), false, err)) return s.Fail(at, err);
  st.rowBytes = rowBytes;
  ++st.nextSegment;
  text = Format("bitmap segment %u: row width %u, %u coded bytes -> %u row%s", index, rowBytes, k, count, count == 1 ? "" : "s");
  NoteStacked(s, at - 4, Piece::kPacket, rowBytes, count);  // at the packet, 4 bytes before its payload
  return true;
}

// The frame around every payload: A5 01, the payload's length (LE16), the
// payload, its CRC-32 (LE32) and 5A. Sets n to the payload's length.
bool Frame(Stream& s, size_t pos, size_t& n) {
  if (s.data[pos] != 0xA5)
    return s.Fail(pos, Format("expected packet start A5, found 0x%02X", s.data[pos]));
  if (!s.Has(pos, 4)) return s.Cut(pos, "packet head cut short (truncated?)");
  if (s.data[pos + 1] != 0x01)
    return s.Fail(pos + 1, Format("bad frame: second byte 0x%02X, expected 01", s.data[pos + 1]));
  n = s.Le16(pos + 2);
  if (!s.Has(pos, 9 + uint64_t(n)))
    return s.Cut(pos, Format("packet of %zu payload bytes cut short: %zu of %zu bytes there "
                              "(truncated?)",
                              n, s.size - pos, n + 9));
  if (s.data[pos + 8 + n] != 0x5A)
    return s.Fail(pos + 8 + n,
                  Format("bad frame: end byte 0x%02X, expected 5A", s.data[pos + 8 + n]));
  const uint32_t stored = s.Le32(pos + 4 + n);
  const uint32_t actual = uint32_t(crc32(kCrcKey, s.data + pos + 4, uInt(n)));
  if (stored != actual)
    return s.Fail(pos + 4 + n,
                  Format("bad CRC: packet says %08X, payload gives %08X", stored, actual));
  return true;
}

// The payload's command head: 05, the command byte, 03, and the length of
// the rest (LE16), which must be what the frame holds after the head.
bool CommandHead(Stream& s, size_t at, const uint8_t* p, size_t n) {
  if (n < 5) return s.Fail(at, Format("payload of %zu bytes is shorter than a command head", n));
  if (p[0] != 0x05 || p[2] != 0x03)
    return s.Fail(at, "payload does not start with 05 xx 03: " + Hex(p, n, 5));
  const uint32_t rest = p[3] | p[4] << 8;
  if (rest != n - 5)
    return s.Fail(at + 3, Format("command length %u, but the payload holds %zu after its head",
                                 rest, n - 5));
  return true;
}

// The command of a packet that starts at start, after its head has been
// checked: its payload p of n bytes is at offset at. text gets its listing line.
bool Command(Stream& s, size_t start, size_t at, const uint8_t* p, size_t n, PageState& st,
             std::string& text) {
  const uint32_t rest = uint32_t(n - 5);  // argument bytes after the head
  const uint8_t cmd = p[1];
  auto needRest = [&](size_t want, const char* name) {
    if (rest == want) return true;
    return s.Fail(at + 3, Format("%s with %u argument bytes, expected %zu", name, rest, want));
  };
  auto needPage = [&](bool open, const char* name) {
    if (st.open == open) return true;
    return s.Fail(start, Format(open ? "%s outside a page (no begin printing)"
                                     : "%s inside the page begun at offset %zu",
                                name, st.openedAt));
  };
  switch (cmd) {
    case kBeginPrinting:
      if (!needRest(0, "begin printing") || !needPage(false, "begin printing")) return false;
      st = PageState();
      st.open = true;
      st.openedAt = start;
      text = "begin printing";
      Note(s, start, Act::kBeginPage);
      break;
    case kEndPrinting:
      if (!needRest(0, "end printing") || !needPage(true, "end printing")) return false;
      text = Format("end printing  -> page %zu", s.pageSizes.size() + 1);
      Note(s, start, Act::kPrint);
      s.AddPage(std::move(st.page));
      st = PageState();
      break;
    case kFeed:
      if (!needRest(2, "feed")) return false;
      text = Format("feed %u", p[5] | p[6] << 8);
      Note(s, start, Act::kPaperFeed, p[5] | p[6] << 8);
      break;
    case kPaperLocate: {
      if (!needRest(4, "paper locate")) return false;
      const uint32_t amount = uint32_t(p[5] | p[6] << 8 | p[7] << 16 | uint32_t(p[8]) << 24);
      text = Format("paper locate %u", amount);
      Note(s, start, Act::kPaperLocate, amount);
      break;
    }
    case kTree:
      if (!needPage(true, "Huffman tree") || !Tree(s, at, p, n, st, text)) return false;
      Note(s, start, Act::kCodeTable, int64_t((n - 5) / 4));
      break;
    case kBitmap:
      if (!needPage(true, "bitmap") || !Bitmap(s, at, p, n, st, text)) return false;
      break;
    default:
      return s.Fail(at + 1, Format("unknown command byte 0x%02X", cmd));
  }
  return true;
}

}  // namespace

bool DecodePaperang(Stream& s) {
  PageState st;
  size_t pos = 0;
  while (pos < s.size) {
    const size_t start = pos;
    size_t n = 0;
    if (!Frame(s, pos, n)) return false;
    const size_t at = pos + 4;  // payload offsets are relative to this
    const uint8_t* p = s.data + at;
    std::string text;
    static const uint8_t kBatteryQuery[] = {0x01, 0x0B, 0x01, 0x00, 0x00};  // system domain, battery, request
    if (n == sizeof kBatteryQuery && std::memcmp(p, kBatteryQuery, n) == 0) {
      text = "status query battery";
      Note(s, start, Act::kStatusQuery);
    } else if (!CommandHead(s, at, p, n) || !Command(s, start, at, p, n, st, text)) {
      return false;
    }
    s.Item(start, text + Format(" (payload %zu bytes, CRC ok)", n));
    pos += 9 + n;
  }
  if (st.open)
    return s.Fail(s.size, Format("stream ends inside the page begun at offset %zu, no end printing "
                                 "(truncated?)",
                                 st.openedAt));
  return true;
}
