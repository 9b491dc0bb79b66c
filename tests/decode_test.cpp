// tavelpress-decode, run as the program users run: hand-built streams of
// every language must give the right pages (checked pixel by pixel in the
// PNGs), malformed ones a refusal with offset and reason, and no input at
// all a crash. The last group feeds it what the real drivers write.
#include <gtest/gtest.h>

#include <cstdlib>
#include <png.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "printers/PrinterCPCL.h"
#include "printers/PrinterESCPOS.h"
#include "printers/PrinterPaperang.h"
#include "printers/PrinterPeriPage.h"
#include "printers/PrinterTSPL.h"
#include "support/CaptureDriver.h"
#include "support/DriverPage.h"
#include "support/FilterRunner.h"
#include "support/HexDump.h"
#include "support/SanitizerReport.h"
#include "tavelpress/Version.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------- running

struct Result {
  int status = -1;  // exit status, -1 when killed by a signal
  int signal = 0;
  std::string out, err;
};

std::string TempPath(const std::string& name) {
  return testing::TempDir() + "/decode_test_" + std::to_string(getpid()) + "_" + name;
}

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Runs the decoder with input on standard input. CPU time and memory are
// capped so that an endless loop or a runaway allocation ends as a signal.
Result Decode(const std::vector<std::string>& args, const Bytes& input) {
  const std::string in = TempPath("in"), out = TempPath("out"), err = TempPath("err");
  WriteFile(in, input);
  const std::string program = DecoderPath();
  pid_t pid = fork();
  if (pid == 0) {
    rlimit cpu{20, 20}, mem{size_t(2) << 30, size_t(2) << 30};
    setrlimit(RLIMIT_CPU, &cpu);
    // A sanitizer build reserves terabytes of address space up front.
#ifndef __SANITIZE_ADDRESS__
    setrlimit(RLIMIT_AS, &mem);
#else
    (void)mem;
#endif
    int fi = open(in.c_str(), O_RDONLY);
    int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fi, 0);
    dup2(fo, 1);
    dup2(fe, 2);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  Result r;
  int ws = 0;
  waitpid(pid, &ws, 0);
  if (WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
  if (WIFSIGNALED(ws)) r.signal = WTERMSIG(ws);
  r.out = Slurp(out);
  r.err = Slurp(err);
  ExpectNoSanitizerReport(r.err, "decoder");
  unlink(in.c_str());
  unlink(out.c_str());
  unlink(err.c_str());
  return r;
}

Result Decode(const std::string& lang, const Bytes& input, const std::string& pngPrefix = "") {
  std::vector<std::string> args{"--lang", lang, "--list"};
  if (!pngPrefix.empty()) args.insert(args.end(), {"--png", pngPrefix});
  return Decode(args, input);
}

// A one-bit page as black/white pixels, read back from a PNG.
struct Image {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> gray;  // 0 black, 255 white
  bool Black(uint32_t x, uint32_t y) const { return gray[size_t(y) * width + x] < 128; }
};

// Reads a gray PNG the long way: the simplified reader cannot be told to
// accept more than a million rows.
bool ReadPng(const std::string& path, Image& img) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  volatile bool ok = false;
  if (png && info && !setjmp(png_jmpbuf(png))) {
    png_init_io(png, f);
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    png_read_info(png, info);
    if (png_get_color_type(png, info) == PNG_COLOR_TYPE_GRAY) {
      png_set_expand_gray_1_2_4_to_8(png);
      png_set_strip_16(png);
      img.width = png_get_image_width(png, info);
      img.height = png_get_image_height(png, info);
      img.gray.assign(size_t(img.width) * img.height, 0);
      std::vector<png_bytep> rows(img.height);
      for (uint32_t y = 0; y < img.height; ++y) rows[y] = &img.gray[size_t(y) * img.width];
      png_read_image(png, rows.data());
      png_read_end(png, nullptr);
      ok = true;
    }
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return ok;
}

// Expected page: rows of width/8 bytes, set bit = burnt dot.
struct Ink {
  uint32_t width, height;
  Bytes rows;
};

// Compares the PNG with the expected dots and reports the first mismatch.
::testing::AssertionResult SamePage(const std::string& path, const Ink& ink) {
  Image img;
  if (!ReadPng(path, img)) return ::testing::AssertionFailure() << "cannot read " << path;
  if (img.width != ink.width || img.height != ink.height)
    return ::testing::AssertionFailure() << path << " is " << img.width << "x" << img.height << ", expected "
                                         << ink.width << "x" << ink.height;
  const uint32_t stride = ink.width / 8;
  for (uint32_t y = 0; y < ink.height; ++y)
    for (uint32_t x = 0; x < ink.width; ++x) {
      bool dot = (ink.rows[size_t(y) * stride + x / 8] >> (7 - x % 8)) & 1;
      if (img.Black(x, y) != dot)
        return ::testing::AssertionFailure() << path << ": pixel " << x << "," << y << " is "
                                             << (dot ? "white" : "black") << ", expected the other";
    }
  return ::testing::AssertionSuccess();
}

// ------------------------------------------------------------ stream parts

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Invert(Bytes b) {
  for (auto& v : b) v = uint8_t(~v);
  return b;
}

// An uneven dot pattern, so that a lost byte, a swapped row or a wrong
// polarity shows in the pixels.
Bytes Pattern(size_t rowBytes, size_t rows, unsigned seed = 1) {
  Bytes b(rowBytes * rows);
  for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 37 + seed * 101 + (i / rowBytes) * 11);
  return b;
}

Bytes Le16(unsigned v) { return {uint8_t(v), uint8_t(v >> 8)}; }

Bytes ZlibCompress(const Bytes& raw) {
  uLongf n = compressBound(uLong(raw.size()));
  Bytes out(n);
  compress(out.data(), &n, raw.data(), uLong(raw.size()));
  out.resize(n);
  return out;
}

// The PeriPage block payload: deflate data with a 1 KiB window and the
// Adler-32 trailer, without the two header bytes.
Bytes PeriDeflate(const Bytes& raw) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 10, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, uLong(raw.size())));
  z.next_in = const_cast<Bytef*>(raw.data());
  z.avail_in = uInt(raw.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return Bytes(out.begin() + 2, out.end());
}

Bytes PeriBlock(unsigned rowBytes, unsigned rows, const Bytes& payload) {
  uint32_t n = uint32_t(payload.size());
  return Cat({{0x1F, 0x00, uint8_t(rowBytes >> 8), uint8_t(rowBytes), uint8_t(rows >> 8), uint8_t(rows),
               uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)},
              payload});
}

Bytes GsV0(unsigned rowBytes, unsigned rows, const Bytes& data) {
  return Cat({{0x1D, 0x76, 0x30, 0x00}, Le16(rowBytes), Le16(rows), data});
}

