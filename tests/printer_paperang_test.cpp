// Paperang driver: packet bytes, CRCs, whole pages per media type, and a
// decode of a real page through the tree and bitmap packets.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "printers/PrinterPaperang.h"
#include "support/CaptureDriver.h"
#include "support/HexDump.h"
#include "tools/decode/Huffman.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Driver = CaptureDriver<CPrinterPaperang>;

const uint32_t kKey = 0x4C1D7E93u;

uint32_t ZlibCrc(const Bytes& payload) {
  // zlib answers 0 for a null buffer, so never hand it one.
  static const uint8_t none = 0;
  const uint8_t* p = payload.empty() ? &none : payload.data();
  return static_cast<uint32_t>(crc32(kKey, p, static_cast<uInt>(payload.size())));
}

Bytes Buffered(const CPrinterPaperang& d) {
  const uint8_t* p = d.m_packetBuffer.GetBuffer();
  return Bytes(p, p + d.m_packetBuffer.GetBufferLength());
}

// Splits a stream into payloads, checking every frame and its CRC (zlib,
// over the payload only).
::testing::AssertionResult SplitPackets(const Bytes& s, std::vector<Bytes>* payloads) {
  size_t at = 0;
  while (at < s.size()) {
    if (s.size() - at < 9) return ::testing::AssertionFailure() << "short packet at " << at;
    if (s[at] != 0xA5 || s[at + 1] != 0x01)
      return ::testing::AssertionFailure() << "bad packet start at " << at;
    size_t n = s[at + 2] | (s[at + 3] << 8);
    if (s.size() - at < 9 + n) return ::testing::AssertionFailure() << "truncated at " << at;
    Bytes payload(s.begin() + at + 4, s.begin() + at + 4 + n);
    const uint8_t* c = &s[at + 4 + n];
    uint32_t crc = c[0] | (c[1] << 8) | (c[2] << 16) | (static_cast<uint32_t>(c[3]) << 24);
    if (crc != ZlibCrc(payload)) return ::testing::AssertionFailure() << "bad CRC at " << at;
    if (s[at + 8 + n] != 0x5A) return ::testing::AssertionFailure() << "bad end byte at " << at;
    payloads->push_back(payload);
    at += 9 + n;
  }
  return ::testing::AssertionSuccess();
}

// A one-bit page (bit 1 white) from stored rows of the image's stride.
void LoadPage(Driver& d, uint32_t width, uint32_t height, const Bytes& rows) {
  const uint32_t stride = (width + 31) / 32 * 4;
  ASSERT_EQ(rows.size(), static_cast<size_t>(stride) * height);
  ASSERT_TRUE(d.m_image.CreateFromArray(rows.data(), width, height, 1, stride, false));
  d.AdjustEffWidthBits();
  d.m_resolution = 203;
}

Bytes RandomRows(uint32_t width, uint32_t height, unsigned seed) {
  const uint32_t stride = (width + 31) / 32 * 4;
  Bytes rows(static_cast<size_t>(stride) * height);
  std::mt19937 rng(seed);
  // Mostly white with dark runs, like a printed page.
  for (auto& b : rows) b = (rng() % 4 == 0) ? static_cast<uint8_t>(rng()) : 0xFF;
  return rows;
}

const char* kBegin = "A5 01 05 00 05 19 03 00 00 64 64 E1 74 5A";
const char* kEnd = "A5 01 05 00 05 1A 03 00 00 8A CB 54 66 5A";
const char* kLocate = "A5 01 09 00 05 21 03 04 00 64 00 00 00 B6 C1 2E B3 5A";
const char* kFeed = "A5 01 07 00 05 16 03 02 00 00 00 A2 17 C8 51 5A";
// The white 32 x 1 page, inverted to four 00 bytes.
const char* kWhiteTree =
    "A5 01 11 00 05 1C 03 0C 00 00 01 01 00 00 00 01 00 00 01 00 00 63 C1 9D 71 5A";
const char* kWhiteBitmap =
    "A5 01 13 00 05 1B 03 0E 00 00 00 0A 00 01 04 00 00 00 01 02 00 04 F0 93 3E BC 24 5A";

// ---------------------------------------------------------------------------

struct CommandCase {
  const char* name;
  std::function<bool(CPrinterPaperang&)> queue;
  std::string hex;
};

class PaperangCommand : public ::testing::TestWithParam<CommandCase> {};

TEST_P(PaperangCommand, Packet) {
  CPrinterPaperang d;
  EXPECT_TRUE(GetParam().queue(d));
  EXPECT_BYTES(FromHex(GetParam().hex), Buffered(d));
}