Bytes TsplBitmap1(unsigned rowBytes, unsigned rows, const Bytes& stored) {
  return Cat({Ascii("BITMAP 0,0," + std::to_string(rowBytes) + "," + std::to_string(rows) + ",1,"), stored,
              Ascii("\r\n")});
}

Bytes TsplBitmap3(unsigned rowBytes, unsigned rows, const Bytes& z) {
  return Cat({Ascii("BITMAP 0,0," + std::to_string(rowBytes) + "," + std::to_string(rows) + ",3," +
                    std::to_string(z.size()) + ","),
              z, Ascii("\r\n")});
}

Bytes PaperangPacket(const Bytes& payload) {
  uint32_t crc = uint32_t(crc32(0x4C1D7E93, payload.data(), uInt(payload.size())));
  return Cat({{0xA5, 0x01}, Le16(unsigned(payload.size())), payload,
              {uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)}, {0x5A}});
}

Bytes PaperangCmd(uint8_t cmd, const Bytes& rest) {
  return PaperangPacket(Cat({{0x05, cmd, 0x03}, Le16(unsigned(rest.size())), rest}));
}

Bytes PaperangTree(const std::vector<unsigned>& pre, const std::vector<unsigned>& in) {
  Bytes rest;
  for (unsigned v : pre) rest = Cat({rest, Le16(v)});
  for (unsigned v : in) rest = Cat({rest, Le16(v)});
  return PaperangCmd(0x1C, rest);
}

Bytes PaperangBitmap(unsigned index, unsigned rowBytes, const Bytes& segment) {
  unsigned k = unsigned(segment.size());
  return PaperangCmd(0x1B, Cat({Le16(index), Le16(8 + k), {0x01}, Le16(rowBytes), {0, 0, 0x01}, Le16(k), segment}));
}

const Bytes kBegin = PaperangCmd(0x19, {});
const Bytes kEnd = PaperangCmd(0x1A, {});
// Two leaves: byte 00 is code 0, FF code 1, so each code bit is one byte.
const std::vector<unsigned> kBinPre{256, 0x00, 0xFF}, kBinIn{0x00, 256, 0xFF};
// The "abc" tree: 61 = 10, 62 = 11, 63 = 0.
const std::vector<unsigned> kAbcPre{257, 0x63, 256, 0x61, 0x62}, kAbcIn{0x63, 257, 0x61, 256, 0x62};

// ---------------------------------------------------- well-formed streams

struct PageCase {
  std::string name, lang;
  Bytes stream;
  std::vector<Ink> pages;
  std::vector<std::string> listed;  // lines (or parts) the listing must hold
};