INSTANTIATE_TEST_SUITE_P(
    Packets, PaperangCommand,
    ::testing::Values(
        CommandCase{"begin", [](CPrinterPaperang& d) { return d.cmdBeginPrinting(); }, kBegin},
        CommandCase{"end", [](CPrinterPaperang& d) { return d.cmdEndPrinting(); }, kEnd},
        CommandCase{"locate100", [](CPrinterPaperang& d) { return d.cmdPaperLocate(100); },
                    kLocate},
        CommandCase{"feed0", [](CPrinterPaperang& d) { return d.cmdFeed(0); }, kFeed},
        CommandCase{"feedLowByteFirst",
                    [](CPrinterPaperang& d) { return d.cmdFeed(0x1234); },
                    "A5 01 07 00 05 16 03 02 00 34 12 1D 95 5B 19 5A"},
        CommandCase{"emptyPayload",
                    [](CPrinterPaperang& d) { return d.cmdChildClassPackage(nullptr, 0); },
                    // crc32(key, nothing) is the key itself.
                    "A5 01 00 00 93 7E 1D 4C 5A"}),
    [](const ::testing::TestParamInfo<CommandCase>& p) { return std::string(p.param.name); });

TEST(PaperangCrc, IsZlibCrcContinuedFromTheKey) {
  CPrinterPaperang d;
  std::mt19937 rng(7);
  for (size_t n : {0u, 1u, 5u, 17u, 255u, 1000u}) {
    Bytes payload(n);
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    EXPECT_EQ(d.MakeCrc32(payload.data(), static_cast<unsigned>(n)), ZlibCrc(payload)) << n;
  }
}

TEST(PaperangFrame, OversizedPayloadIsRefused) {
  CPrinterPaperang d;
  Bytes big(65536, 0x11);
  EXPECT_FALSE(d.cmdChildClassPackage(big.data(), static_cast<int>(big.size())));
  EXPECT_FALSE(d.cmdBitmap(0, true, big.data(), 65535 - 16));
  EXPECT_EQ(d.m_packetBuffer.GetBufferLength(), 0);
  EXPECT_TRUE(d.cmdChildClassPackage(big.data(), 65535));
  EXPECT_EQ(d.m_packetBuffer.GetBufferLength(), 65535 + 9);
}

// ---------------------------------------------------------------------------
// Whole pages: the white 32 x 1 page on every kind of media.

struct MediaCase {
  const char* name;
  int mediaType;
  std::vector<const char*> tail;  // packets after the bitmap
};

class PaperangMedia : public ::testing::TestWithParam<MediaCase> {};

TEST_P(PaperangMedia, WhitePageStream) {
  Driver d;
  d.m_reg.iMediaType = GetParam().mediaType;
  LoadPage(d, 32, 1, Bytes(4, 0xFF));
  d.PaintPage();
  std::string hex = std::string(kBegin) + " " + kWhiteTree + " " + kWhiteBitmap;
  for (const char* t : GetParam().tail) hex += std::string(" ") + t;
  ASSERT_EQ(d.writes.size(), 1u) << "one write per page";
  EXPECT_BYTES(FromHex(hex), d.writes[0]);
  EXPECT_EQ(d.m_packetBuffer.GetBufferLength(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Media, PaperangMedia,
    ::testing::Values(MediaCase{"continuous", 0, {kEnd, kFeed}},
                      MediaCase{"gap", 1, {kEnd, kLocate}},
                      MediaCase{"blackLine", 2, {kEnd, kLocate}},
                      MediaCase{"perforated", 3, {kEnd}}, MediaCase{"roll", 4, {kEnd, kFeed}},
                      MediaCase{"recording", 5, {kEnd}}, MediaCase{"tattoo", 6, {kEnd}},
                      MediaCase{"tattooWrinkle", 7, {kEnd}}),
    [](const ::testing::TestParamInfo<MediaCase>& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------
// A real page decodes back to the inverted image, and every bitmap packet
// carries its fields right.

struct DecodedPage {
  Bytes pixels;      // decoded rows, in order
  std::vector<int> indices;
  size_t packets = 0;
};

void DecodePage(const Bytes& stream, uint32_t effWidth, DecodedPage* out) {
  std::vector<Bytes> p;
  ASSERT_TRUE(SplitPackets(stream, &p));
  ASSERT_GE(p.size(), 4u);
  out->packets = p.size();
  EXPECT_BYTES(FromHex("05 19 03 00 00"), p.front());

  const Bytes& tree = p[1];
  ASSERT_EQ(Bytes(tree.begin(), tree.begin() + 3), FromHex("05 1C 03"));
  size_t m = tree[3] | (tree[4] << 8);
  ASSERT_EQ(tree.size(), 5 + m);
  ASSERT_EQ(m % 4, 0u);
  const size_t nodes = m / 4;
  std::vector<uint16_t> pre, in;
  for (size_t i = 0; i < nodes; ++i) {
    pre.push_back(static_cast<unsigned short>(tree[5 + 2 * i] | (tree[6 + 2 * i] << 8)));
    in.push_back(
        static_cast<unsigned short>(tree[5 + 2 * (nodes + i)] | (tree[6 + 2 * (nodes + i)] << 8)));
  }
  HuffmanTree huffman;
  std::string err;
  ASSERT_TRUE(huffman.Build(pre, in, err)) << err;

  for (size_t i = 2; i < p.size() && p[i][1] == 0x1B; ++i) {
    SCOPED_TRACE(i);
    const Bytes& b = p[i];
    ASSERT_GE(b.size(), 17u);
    const int k = b[15] | (b[16] << 8);
    ASSERT_EQ(b.size(), 17u + k);
    EXPECT_EQ(b[3] | (b[4] << 8), 12 + k);
    EXPECT_EQ(b[7] | (b[8] << 8), 8 + k);
    EXPECT_EQ(b[9], 0x01);
    EXPECT_EQ(static_cast<uint32_t>(b[10] | (b[11] << 8)), effWidth);
    EXPECT_EQ(b[12] | b[13], 0);
    EXPECT_EQ(b[14], 0x01);
    out->indices.push_back(b[5] | (b[6] << 8));
    Bytes rows;
    uint64_t bits = 0;
    ASSERT_TRUE(HuffmanTree::SegmentBits(b.data() + 17, b.size() - 17, bits));
    ASSERT_TRUE(huffman.Decode(b.data() + 18, bits, rows, err)) << err;
    EXPECT_EQ(rows.size() % effWidth, 0u) << "bitmap packet holds a partial row";
    out->pixels.insert(out->pixels.end(), rows.begin(), rows.end());
  }
}

TEST(PaperangPage, DecodesToTheInvertedImage) {
  Driver d;
  d.m_reg.iMediaType = 1;
  const uint32_t width = 203, height = 300;  // 28-byte rows with pad bits
  LoadPage(d, width, height, RandomRows(width, height, 99));
  Bytes expected(d.m_image.GetBits(0), d.m_image.GetBits(0) + 28 * height);
  for (auto& b : expected) b = static_cast<uint8_t>(~b);  // 1 = dot, pad 0
  d.PaintPage();
  ASSERT_EQ(d.writes.size(), 1u);
  DecodedPage page;
  DecodePage(d.writes[0], 28, &page);
  EXPECT_EQ(page.pixels, expected);
  ASSERT_GT(page.indices.size(), 3u);
  for (size_t i = 0; i < page.indices.size(); ++i) EXPECT_EQ(page.indices[i], static_cast<int>(i));
  // begin, tree, bitmaps, end, locate
  EXPECT_EQ(page.packets, page.indices.size() + 4);
}

TEST(PaperangPage, EveryPageStartsItsSegmentsAtZero) {
  Driver d;
  d.m_reg.iMediaType = 4;
  const Bytes rows = RandomRows(384, 200, 3);
  for (int pageNo = 0; pageNo < 2; ++pageNo) {
    LoadPage(d, 384, 200, rows);
    d.PaintPage();
  }
  ASSERT_EQ(d.writes.size(), 2u);
  DecodedPage first, second;
  DecodePage(d.writes[0], 48, &first);
  DecodePage(d.writes[1], 48, &second);
  ASSERT_GT(second.indices.size(), 1u);
  EXPECT_EQ(second.indices.front(), 0);
  EXPECT_EQ(second.indices, first.indices);
  EXPECT_EQ(d.writes[0], d.writes[1]);
}

TEST(PaperangPage, PacketsStayWithinTheirLimits) {
  // A printer-wide page of dense random ink: rows stay under 2040 bits, so
  // every bitmap packet is at most 282 bytes and the tree at most 2044.
  Driver d;
  const uint32_t width = 384, height = 120;
  Bytes rows(48 * height);
  std::mt19937 rng(11);
  for (auto& b : rows) b = static_cast<uint8_t>(rng());
  LoadPage(d, width, height, rows);
  d.PaintPage();
  std::vector<Bytes> p;
  ASSERT_TRUE(SplitPackets(d.writes.at(0), &p));
  EXPECT_LE(p[1].size() + 9, 2044u + 14);
  for (size_t i = 2; i < p.size() && p[i][1] == 0x1B; ++i) EXPECT_LE(p[i].size() + 9, 282u) << i;
}

// ---------------------------------------------------------------------------
// A page the coder cannot code is reported in the job log and sends nothing.

TEST(PaperangPage, NoImageSendsNothing) {
  for (int media : {1, 4, 3}) {
    SCOPED_TRACE(media);
    Driver d;
    d.m_reg.iMediaType = media;
    d.PaintPage();  // the image was never created
    const std::string& err = d.jobLog.messages;
    EXPECT_TRUE(d.writes.empty());  // not even a feed of blank paper
    EXPECT_NE(err.find("ERROR"), std::string::npos) << err;
    EXPECT_NE(err.find("could not be coded"), std::string::npos) << err;
    EXPECT_NE(err.find("DEBUG"), std::string::npos) << err;
  }
}

}  // namespace