std::vector<PageCase> PageCases() {
  std::vector<PageCase> cases;
  const Bytes r384 = Pattern(48, 240);

  // ESC/POS: the 384 x 240 page at 203 dpi, feed 10 mm, pulse after.
  cases.push_back({"EscposReceipt", "escpos",
                   Cat({{0x1B, 0x40, 0x1B, 0x61, 0x01}, GsV0(48, 240, r384), {0x1B, 0x4A, 0x4F},
                        {0x1B, 0x70, 0x00, 0x80, 0x80}}),
                   {{384, 240, r384}},
                   {"ESC @ (init)", "GS v 0 m=0 48 bytes x 240 rows", "ESC J 79", "ESC p drawer pulse"}});
  {
    // Rasters after one ESC @ stack, the narrower one padded white on the
    // right; the next ESC @ starts a new page.
    Bytes a = Pattern(2, 3, 2), b = Pattern(1, 2, 3), c = Pattern(2, 1, 4);
    Bytes page1 = a;
    for (uint8_t v : b) page1.insert(page1.end(), {v, 0x00});
    cases.push_back({"EscposPageRule", "escpos",
                     Cat({{0x1B, 0x40}, GsV0(2, 3, a), {0x1B, 0x4A, 0x08}, GsV0(1, 2, b), {0x1B, 0x40},
                          GsV0(2, 1, c), {0x1D, 0x56, 0x30}}),
                     {{16, 5, page1}, {16, 1, c}},
                     {"GS V 0 full cut"}});
  }
  {
    Bytes stored = Pattern(2, 3, 5);
    const Bytes head = Ascii("SIZE 48.05 mm,30.03 mm\r\nSET RIBBON OFF\r\nGAP 0 mm,0 mm\r\nOFFSET -2 mm\r\n"
                             "DENSITY 8\r\nSPEED 4\r\nCLS\r\n");
    // Mode 1 carries the page as stored (clear bit = dot), mode 3 the
    // inverted page, compressed: both must come out as the same dots.
    cases.push_back({"TsplRawAndZlib", "tspl",
                     Cat({head, TsplBitmap1(2, 3, stored), Ascii("PRINT 1,1\r\n"), head,
                          TsplBitmap3(2, 3, ZlibCompress(Invert(stored))), Ascii("PRINT 1,1\r\n")}),
                     {{16, 3, Invert(stored)}, {16, 3, Invert(stored)}},
                     {"SIZE 48.05 mm,30.03 mm", "BITMAP x=0 y=0 2x3 mode 1 (6 bytes)", "mode 3", "PRINT 1,1"}});
  }
  {
    Bytes stored(52 * 4, 0xFF);  // 390 dots wide: rows padded to 52 bytes
    for (size_t i = 0; i < stored.size(); i += 53) stored[i] = 0x0F;
    cases.push_back({"TsplPaddedWidth", "tspl",
                     Cat({Ascii("CLS\r\n"), TsplBitmap1(52, 4, stored), Ascii("PRINT 1,1\r\n")}),
                     {{416, 4, Invert(stored)}},
                     {}});
  }
  cases.push_back({"CpclLabel", "cpcl",
                   Cat({Ascii("! 0 200 200 240 1\r\nPAGE-WIDTH 384\r\nCG 48 240 0 0\r\n"), r384,
                        Ascii("FORM\r\nPRINT\r\n")}),
                   {{384, 240, r384}},
                   {"CG 48x240 at 0,0 (11520 bytes)", "FORM", "PRINT"}});
  {
    Bytes a = Pattern(4, 2, 6), b = Pattern(4, 3, 7);
    cases.push_back({"CpclTwoLabels", "cpcl",
                     Cat({Ascii("! 128 200 200 2 1\r\nPAGE-WIDTH 30\r\nCG 4 2 0 0\r\n"), a, Ascii("PRINT\r\n"),
                          Ascii("! 0 200 200 3 1\r\nCG 4 3 0 0\r\n"), b, Ascii("PRINT\r\n")}),
                     {{32, 2, a}, {32, 3, b}},
                     {"offset 128"}});
  }
  {
    const Bytes preamble{0x10, 0xFF, 0xFE, 0x01, 0x10, 0xFF, 0x10, 0x03, 0x01, 0x1B, 0x40, 0x00, 0x1F, 0x1E,
                         0x1C, 0x03, 0x08, 0x10, 0xFF, 0x10, 0x00, 0x05, 0x1B, 0x61, 0x01};
    const Bytes beepBegin{0x1F, 0x1B, 0x1F, 0x56, 0x08, 0x09, 0xA0, 0x22};
    const Bytes beepEnd{0x1F, 0x1B, 0x1F, 0x56, 0x08, 0x09, 0xA0, 0x99};
    const Bytes endPrint{0x10, 0xFF, 0xFE, 0x45};
    Bytes two = Pattern(48, 2, 8), banded = Pattern(3, 2, 9), packed = Pattern(48, 5, 10);
    // Page 1 whole, page 2 in two one-row bands, page 3 compressed.
    cases.push_back({"PeriPageDocument", "peripage",
                     Cat({preamble, beepBegin, GsV0(48, 2, two), endPrint,
                          GsV0(3, 1, Bytes(banded.begin(), banded.begin() + 3)),
                          GsV0(3, 1, Bytes(banded.begin() + 3, banded.end())), {0x1D, 0x0C}, endPrint,
                          {0x1B, 0x70, 0x00, 0x80, 0x80}, PeriBlock(48, 5, PeriDeflate(packed)),
                          {0x1B, 0x4A, 0x4F}, endPrint, beepEnd}),
                     {{384, 2, two}, {24, 2, banded}, {384, 5, packed}},
                     {"density 5", "speed 8", "beep begin", "beep end", "compressed raster 48 bytes x 5 rows",
                      "Adler-32 ok", "end of print"}});
  }
  // Paperang: four zero bytes in one row of 4 (the tree has the extra
  // leaf 01), then a feed packet.
  cases.push_back({"PaperangFourZeros", "paperang",
                   Cat({kBegin, PaperangTree({256, 1, 0}, {1, 256, 0}), PaperangBitmap(0, 4, {0x04, 0xF0}), kEnd,
                        PaperangCmd(0x16, {0, 0})}),
                   {{32, 1, Bytes(4, 0)}},
                   {"begin printing", "Huffman tree: 3 nodes, 2 leaves", "CRC ok", "end printing", "feed 0"}});
  // Two segments of one row each, then a page from the three-leaf tree
  // (61 62 63 63 = 10 11 0 0, two fill bits), ended by paper locate.
  cases.push_back({"PaperangSegmentsAndPages", "paperang",
                   Cat({kBegin, PaperangTree(kBinPre, kBinIn), PaperangBitmap(0, 4, {0x04, 0x90}),
                        PaperangBitmap(1, 4, {0x04, 0x60}), kEnd, kBegin, PaperangTree(kAbcPre, kAbcIn),
                        PaperangBitmap(0, 4, {0x02, 0xB0}), kEnd, PaperangCmd(0x21, {100, 0, 0, 0})}),
                   {{32, 2, {0xFF, 0x00, 0x00, 0xFF, 0x00, 0xFF, 0xFF, 0x00}}, {32, 1, {0x61, 0x62, 0x63, 0x63}}},
                   {"bitmap segment 1: row width 4", "paper locate 100"}});
  {
    // Each family's status query between two pages is a command of its
    // own, on neither page.
    const Bytes a = Pattern(1, 1, 11), b = Pattern(1, 2, 12), periEnd{0x10, 0xFF, 0xFE, 0x45};
    const Bytes zeros = PaperangBitmap(0, 4, {0x04, 0xF0}), tree = PaperangTree({256, 1, 0}, {1, 256, 0});
    cases.push_back({"TsplStatusQuery", "tspl",
                     Cat({Ascii("CLS\r\n"), TsplBitmap1(1, 1, a), Ascii("PRINT 1\r\n"), {0x1B, 0x21, 0x3F},
                          Ascii("CLS\r\n"), TsplBitmap1(1, 2, b), Ascii("PRINT 1\r\n")}),
                     {{8, 1, Invert(a)}, {8, 2, Invert(b)}},
                     {"status query <ESC>!?"}});
    cases.push_back({"EscposStatusQuery", "escpos",
                     Cat({{0x1B, 0x40}, GsV0(1, 1, a), {0x10, 0x04, 0x04, 0x1B, 0x40}, GsV0(1, 2, b)}),
                     {{8, 1, a}, {8, 2, b}},
                     {"status query DLE EOT 4"}});
    cases.push_back({"CpclStatusQuery", "cpcl",
                     Cat({Ascii("! 0 200 200 1 1\r\nCG 1 1 0 0\r\n"), a, Ascii("PRINT\r\n"), {0x1B, 0x68},
                          Ascii("! 0 200 200 2 1\r\nCG 1 2 0 0\r\n"), b, Ascii("PRINT\r\n")}),
                     {{8, 1, a}, {8, 2, b}},
                     {"status query ESC h"}});
    cases.push_back({"PeriPageStatusQuery", "peripage",
                     Cat({{0x10, 0xFF, 0xFE, 0x01}, GsV0(1, 1, a), periEnd, {0x10, 0xFF, 0x50, 0xF1}, GsV0(1, 2, b), periEnd}),
                     {{8, 1, a}, {8, 2, b}},
                     {"status query battery (10 FF 50 F1)"}});
    cases.push_back({"PaperangStatusQuery", "paperang",
                     Cat({kBegin, tree, zeros, kEnd, PaperangPacket({0x01, 0x0B, 0x01, 0x00, 0x00}), kBegin, tree,
                          zeros, kEnd}),
                     {{32, 1, Bytes(4, 0)}, {32, 1, Bytes(4, 0)}},
                     {"status query battery"}});
  }
  return cases;
}

void PrintTo(const PageCase& c, std::ostream* os) { *os << c.name; }

class DecodePages : public ::testing::TestWithParam<PageCase> {};

TEST_P(DecodePages, PngHoldsExactlyTheDots) {
  const PageCase& c = GetParam();
  const std::string prefix = TempPath(c.name);
  Result r = Decode(c.lang, c.stream, prefix);
  ASSERT_EQ(r.status, 0) << r.err << "\n" << HexDump(c.stream, 256);
  EXPECT_NE(r.out.find("pages: " + std::to_string(c.pages.size()) + "\n"), std::string::npos) << r.out;
  for (size_t i = 0; i < c.pages.size(); ++i) {
    const std::string png = prefix + "-" + std::to_string(i + 1) + ".png";
    const std::string summary = "page " + std::to_string(i + 1) + ": " + std::to_string(c.pages[i].width) + " x " +
                                std::to_string(c.pages[i].height) + " dots";
    EXPECT_NE(r.out.find(summary), std::string::npos) << r.out;
    EXPECT_TRUE(SamePage(png, c.pages[i]));
    unlink(png.c_str());
  }
  // No page beyond the expected ones.
  EXPECT_NE(access((prefix + "-" + std::to_string(c.pages.size() + 1) + ".png").c_str(), F_OK), 0);
  for (const auto& line : c.listed) EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;

  // Without --lang the first bytes tell the language: same listing and pages.
  Result told = Decode({"--list", "--png", prefix}, c.stream);
  EXPECT_EQ(told.out, r.out);
  EXPECT_NE(told.err.find("language: " + c.lang + "\n"), std::string::npos) << told.err;
  for (size_t i = 0; i < c.pages.size(); ++i) unlink((prefix + "-" + std::to_string(i + 1) + ".png").c_str());
}

// Every valid stream cut short by one byte, or anywhere, is refused or at
// worst decodes fewer pages; it never crashes.
TEST_P(DecodePages, TruncationIsRefusedNotCrashed) {
  const PageCase& c = GetParam();
  Result last = Decode(c.lang, Bytes(c.stream.begin(), c.stream.end() - 1));
  EXPECT_EQ(last.status, 1) << last.out;
  EXPECT_NE(last.err.find("offset"), std::string::npos) << last.err;
  std::mt19937 rng(7);
  for (int i = 0; i < 12; ++i) {
    size_t cut = rng() % c.stream.size();
    Result r = Decode(c.lang, Bytes(c.stream.begin(), c.stream.begin() + cut));
    EXPECT_EQ(r.signal, 0) << "cut at " << cut;
    EXPECT_TRUE(r.status == 0 || r.status == 1) << "cut at " << cut;
    if (r.status == 1) {
      EXPECT_NE(r.err.find("offset"), std::string::npos) << r.err;
    }
  }
}

// Random changes to valid streams (bytes overwritten, inserted, deleted)
// and pure garbage: status 0 or 1, never a signal, a message when refused.
TEST_P(DecodePages, MutationsNeverCrash) {
  const PageCase& c = GetParam();
  std::mt19937 rng(std::hash<std::string>()(c.name));
  for (int i = 0; i < 25; ++i) {
    Bytes b = c.stream;
    for (int k = 1 + rng() % 4; k > 0 && !b.empty(); --k) {
      size_t p = rng() % b.size();
      switch (rng() % 3) {
        case 0: b[p] = uint8_t(rng()); break;
        case 1: b.insert(b.begin() + long(p), uint8_t(rng())); break;
        default: b.erase(b.begin() + long(p)); break;
      }
    }
    if (i % 5 == 4) {  // garbage
      b.resize(rng() % 300);
      for (auto& v : b) v = uint8_t(rng());
    }
    Result r = Decode(std::vector<std::string>{"--lang", c.lang, "--list", "--explain"}, b);
    ASSERT_EQ(r.signal, 0) << HexDump(b, 256);
    ASSERT_TRUE(r.status == 0 || r.status == 1) << HexDump(b, 256);
    if (r.status == 1) {
      EXPECT_NE(r.err.find("offset"), std::string::npos) << r.err;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, DecodePages, ::testing::ValuesIn(PageCases()),
                         [](const auto& p) { return p.param.name; });

// ------------------------------------------------------ malformed streams

struct BadCase {
  std::string name, lang;
  Bytes stream;
  std::string message;  // part of the reason on stderr
};

std::vector<BadCase> BadCases() {
  const Bytes stored = Pattern(2, 3);
  const Bytes z = ZlibCompress(Invert(stored));
  Bytes badAdler = z;
  badAdler.back() ^= 1;
  const Bytes peri = PeriDeflate(stored);
  const Bytes periBlock = PeriBlock(2, 3, peri);
  Bytes periBadAdler = peri;
  periBadAdler.back() ^= 1;
  Bytes badCrc = kBegin;
  badCrc[9] ^= 0x40;
  Bytes badEnd = kBegin;
  badEnd.back() = 0x5B;
  const Bytes tree = PaperangTree(kAbcPre, kAbcIn);
  const Bytes ok4 = PaperangBitmap(0, 4, {0x04, 0x90});
  return {
      {"TsplBitmapShort", "tspl", Cat({Ascii("CLS\r\nBITMAP 0,0,2,3,1,"), Bytes(4, 0)}), "bitmap data ends after 4 of 6"},
      {"TsplBitmapLong", "tspl", Cat({Ascii("CLS\r\n"), TsplBitmap1(2, 2, stored), Ascii("PRINT 1,1\r\n")}), "not followed by CR LF"},
      {"TsplNoPrint", "tspl", Cat({Ascii("CLS\r\n"), TsplBitmap1(2, 3, stored)}), "no PRINT"},
      {"TsplUnknown", "tspl", Ascii("CLS\r\nFEED 10\r\nPRINT 1,1\r\n"), "unknown command \"FEED 10\""},
      {"TsplBadNumber", "tspl", Ascii("SIZE 48.05 mm,x mm\r\n"), "malformed"},
      {"TsplBadAdler", "tspl", Cat({TsplBitmap3(2, 3, badAdler), Ascii("PRINT 1,1\r\n")}), "Adler-32"},
      {"TsplZlibShort", "tspl", Cat({Ascii("BITMAP 0,0,2,4,3," + std::to_string(z.size()) + ","), z, Ascii("\r\nPRINT 1,1\r\n")}), "compressed"},
      {"TsplHugeBitmap", "tspl", Ascii("BITMAP 0,0,99999,99999,1,xx\r\n"), "larger than any page"},
      {"TsplBadMode", "tspl", Ascii("BITMAP 0,0,1,1,2,x\r\n"), "mode 2"},
      {"TsplGarbageAfterPrint", "tspl", Cat({Ascii("CLS\r\nPRINT 1,1\r\n"), {0x00, 0x01}}), "unknown command byte 0x00"},
      {"TsplNoLf", "tspl", Ascii("CLS\r"), "LF missing"},
      {"EscposUnknownByte", "escpos", {0x1B, 0x40, 0x00}, "unknown command byte 0x00"},
      {"EscposUnknownEsc", "escpos", {0x1B, 0x40, 0x1B, 0x21, 0x00}, "unknown command ESC 0x21"},
      {"EscposRasterShort", "escpos", Cat({{0x1B, 0x40}, GsV0(48, 240, Bytes(100, 0))}), "raster data ends after 100 of 11520"},
      {"EscposRasterHugeClaim", "escpos", {0x1D, 0x76, 0x30, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, "raster data ends"},
      {"EscposHeadCut", "escpos", {0x1D, 0x76, 0x30, 0x00, 0x30}, "truncated"},
      {"EscposLonePrefix", "escpos", {0x1B, 0x40, 0x1D}, "truncated"},
      {"EscposBadCut", "escpos", {0x1D, 0x56, 0x07}, "cut mode"},
      {"CpclOutsideLabel", "cpcl", Ascii("PAGE-WIDTH 384\r\n"), "outside a label"},
      {"CpclGraphicShort", "cpcl", Cat({Ascii("! 0 200 200 3 1\r\nCG 2 3 0 0\r\n"), Bytes(5, 0)}), "graphic data ends after 5 of 6"},
      {"CpclNoPrint", "cpcl", Cat({Ascii("! 0 200 200 3 1\r\nCG 2 3 0 0\r\n"), stored}), "no PRINT"},
      {"CpclNestedLabel", "cpcl", Ascii("! 0 200 200 3 1\r\n! 0 200 200 3 1\r\n"), "inside the label"},
      {"CpclUnknown", "cpcl", Ascii("! 0 200 200 3 1\r\nBOX 0 0 1 1 1\r\nPRINT\r\n"), "unknown command"},
      {"CpclBadHeader", "cpcl", Ascii("! 0 200 200\r\n"), "malformed label header"},
      {"PeriBadAdler", "peripage", Cat({PeriBlock(2, 3, periBadAdler), {0x10, 0xFF, 0xFE, 0x45}}), "bad Adler-32"},
      {"PeriBlockNoEnd", "peripage", periBlock, "no end of print"},
      {"PeriBlockCut", "peripage", Bytes(periBlock.begin(), periBlock.end() - 3), "compressed data ends after"},
      {"PeriSizeLie", "peripage", Cat({PeriBlock(0xFFFF, 0xFFFF, peri), {0x10, 0xFF, 0xFE, 0x45}}), "larger than any page"},
      {"PeriRowsLie", "peripage", Cat({PeriBlock(2, 4, peri), {0x10, 0xFF, 0xFE, 0x45}}), "compressed"},
      {"PeriNoEndOfPrint", "peripage", GsV0(2, 3, stored), "no end of print"},
      {"PeriUnknown", "peripage", {0x10, 0xFF, 0xFE, 0x46}, "unknown or cut-short command 10 FF FE 46"},
      {"PeriUnknownLong", "peripage", {0x10, 0xFF, 0x77, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, "unknown command bytes 10 FF 77"},
      {"PeriBadPaper", "peripage", {0x10, 0xFF, 0x10, 0x03, 0x09}, "paper type"},
      {"PaperangBadCrc", "paperang", Cat({badCrc, kEnd}), "bad CRC"},
      {"PaperangBadEnd", "paperang", Cat({badEnd, kEnd}), "end byte"},
      {"PaperangBadStart", "paperang", Cat({kBegin, kEnd, {0x00}}), "expected packet start A5"},
      {"PaperangCut", "paperang", Bytes(kBegin.begin(), kBegin.end() - 2), "cut short"},
      {"PaperangUnknown", "paperang", PaperangCmd(0x77, {}), "unknown command byte 0x77"},
      {"PaperangNoEnd", "paperang", Cat({kBegin, tree}), "no end printing"},
      {"PaperangEndAlone", "paperang", kEnd, "outside a page"},
      {"PaperangBitmapFirst", "paperang", Cat({kBegin, ok4, kEnd}), "before the page's Huffman tree"},
      {"PaperangCodeCut", "paperang", Cat({kBegin, tree, PaperangBitmap(0, 1, {0x07, 0x80}), kEnd}), "does not decode"},
      {"PaperangPartialRow", "paperang", Cat({kBegin, tree, PaperangBitmap(0, 4, {0x05, 0x00}), kEnd}), "not whole rows"},
      {"PaperangFill8", "paperang", Cat({kBegin, tree, PaperangBitmap(0, 4, {0x08, 0x00}), kEnd}), "fill-bit count 8"},
      {"PaperangSkippedSegment", "paperang", Cat({kBegin, PaperangTree(kBinPre, kBinIn), PaperangBitmap(1, 4, {0x04, 0x90}), kEnd}), "segment 1 where segment 0"},
      {"PaperangLeafWithChildren", "paperang", Cat({kBegin, PaperangTree({1, 256, 0}, {256, 1, 0}), kEnd}), "bad Huffman tree"},
      {"PaperangTraversalsDisagree", "paperang", Cat({kBegin, PaperangTree({256, 0, 1}, {0, 257, 1}), kEnd}), "bad Huffman tree"},
      {"PaperangOneNodeTree", "paperang", Cat({kBegin, PaperangTree({0}, {0}), kEnd}), "bad Huffman tree"},
      {"PaperangInnerLength", "paperang", PaperangPacket({0x05, 0x19, 0x03, 0x01, 0x00}), "command length 1"},
  };
}

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class DecodeRefuses : public ::testing::TestWithParam<BadCase> {};

TEST_P(DecodeRefuses, WithOffsetAndReason) {
  const BadCase& c = GetParam();
  const std::string prefix = TempPath(c.name);
  Result r = Decode(c.lang, c.stream, prefix);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.err.find("offset"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  // A refused stream yields no images.
  EXPECT_NE(access((prefix + "-1.png").c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(Streams, DecodeRefuses, ::testing::ValuesIn(BadCases()),
                         [](const auto& p) { return p.param.name; });

// ------------------------------------------------------------- --explain

struct ExplainCase {
  std::string name, lang;
  Bytes stream;
  // Lines the explanation must hold (without the offset column); its
  // warnings must be exactly the ones here, in this order.
  std::vector<std::string> lines;
  int status = 0;  // 1 where the stream is refused after it was explained
  std::vector<std::string> options = {};
};

// The explanation's lines without their offset column.
std::vector<std::string> Explained(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (line.size() > 10 && line[7] >= '0' && line[7] <= '9' && line.compare(8, 2, "  ") == 0)
      lines.push_back(line.substr(10));
  return lines;
}

std::vector<ExplainCase> ExplainCases() {
  const Bytes endPrint{0x10, 0xFF, 0xFE, 0x45};
  // 3 x 3 bytes as stored (clear bit = dot): a dot at 0,0 and one at
  // column 20 of row 2.
  const Bytes overhang{0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF7};
  // One row of 52 bytes whose last dot is column 389: 390 dots of a
  // 416-dot padded row.
  Bytes row390(52, 0xFF);
  row390[48] = 0xFB;
  const Bytes labelMm = Ascii("SIZE 48.05 mm,30.03 mm\r\nGAP 3 mm,0 mm\r\nCLS\r\n");
  const std::string wide390 =
      "warning: bitmap wider than the label: its dots reach 390 dots across, the label is 384 dots wide at 203 dpi; "
      "the right 6 dots are lost";
  return {
      {"TsplLabel", "tspl",
       Cat({Ascii("SIZE 100 mm,150 mm\r\nGAP 3 mm,0 mm\r\nOFFSET 0 mm\r\nDENSITY 10\r\nSPEED 4\r\nSET RIBBON ON\r\n"
                  "SET PEEL OFF\r\nSET CUTTER BATCH\r\nSET PARTIAL_CUTTER 2\r\nSET TEAR OFF\r\nCLS\r\n"),
            TsplBitmap1(2, 3, Bytes(6, 0x00)), Ascii("PRINT 1,1\r\n")}),
       {"label 100 x 150 mm", "gap 3 mm between labels", "stop 0 mm past the tear bar", "darkness 10",
        "speed 4 inches per second", "thermal transfer: print through a ribbon", "no peeling",
        "cut once after the last label", "partial cut after every 2 labels", "leave each label at the print head",
        "clear the image buffer", "bitmap 16 x 3 dots (2.0 x 0.4 mm)", "print 1 copy of page 1"}},
      {"TsplInchesAndCopies", "tspl",
       Ascii("SIZE 2,1\r\nBLINE 0.2,0\r\nOFFSET -1.5 mm\r\nSET RIBBON OFF\r\nSET TEAR ON\r\nSET CUTTER 1\r\nCLS\r\n"
             "PRINT 2,3\r\nPRINT 0\r\n"),
       {"label 2 x 1 in (50.8 x 25.4 mm)", "black marks 0.2 in (5.1 mm) high", "stop 1.5 mm short of the tear bar",
        "direct thermal: no ribbon", "feed each label to the tear bar", "cut after every label",
        "print 6 copies of page 1 (2 sets of 3)", "print 0 copies of page 2: nothing comes out"}},
      // Dots past the label's right edge and bottom are lost; blank padding
      // past the edge (page 2, zlib-compressed: set bit = dot) is not.
      {"TsplBitmapOverTheLabel", "tspl",
       Cat({Ascii("SIZE 16 dot,2 dot\r\nGAP 2 mm,1 mm\r\nCLS\r\n"), TsplBitmap1(3, 3, overhang), Ascii("PRINT 1\r\n"),
            Ascii("CLS\r\n"), TsplBitmap3(3, 2, ZlibCompress({0x80, 0x01, 0x00, 0x00, 0x00, 0x00})),
            Ascii("PRINT 1\r\n")}),
       {"label 16 x 2 dots (2.0 x 0.3 mm)", "gap 2 mm between labels, offset 1 mm", "bitmap 24 x 3 dots (3.0 x 0.4 mm)",
        "warning: bitmap wider than the label: its dots reach 21 dots across, the label is 16 dots wide; "
        "the right 5 dots are lost",
        "print 1 copy of page 1",
        "warning: page taller than the label: its dots reach 3 rows down, the label is 2 rows long; "
        "the bottom 1 row is lost",
        "bitmap 24 x 2 dots (3.0 x 0.3 mm), zlib-compressed", "print 1 copy of page 2"}},
      // A label in millimetres is as many dots as the printer's resolution
      // makes of it.
      {"TsplMmAt203", "tspl", Cat({labelMm, TsplBitmap1(52, 1, row390), Ascii("PRINT 1,1\r\n")}),
       {"label 48.05 x 30.03 mm", "bitmap 416 x 1 dots (52.1 x 0.1 mm)", wide390}},
      {"TsplMmAt300", "tspl", Cat({labelMm, TsplBitmap1(52, 1, row390), Ascii("PRINT 1,1\r\n")}),
       {"bitmap 416 x 1 dots (35.2 x 0.1 mm)"}, 0, {"--dpi", "300"}},
      // On labels a new size is a mistake; on continuous paper (page 3) a
      // page may be as long as it likes.
      {"TsplSizeChanges", "tspl",
       Cat({labelMm, Ascii("PRINT 1,1\r\nSIZE 50 mm,30 mm\r\nCLS\r\nPRINT 1,1\r\n"),
            Ascii("GAP 0 mm,0 mm\r\nSIZE 50 mm,40 mm\r\nCLS\r\nPRINT 1,1\r\n")}),
       {"label 50 x 30 mm", "print 1 copy of page 2",
        "warning: label size differs between pages: 50 x 30 mm here, 48.05 x 30.03 mm on page 1",
        "no gap: continuous paper", "print 1 copy of page 3"}},
      {"TsplNoMediaSetting", "tspl", Ascii("SIZE 50 mm,30 mm\r\nCLS\r\nPRINT 1,1\r\nCLS\r\nPRINT 1,1\r\n"),
       {"warning: no gap or mark setting (GAP or BLINE) for these labels: the printer goes by whatever it was "
        "told last"}},
      {"TsplAfterLastPrint", "tspl",
       Cat({Ascii("GAP 0 mm,0 mm\r\nCLS\r\nPRINT 1,1\r\nCLS\r\n"), TsplBitmap1(1, 1, {0x00})}),
       {"print 1 copy of page 1", "warning: data after the last print command (PRINT): it is never printed"}, 1},
      // A query after the last page is no data left unprinted.
      {"TsplStatusQueries", "tspl", Cat({{0x1B, 0x21, 0x3F}, Ascii("GAP 0 mm,0 mm\r\nCLS\r\nPRINT 1\r\n"), {0x1B, 0x21, 0x3F}}),
       {"asks the printer how it is; the answer is not part of the print", "print 1 copy of page 1"}},
      {"TsplNoPrint", "tspl", Ascii("BLINE 3 mm,0 mm\r\nCLS\r\n"),
       {"black marks 3 mm high", "warning: no print command (PRINT): nothing of this is printed"}, 1},
      {"EscposReceipt", "escpos",
       Cat({{0x1B, 0x40, 0x1B, 0x61, 0x01}, GsV0(48, 2, Pattern(48, 2)), GsV0(48, 3, Pattern(48, 3)),
            {0x1B, 0x4A, 0xFF, 0x1B, 0x4A, 0x08, 0x1D, 0x56, 0x31, 0x1B, 0x70, 0x00, 0x80, 0x80},
            {0x1D, 0x76, 0x30, 0x01}, Le16(2), Le16(1), {0xAA, 0x55}, {0x1D, 0x0C, 0x1D, 0x56, 0x30, 0x1B, 0x61, 0x02}}),
       {"reset the printer to its defaults", "centre what follows", "bitmap 384 x 5 dots (48.0 x 0.6 mm) in 2 bands",
        "feed 263 dots (32.9 mm)", "partial cut: the paper stays joined at one point",
        "open the cash drawer: pulse on pin 2 for 256 ms, then 256 ms off",
        "bitmap 16 x 1 dots at double width (4.0 x 0.1 mm)", "feed to the next label gap or black mark", "full cut",
        "align what follows to the right"}},
      // Label 2 overhangs its label and changes the size after a label fed
      // to its gap; label 3 changes it again, but neither it nor label 2
      // is on gapped media.
      {"CpclLabels", "cpcl",
       Cat({Ascii("! 0 200 200 240 1\r\nPAGE-WIDTH 384\r\nCG 48 240 0 0\r\n"), Pattern(48, 240),
            Ascii("FORM\r\nPRINT\r\n! 128 200 200 2 2\r\nPAGE-WIDTH 16\r\nCG 3 3 0 0\r\n"),
            {0x80, 0, 0, 0, 0, 0, 0, 0, 0x08}, Ascii("PRINT\r\n! 0 200 200 5 1\r\nCG 1 1 0 0\r\n"), {0x80},
            Ascii("PRINT\r\n")}),
       {"label 240 dots long (30.0 mm)", "label 384 dots wide (48.0 mm)", "bitmap 384 x 240 dots (48.0 x 30.0 mm)",
        "after printing, feed to the next label gap or black mark", "print 1 copy of page 1",
        "label 2 dots long (0.3 mm), moved 128 dots (16.0 mm) to the right",
        "warning: bitmap wider than the label: its dots reach 21 dots across, the label is 16 dots wide; "
        "the right 5 dots are lost",
        "print 2 copies of page 2",
        "warning: page taller than the label: its dots reach 3 rows down, the label is 2 rows long; "
        "the bottom 1 row is lost",
        "warning: label size differs between pages: 16 x 2 dots here, 384 x 240 dots on page 1",
        "print 1 copy of page 3"}},
      {"CpclNoPrint", "cpcl", Ascii("! 0 200 200 3 1\r\nPAGE-WIDTH 8\r\n"),
       {"warning: no print command (PRINT): nothing of this is printed"}, 1},
      {"PeriPageDocument", "peripage",
       Cat({{0x10, 0xFF, 0xFE, 0x01, 0x10, 0xFF, 0x10, 0x03, 0x02, 0x1B, 0x40, 0x00, 0x1F, 0x1E, 0x1C, 0x03, 0x08,
             0x10, 0xFF, 0x10, 0x00, 0x05, 0x1B, 0x61, 0x01, 0x1F, 0x1B, 0x1F, 0x56, 0x08, 0x09, 0xA0, 0x22},
            GsV0(3, 1, {1, 2, 3}), GsV0(3, 1, {4, 5, 6}), endPrint, PeriBlock(48, 5, PeriDeflate(Pattern(48, 5))),
            {0x1D, 0x0C}, endPrint,
            {0x1F, 0x1B, 0x1F, 0x56, 0x08, 0x09, 0xA0, 0x99, 0x1F, 0x1E, 0x1C, 0x02, 0x0F, 0x1B, 0x4A, 0x4F}}),
       {"start a job: wake the printer", "media: labels with gaps", "reset the printer to its defaults", "speed 8",
        "darkness 5", "centre what follows", "beep: printing starts", "bitmap 24 x 2 dots (3.0 x 0.3 mm) in 2 bands",
        "finish page 1", "bitmap 384 x 5 dots (48.0 x 0.6 mm), compressed", "feed to the next label gap or black mark",
        "finish page 2", "beep: printing has ended", "darkness 15", "feed 79 dots (9.9 mm)"}},
      {"PeriPageAfterLastPrint", "peripage", Cat({GsV0(1, 1, {0x80}), endPrint, GsV0(1, 1, {0x80})}),
       {"finish page 1", "warning: data after the last print command (end of print): it is never printed"}, 1},
      {"PaperangPage", "paperang",
       Cat({kBegin, PaperangTree(kBinPre, kBinIn), PaperangBitmap(0, 4, {0x04, 0x90}), PaperangBitmap(1, 4, {0x04, 0x60}),
            kEnd, PaperangCmd(0x21, {100, 0, 0, 0}), PaperangCmd(0x16, {0, 0})}),
       {"start a page", "code table for the bitmap that follows (3 nodes)", "bitmap 32 x 2 dots (4.0 x 0.3 mm) in 2 packets",
        "finish page 1", "feed to the next label gap or black mark (amount 100)", "feed the paper (amount 0)"}},
      {"PaperangNoEnd", "paperang", Cat({kBegin, PaperangTree(kBinPre, kBinIn)}),
       {"warning: no print command (end printing): nothing of this is printed"}, 1},
  };
}

void PrintTo(const ExplainCase& c, std::ostream* os) { *os << c.name; }

class DecodeExplains : public ::testing::TestWithParam<ExplainCase> {};

TEST_P(DecodeExplains, LinesAndWarnings) {
  const ExplainCase& c = GetParam();
  std::vector<std::string> args{"--lang", c.lang, "--explain"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  Result r = Decode(args, c.stream);
  EXPECT_EQ(r.signal, 0);
  ASSERT_EQ(r.status, c.status) << r.err << "\n" << r.out;
  const std::vector<std::string> lines = Explained(r.out);
  std::vector<std::string> warned, expected;
  for (const auto& line : lines)
    if (line.compare(0, 9, "warning: ") == 0) warned.push_back(line);
  for (const auto& want : c.lines) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), want), lines.end()) << want << "\n" << r.out;
    if (want.compare(0, 9, "warning: ") == 0) expected.push_back(want);
  }
  EXPECT_EQ(warned, expected) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Streams, DecodeExplains, ::testing::ValuesIn(ExplainCases()),
                         [](const auto& p) { return p.param.name; });

TEST(DecodeExplainUsage, DpiMustBeAResolution) {
  for (const char* bad : {"0", "-203", "x", "99999"})
    EXPECT_EQ(Decode(std::vector<std::string>{"--lang", "tspl", "--explain", "--dpi", bad}, {}).status, 2) << bad;
  EXPECT_EQ(Decode(std::vector<std::string>{"--lang", "tspl", "--dpi"}, {}).status, 2);
}

// Inputs that once broke the decoder; the file extension names the
// language. Each must end cleanly, and every image it reports must be a
// readable PNG.
TEST(DecodeCrashers, ReplayEndCleanly) {
  const std::string dir = std::string(TAVEL_SOURCE_DIR) + "/tests/data/decode-crashers";
  DIR* d = opendir(dir.c_str());
  ASSERT_NE(d, nullptr) << dir;
  int replayed = 0;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    size_t dot = name.rfind('.');
    if (name[0] == '.' || dot == std::string::npos) continue;
    std::string data = Slurp(dir + "/" + name);
    const std::string prefix = TempPath("crasher");
    Result r = Decode(name.substr(dot + 1), Bytes(data.begin(), data.end()), prefix);
    EXPECT_EQ(r.signal, 0) << name;
    EXPECT_TRUE(r.status == 0 || r.status == 1) << name;
    if (r.status == 1) {
      EXPECT_NE(r.err.find("offset"), std::string::npos) << name << ": " << r.err;
    }
    for (int page = 1;; ++page) {
      const std::string png = prefix + "-" + std::to_string(page) + ".png";
      if (access(png.c_str(), F_OK) != 0) break;
      Image img;
      EXPECT_TRUE(ReadPng(png, img)) << name << ": " << png;
      unlink(png.c_str());
    }
    ++replayed;
  }
  closedir(d);
  EXPECT_GT(replayed, 0);
}

// libpng refuses more than a million rows unless told otherwise; a long
// receipt is taller than that.
TEST(DecodeTallPage, MoreThanAMillionRows) {
  Bytes stream{0x1B, 0x40};
  const unsigned bands = 17;  // 17 x 65535 rows
  for (unsigned i = 0; i < bands; ++i) stream = Cat({stream, GsV0(1, 65535, Bytes(65535, uint8_t(0x80 >> (i % 8))))});
  const std::string prefix = TempPath("tall");
  Result r = Decode("escpos", stream, prefix);
  ASSERT_EQ(r.status, 0) << r.err;
  Image img;
  ASSERT_TRUE(ReadPng(prefix + "-1.png", img));
  EXPECT_EQ(img.width, 8u);
  EXPECT_EQ(img.height, bands * 65535u);
  for (unsigned i = 0; i < bands; ++i) {
    EXPECT_TRUE(img.Black(i % 8, i * 65535)) << "band " << i;
    EXPECT_FALSE(img.Black((i + 1) % 8, i * 65535 + 65534)) << "band " << i;
  }
  unlink((prefix + "-1.png").c_str());
}

TEST(DecodeUsage, BadArgumentsGiveStatusTwo) {
  EXPECT_EQ(Decode(std::vector<std::string>{"--list", "a", "b"}, {}).status, 2);
  EXPECT_EQ(Decode(std::vector<std::string>{"--lang", "zpl"}, {}).status, 2);
  EXPECT_EQ(Decode(std::vector<std::string>{"--lang"}, {}).status, 2);
  Result missing = Decode(std::vector<std::string>{"--lang", "tspl", "/nonexistent/file"}, {});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
  Result version = Decode(std::vector<std::string>{"--version"}, {});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("tavelpress-decode ") + TAVEL_VERSION + "\n");
}

// A listing that can't be written is not a success.
TEST(DecodeUsage, FullOutputFails) {
  const std::string command = DecoderPath() + " --list --lang escpos /dev/null > /dev/full 2>/dev/null";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

// Streams that start like none of the languages: without --lang they are
// refused with a clear message; with it they go to that language's parser.
TEST(DecodeUsage, UnknownStartNeedsLang) {
  for (const Bytes& b : {Bytes{}, Ascii("hello"), Ascii("size 1\r\n"), Ascii("!0 200\r\n"), Bytes{0x00, 0x1B, 0x40}}) {
    Result r = Decode(std::vector<std::string>{"--list"}, b);
    EXPECT_EQ(r.status, 1) << HexDump(b, 16);
    EXPECT_NE(r.err.find("not a stream of a known printer language"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(Decode("escpos", {}).status, 0);
}

// ------------------------------------------- what the real drivers write

// The drivers' output for one pattern page must decode to that page: dots
// where the prepared image has a clear bit, white in the padding.
struct DriverCase {
  std::string name, lang;
  bool padded;  // width shown as the padded row (TSPL, CPCL, Paperang)
  Bytes (*encode)(uint32_t width, uint32_t height);
};

template <class D>
Bytes Paint(D& d) {
  d.PaintPage();
  return d.Bytes();
}

#define DRIVER(Class, setup)                      \
  [](uint32_t w, uint32_t h) {                    \
    CaptureDriver<Class> d;                       \
    LoadPattern(d, w, h, 203);                    \
    setup;                                        \
    return Paint(d);                              \
  }

const DriverCase kDriverCases[] = {
    {"TsplRaw", "tspl", true, DRIVER(CPrinterTSPL, d.m_halftone.bImageCompress = 0)},
    {"TsplZlib", "tspl", true, DRIVER(CPrinterTSPL, d.m_halftone.bImageCompress = 1)},
    {"Escpos", "escpos", false, DRIVER(CPrinterESCPOS, d.m_reg.iPostFeed = 10)},
    {"Cpcl", "cpcl", true, DRIVER(CPrinterCPCL, d.m_reg.iMediaType = 1)},
    {"PeriPageBanded", "peripage", false, DRIVER(CPrinterPeriPage, (d.m_halftone.bImageCompress = 0, d.m_reg.iImageMaxLength = 7))},
    {"PeriPageZlib", "peripage", false, DRIVER(CPrinterPeriPage, d.m_halftone.bImageCompress = 1)},
    {"Paperang", "paperang", true, DRIVER(CPrinterPaperang, d.m_reg.iMediaType = 1)},
};

void PrintTo(const DriverCase& c, std::ostream* os) { *os << c.name; }

class DecodeDriverOutput : public ::testing::TestWithParam<DriverCase> {};

TEST_P(DecodeDriverOutput, IsThePageItWasGiven) {
  const DriverCase& c = GetParam();
  const uint32_t width = 390, height = 37;
  Bytes stream = c.encode(width, height);
  const std::string prefix = TempPath("driver_" + c.name);
  Result r = Decode(c.lang, stream, prefix);
  ASSERT_EQ(r.status, 0) << r.err << "\n" << r.out;
  ASSERT_NE(r.out.find("pages: 1\n"), std::string::npos) << r.out;
  // The language is told from the first bytes, except PeriPage's: its page
  // alone starts like ESC/POS; only the job's preamble (10 FF) tells it.
  if (c.lang != "peripage") {
    EXPECT_NE(Decode(std::vector<std::string>{}, stream).err.find("language: " + c.lang + "\n"), std::string::npos);
  }

  const uint32_t shown = c.padded ? StrideOf(width) * 8 : (width + 7) / 8 * 8;
  const Bytes stored = PatternRows(width, height);
  Ink ink{shown, height, Bytes(size_t(shown / 8) * height, 0)};
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x)
      if (!((stored[size_t(y) * StrideOf(width) + x / 8] >> (7 - x % 8)) & 1))
        ink.rows[size_t(y) * (shown / 8) + x / 8] |= uint8_t(0x80 >> (x % 8));
  EXPECT_TRUE(SamePage(prefix + "-1.png", ink));
  unlink((prefix + "-1.png").c_str());

  // Nothing the drivers write for a plain page is worth a warning, the
  // blank padding at the end of its rows included.
  Result explained = Decode(std::vector<std::string>{"--lang", c.lang, "--explain"}, stream);
  EXPECT_EQ(explained.status, 0) << explained.err;
  EXPECT_EQ(explained.out.find("warning"), std::string::npos) << explained.out;
}

INSTANTIATE_TEST_SUITE_P(Drivers, DecodeDriverOutput, ::testing::ValuesIn(kDriverCases),
                         [](const auto& p) { return p.param.name; });

}  // namespace
