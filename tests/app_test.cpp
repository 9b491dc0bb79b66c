// The printer application, run as users run it: a server on a loopback port
// with a private spool and state, printers on file: and serial: devices,
// jobs sent with ipptool. What reaches a device is decoded and compared
// byte for byte with what the filter writes for the same page with the
// equivalent PPD options. Also: the model table against the generated PPDs.
#include <cups/ppd.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "app/ImageReader.h"
#include "app/JobPreview.h"
#include "app/ModelTable.h"
#include "app/PageFit.h"
#include "app/PagePlacer.h"
#include "app/VendorOptions.h"
#include "printers/FamilyTable.h"
#include "support/AppServer.h"
#include "support/CupsChain.h"
#include "support/FilterRunner.h"
#include "support/RasterWriter.h"
#include "tools/decode/Languages.h"

namespace {

using tavel::ModelInfo;

// The test server keeps fewer job previews than the default, so that the
// limit is reached quickly.
constexpr int kKeptJobs = 3;

std::string AppPath() { return TAVEL_APP_PATH; }
std::string PpdPath(const ModelInfo& m) {
  return std::string(TAVEL_BINARY_DIR) + "/ppd/" + m.ppdFile;
}

const char* Language(const ModelInfo& m) { return LanguageOf(m.family).name; }

int HeadDots(const ModelInfo& m) {
  const tavel::ModelMedia* media = m.Media(m.defaultMedia);
  return int(media->widthPt * m.dpi / 72.0 + 0.5);
}

// Rows of the model's default media: a page of that size passes to the
// engine as it is, as the filter gets it.
unsigned MediaRows(const ModelInfo& m) {
  return unsigned(m.Media(m.defaultMedia)->lengthPt * m.dpi / 72.0 + 0.5);
}

// A page with text-like bars, a barcode and a gray ramp; `pageNo` moves the
// bars so that pages differ.
RasterPage TestPage(const ModelInfo& m, unsigned height, int pageNo = 0) {
  const unsigned width = unsigned(HeadDots(m));
  RasterPage p = UniformPage(MakeHeader(width, height, 8, CUPS_CSPACE_SW, unsigned(m.dpi)), 255);
  for (unsigned y = 0; y < height; ++y) {
    uint8_t* row = p.data.data() + size_t(y) * p.header.cupsBytesPerLine;
    for (unsigned x = 0; x < width; ++x) {
      if (y > 10 && y < 40 && x > 8 + unsigned(pageNo) * 20 && x < width / 2) row[x] = 0;
      if (y > 50 && y < 110 && (x / 3) % 3 == 0 && x > 16 && x < width - 16) row[x] = 0;
      if (y > 120 && y < 170) row[x] = uint8_t(x * 255 / width);
    }
  }
  return p;
}

// Equal byte strings, or where they part (printer streams are too long to
// print).
::testing::AssertionResult SameBytes(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  return ::testing::AssertionFailure() << got.size() << " bytes against " << want.size()
                                       << ", first difference at offset " << at;
}

// A job's bytes without the status question the application asks before
// them (a printer that never answers is asked once, then left alone).
std::string WithoutStatusQuestion(const ModelInfo& m, std::string bytes) {
  const tavel::StatusQuery* query = tavel::FamilyInfo(m.family).statusQuery;
  for (size_t i = 0; query && i < query->count; ++i) {
    const tavel::StatusExchange& e = query->exchanges[i];
    const std::string question(reinterpret_cast<const char*>(e.query), e.queryLength);
    if (bytes.compare(0, question.size(), question) != 0) break;
    bytes.erase(0, question.size());
    if (e.maxAnswer > 0) break;  // unanswered: nothing more is asked
  }
  return bytes;
}

class PrinterApp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = MakePrivateDir("app");
    ASSERT_TRUE(server_.Start(AppPath(), dir_, {"preview-jobs=" + std::to_string(kKeptJobs)}))
        << server_.Log();
    for (const ModelInfo& m : tavel::Models()) AddPrinter(m.driverName, m.driverName);
  }
  static void TearDownTestSuite() {
    server_.Stop();
    if (!failed_ && !getenv("TAVEL_KEEP_E2E")) RemoveTree(dir_);
  }
  void TearDown() override { failed_ = failed_ || HasFailure(); }

  static void AddPrinter(const std::string& name, const std::string& driver,
                         const std::string& device = "") {
    std::string why;
    ASSERT_TRUE(server_.AddPrinter(name, driver, device, &why)) << why;
  }
  static std::string PrinterUri(const std::string& name) { return server_.PrinterUri(name); }
  static CommandResult Ipp(const std::string& uri, const std::string& test) {
    return server_.Ipp(uri, test);
  }
  static std::string Operation(const char* op, const std::string& uriAttr,
                               const std::string& uri) {
    return AppServer::Operation(op, uriAttr, uri);
  }
  static int Print(const std::string& printer, const std::string& file, const char* format,
                   const std::string& jobName, const std::string& attrs) {
    return server_.Print(printer, file, format, jobName, attrs);
  }
  static std::string WaitForJob(const std::string& printer, int job) {
    return server_.WaitForJob(printer, job);
  }
  static int ActiveJob(const std::string& printer) { return server_.ActiveJob(printer); }
  static std::string Output(const std::string& printer, const std::string& jobName) {
    return ReadFile(server_.OutputPath(printer, jobName));
  }

  static std::string WriteRasterFile(const std::string& name,
                                     const std::vector<RasterPage>& pages) {
    const std::vector<uint8_t> raster = WriteRaster(pages, CUPS_RASTER_WRITE_PWG);
    const std::string path = dir_ + "/" + name + ".pwg";
    WriteFile(path, std::string(raster.begin(), raster.end()));
    return path;
  }

  // What the filter writes for the raster file with the PPD options.
  static std::string FilterBytes(const ModelInfo& m, const std::string& rasterFile,
                                 const std::string& options) {
    FilterJob job;
    job.ppdPath = PpdPath(m);
    job.args[4] = options;
    const std::string raster = ReadFile(rasterFile);
    job.input.assign(raster.begin(), raster.end());
    FilterResult r = RunFilter(job);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    return std::string(r.out.begin(), r.out.end());
  }

  static std::string dir_;
  static AppServer server_;
  static bool failed_;  // keeps the folder (log, outputs) for a look
};

std::string PrinterApp::dir_;
AppServer PrinterApp::server_;
bool PrinterApp::failed_ = false;

// One row per model: what IPP clients see, and one job with settings and
// the PPD options that mean the same.
struct AppCase {
  const char* driver;
  int darknessLevels;      // printer-darkness-supported; 0: not offered
  const char* speeds;      // print-speed-supported
  const char* tracking;    // media-tracking-supported
  const char* attributes;  // job attributes (ipptool ATTR lines, ';' between)
  const char* options;     // the filter's options for the same job
  const char* configured = "";  // printer attributes set before the job
};

const AppCase kCases[] = {
    {"tspl-2in-203", 16, "2540-15240", "continuous,gap,mark", "", "PostAction=Peel",
     "keyword label-mode-configured peel-off"},
    {"tspl-4in-203", 16, "2540-15240", "continuous,gap,mark",
     "integer print-darkness 6;integer print-speed 7620;"
     "collection media-col {MEMBER keyword media-tracking mark}",
     "Darkness=8 zePrintRate=3 zeMediaTracking=BLine"},
    {"tspl-4in-300", 16, "2540-15240", "continuous,gap,mark",
     "keyword print-content-optimize text;integer threshold-level 128;keyword trim-bottom all;"
     "keyword print-method thermal-transfer;integer feed-offset 3;keyword send-compressed on",
     "ImageFilter=0 Threshold=128 CropEdgeBottom=-1 MediaMethod=Transfer FeedOffset=3 "
     "ImageCompress=1"},
    {"escpos-58mm", 0, "", "continuous",
     "keyword cutter full-after-page;keyword cash-drawer before-printing;integer feed-offset 5;"
     "keyword tear-line on",
     "CutType=FullCutPage MoneyBox=BeforePrint FeedOffset=5 AutoDotted=1"},
    {"escpos-80mm", 0, "", "continuous",
     "keyword print-content-optimize photo;integer brightness 20;integer contrast 25;"
     "keyword halftoning stucki",
     "Brightness=20 Contrast=25 ImageFilter=4"},
    {"cpcl-4in-203", 0, "", "continuous,gap,mark",
     "collection media-col {MEMBER keyword media-tracking continuous};integer shift-horizontal 1;"
     "keyword trim-top 5mm",
     "zeMediaTracking=Continuous AdjustHoriaontal=1 CropEdgeTop=5"},
    {"paperang-384", 0, "", "continuous,gap,mark",
     "keyword page-rotation upside-down;collection media-col {MEMBER keyword media-tracking gap}",
     "Rotate=1 zeMediaTracking=Gap"},
    {"peripage-384", 6, "1000-9000", "continuous,gap,mark",
     "integer print-darkness 6;integer print-speed 5000;"
     "collection media-col {MEMBER keyword media-type recording};keyword sound-before every-page;"
     "keyword send-compressed on;keyword cutter partial-after-document",
     "Darkness=3 zePrintRate=4 zeMediaTracking=Recording BeginPrintSound=EveryPage "
     "ImageCompress=1 CutType=PartialCutDoc"},
};

std::string AttrLines(const char* attrs) {
  std::string text;
  std::istringstream in(attrs);
  std::string item;
  while (std::getline(in, item, ';'))
    if (!item.empty()) text += "ATTR " + item + "\n";
  return text;
}

void PrintTo(const AppCase& c, std::ostream* os) { *os << c.driver; }

class AppModels : public PrinterApp, public ::testing::WithParamInterface<AppCase> {};

TEST_P(AppModels, OffersTheModelAndPrintsLikeTheFilter) {
  const AppCase& c = GetParam();
  const ModelInfo& m = *tavel::FindModel(c.driver);

  // What a client sees.
  std::string display = "DISPLAY media-supported\nDISPLAY media-tracking-supported\n"
                        "DISPLAY printer-darkness-supported\nDISPLAY print-speed-supported\n"
                        "DISPLAY media-default\n";
  for (const tavel::VendorOption* v : tavel::VendorOptionsFor(m))
    display += std::string("DISPLAY ") + v->name + "-default\n";
  CommandResult r = Ipp(PrinterUri(c.driver),
                        Operation("Get-Printer-Attributes", "printer-uri", PrinterUri(c.driver)) +
                            display);
  ASSERT_EQ(r.status, 0) << r.Describe() << r.out;
  std::map<std::string, std::string> seen = DisplayedValues(r.out);
  for (const tavel::ModelMedia& media : m.media)
    EXPECT_NE(seen["media-supported"].find(media.pwgName), std::string::npos) << media.pwgName;
  EXPECT_NE(seen["media-supported"].find("custom_max_"), std::string::npos);
  EXPECT_EQ(seen["media-default"], m.Media(m.defaultMedia)->pwgName);
  EXPECT_EQ(seen["media-tracking-supported"], c.tracking);
  EXPECT_EQ(seen["printer-darkness-supported"],
            c.darknessLevels ? std::to_string(c.darknessLevels) : "");
  EXPECT_EQ(seen["print-speed-supported"], c.speeds);
  for (const tavel::VendorOption* v : tavel::VendorOptionsFor(m))
    EXPECT_EQ(seen[std::string(v->name) + "-default"],
              tavel::VendorValue(*v, m.Option(v->keyword)->defaultChoice))
        << v->name;

  if (*c.configured) {
    CommandResult set = Ipp(PrinterUri(c.driver),
                            Operation("Set-Printer-Attributes", "printer-uri",
                                      PrinterUri(c.driver)) +
                                "GROUP printer-attributes-tag\n" + AttrLines(c.configured) +
                                "STATUS successful-ok");
    ASSERT_EQ(set.status, 0) << set.Describe() << set.out;
  }

  // A PWG raster job with the case's settings, byte for byte the filter's.
  const std::string job = std::string("raster-") + c.driver;
  const std::string raster = WriteRasterFile(job, {TestPage(m, MediaRows(m))});
  const int id = Print(c.driver, raster, "image/pwg-raster", job, AttrLines(c.attributes));
  ASSERT_GT(id, 0);
  ASSERT_EQ(WaitForJob(c.driver, id), "completed") << ReadFile(dir_ + "/log");
  const std::string bytes = Output(c.driver, job);
  Decoded d = DecodeStream(Language(m), server_.OutputPath(c.driver, id, job), dir_ + "/" + job);
  ASSERT_TRUE(d.ok) << d.err;
  ASSERT_EQ(d.pages.size(), 1u) << d.listing;
  EXPECT_TRUE(SameBytes(bytes, FilterBytes(m, raster, c.options)));
}

INSTANTIATE_TEST_SUITE_P(Models, AppModels, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<AppCase>& row) {
                           std::string name = row.param.driver;
                           for (char& ch : name)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

// Documents PAPPL rasterizes itself: a PNG on a receipt printer and a JPEG
// on a label printer, each one page of the media's width with the box.
TEST_F(PrinterApp, PrintsPngAndJpeg) {
  struct Doc {
    const char* printer;
    const char* format;
    bool jpeg;
    double wPt, hPt;
    int width;  // dots the decoded page is wide (TSPL pads its rows)
  };
  const Doc docs[] = {{"escpos-58mm", "image/png", false, 136.2, 283.46, 384},
                      {"tspl-4in-203", "image/jpeg", true, 288, 432, 832}};
  for (const Doc& doc : docs) {
    const std::string name = std::string("doc-") + doc.printer;
    const std::string path = dir_ + "/" + name + (doc.jpeg ? ".jpg" : ".png");
    const std::string body = "0 setgray 22.68 " + std::to_string(doc.hPt - 42.52) +
                             " 56.69 28.35 rectfill showpage";
    std::string err;
    ASSERT_TRUE(doc.jpeg ? MakeJpeg(path, doc.wPt, doc.hPt, 203, body, err)
                         : MakePng(path, doc.wPt, doc.hPt, 203, body, err))
        << err;
    const int id = Print(doc.printer, path, doc.format, name, "");
    ASSERT_GT(id, 0);
    ASSERT_EQ(WaitForJob(doc.printer, id), "completed") << ReadFile(dir_ + "/log");
    const ModelInfo& m = *tavel::FindModel(doc.printer);
    Decoded d = DecodeStream(Language(m), server_.OutputPath(doc.printer, id, name),
                             dir_ + "/" + name);
    ASSERT_TRUE(d.ok) << d.err;
    ASSERT_EQ(d.pages.size(), 1u) << d.listing;
    EXPECT_EQ(d.pages[0].width, doc.width);
    // The 20 x 10 mm box, 8 mm from the left and 5 mm from the top.
    const Rect box = InkBox(d.pages[0]);
    EXPECT_NEAR(box.left, 64, 3) << ToString(box);
    EXPECT_NEAR(box.top, 40, 3) << ToString(box);
    EXPECT_NEAR(box.right - box.left, 160, 4) << ToString(box);
  }
  // A document the printer can't take is refused; the server keeps serving.
  const std::string text = dir_ + "/doc.txt";
  ASSERT_TRUE(WriteFile(text, "plain words\n"));
  const int id = Print("escpos-58mm", text, "application/octet-stream", "doc-text", "");
  ASSERT_GT(id, 0);
  EXPECT_EQ(WaitForJob("escpos-58mm", id), "aborted");
  EXPECT_GT(Print("escpos-58mm", dir_ + "/doc-escpos-58mm.png", "image/png", "again", ""), 0);
}

// A PDF, sent as it is (as a phone or a driverless queue may), prints at the
// printer's resolution with the box where the document has it.
TEST_F(PrinterApp, PrintsPdf) {
  const std::string pdf = dir_ + "/label.pdf";
  std::string err;
  ASSERT_TRUE(MakePdf(pdf, 288, 432,
                      "0 setgray 22.68 389.48 56.69 28.35 rectfill showpage", err))
      << err;
  const int id = Print("tspl-4in-203", pdf, "application/octet-stream", "doc-pdf", "");
  ASSERT_GT(id, 0);
  ASSERT_EQ(WaitForJob("tspl-4in-203", id), "completed") << ReadFile(dir_ + "/log");
  Decoded d = DecodeStream("tspl", server_.OutputPath("tspl-4in-203", id, "doc-pdf"),
                           dir_ + "/doc-pdf");
  ASSERT_TRUE(d.ok) << d.err;
  ASSERT_EQ(d.pages.size(), 1u) << d.listing;
  EXPECT_EQ(d.pages[0].width, 832);
  const Rect box = InkBox(d.pages[0]);
  EXPECT_NEAR(box.left, 64, 3) << ToString(box);
  EXPECT_NEAR(box.top, 40, 3) << ToString(box);
}

std::string JobMessage(AppServer& server, const std::string& printer, int job) {
  CommandResult r = server.Ipp(server.PrinterUri(printer),
                               AppServer::Operation("Get-Job-Attributes", "printer-uri",
                                                    server.PrinterUri(printer)) +
                                   "ATTR integer job-id " + std::to_string(job) +
                                   "\nDISPLAY job-state-message");
  return DisplayedValues(r.out)["job-state-message"];
}

// A PNG whose header claims the given size (and nothing after it).
std::string PngClaiming(uint32_t w, uint32_t h) {
  std::string ihdr = "IHDR";
  for (uint32_t v : {w, h}) {
    for (int shift = 24; shift >= 0; shift -= 8) ihdr += char((v >> shift) & 0xFF);
  }
  ihdr += std::string("\x08\x00\x00\x00\x00", 5);
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(ihdr.data()), uInt(ihdr.size()));
  std::string png = "\x89PNG\r\n\x1a\n" + std::string("\0\0\0\x0d", 4) + ihdr;
  for (int shift = 24; shift >= 0; shift -= 8) png += char((crc >> shift) & 0xFF);
  // An empty IDAT (its CRC) and the end: the header is all libpng reads.
  return png + std::string("\0\0\0\0IDAT\x35\xaf\x06\x1e\0\0\0\0IEND\xae\x42\x60\x82", 24);
}

// Documents that can't be read end their own job with a message that says
// why, and the printer goes on with the next job.
TEST_F(PrinterApp, UnreadableDocumentsEndTheirJob) {
  const std::string printer = "broken";
  AddPrinter(printer, "escpos-58mm");
  std::string err;
  const std::string png = dir_ + "/good.png", jpeg = dir_ + "/good.jpg", pdf = dir_ + "/good.pdf";
  const std::string body = "0 setgray 20 20 60 60 rectfill showpage";
  ASSERT_TRUE(MakePng(png, 136.2, 283.46, 203, body, err)) << err;
  ASSERT_TRUE(MakeJpeg(jpeg, 136.2, 283.46, 203, body, err)) << err;
  ASSERT_TRUE(MakePdf(pdf, 136.2, 283.46, body, err)) << err;
  const std::string goodPng = ReadFile(png), goodJpeg = ReadFile(jpeg), goodPdf = ReadFile(pdf);
  std::string hugeJpeg = goodJpeg;
  const size_t sof = hugeJpeg.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  hugeJpeg.replace(sof + 5, 4, std::string("\xFD\xE8\xFD\xE8", 4));  // 65000 x 65000
  cups_page_header2_t noWidth = MakeHeader(384, 100, 8, CUPS_CSPACE_SW, 203);
  noWidth.cupsWidth = 0;
  const std::vector<uint8_t> badRaster =
      WriteRaster({UniformPage(noWidth, 255)}, CUPS_RASTER_WRITE_PWG);
  const std::vector<uint8_t> raster = WriteRaster(
      {UniformPage(MakeHeader(384, 400, 8, CUPS_CSPACE_SW, 203), 0)}, CUPS_RASTER_WRITE_PWG);
  struct Row {
    const char* name;
    const char* format;
    std::string content;
    const char* message;  // part of the job's message
  };
  const Row rows[] = {
      {"png-zeros", "image/png", "\x89PNG\r\n\x1a\n" + std::string(64, '\0'),
       "The PNG image can't be read"},
      {"png-cut", "image/png", goodPng.substr(0, goodPng.size() / 2),
       "The PNG image can't be read"},
      {"png-huge", "image/png", PngClaiming(100000, 100000), "too large"},
      {"png-text", "image/png", "plain words", "not a PNG"},
      {"jpeg-zeros", "image/jpeg", "\xFF\xD8" + std::string(64, '\0'),
       "The JPEG image can't be read"},
      {"jpeg-cut", "image/jpeg", goodJpeg.substr(0, goodJpeg.size() / 2),
       "The JPEG image can't be read"},
      {"jpeg-huge", "image/jpeg", hugeJpeg, "too large"},
      {"pdf-text", "application/pdf", "plain words, no PDF", "not a PDF"},
      {"pdf-cut", "application/pdf", goodPdf.substr(0, 60), "PDF"},
      {"raster-no-width", "image/pwg-raster", std::string(badRaster.begin(), badRaster.end()),
       ""},
      {"raster-cut", "image/pwg-raster",
       std::string(raster.begin(), raster.begin() + long(raster.size() / 2)), ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string path = dir_ + "/" + r.name;
    ASSERT_TRUE(WriteFile(path, r.content));
    const int id = Print(printer, path, r.format, r.name, "");
    ASSERT_GT(id, 0);
    const std::string state = WaitForJob(printer, id);
    EXPECT_EQ(state, "aborted");
    // PAPPL reads streamed raster itself and words its own message.
    if (!*r.message) continue;
    EXPECT_NE(JobMessage(server_, printer, id).find(r.message), std::string::npos)
        << JobMessage(server_, printer, id);
    EXPECT_EQ(Output(printer, r.name), "");
  }
  // Every document of every format prints after them.
  for (const std::string& good : {png, jpeg, pdf}) {
    const std::string name = "after-" + good.substr(good.rfind('.') + 1);
    const char* format =
        good == png ? "image/png" : good == jpeg ? "image/jpeg" : "application/pdf";
    const int id = Print(printer, good, format, name, "");
    ASSERT_EQ(WaitForJob(printer, id), "completed") << name;
    Decoded d = DecodeStream("escpos", server_.OutputPath(printer, name), dir_ + "/" + name);
    ASSERT_TRUE(d.ok) << d.err;
    EXPECT_EQ(d.pages.size(), 1u) << name;
  }
}

// Documents fitted to the job's media: a page never wider than the head,
// labels as long as the label, a roll's page as long as the document.
TEST_F(PrinterApp, FitsDocumentsToTheMedia) {
  std::string err;
  const std::string a4pdf = dir_ + "/a4.pdf", a4png = dir_ + "/a4.png";
  // A 20 x 10 mm box 8 mm from the left, 10 mm from the top.
  const std::string box = "0 setgray 22.68 785.2 56.69 28.35 rectfill showpage";
  ASSERT_TRUE(MakePdf(a4pdf, 595.28, 841.89, box, err)) << err;
  ASSERT_TRUE(MakePng(a4png, 595.28, 841.89, 100, box, err)) << err;
  const std::string label = dir_ + "/label.png";
  ASSERT_TRUE(MakePng(label, 288, 432, 203, "0 setgray 22.68 389.48 56.69 28.35 rectfill "
                      "showpage", err)) << err;
  RasterPage wide = UniformPage(MakeHeader(1600, 400, 8, CUPS_CSPACE_SW, 203), 255);
  for (unsigned y = 20; y < 120; ++y)
    std::memset(wide.data.data() + size_t(y) * 1600 + 20, 0, 200);
  const std::string raster = WriteRasterFile("wide", {wide});
  struct Row {
    const char* name;
    const char* printer;
    const char* lang;
    std::string file;
    const char* format;
    const char* attrs;
    int width, height;  // the decoded page
    Rect box;           // where the box is
  };
  const Row rows[] = {
      // 0.513 times as large, 24 dots cut on either side.
      {"a4-on-4x6", "tspl-4in-203", "tspl", a4pdf, "application/pdf",
       "keyword media na_index-4x6_4x6in", 832, 1218, {9, 41, 91, 83}},
      // 0.229 times as large.
      {"a4-on-58mm", "escpos-58mm", "escpos", a4png, "image/png", "", 384, 543,
       {14, 18, 52, 37}},
      // Turned a quarter (its top to the left) and fitted: 0.761 times as
      // large, 253 dots from the left.
      {"wide-raster", "tspl-4in-203", "tspl", raster, "image/pwg-raster", "", 832, 1218,
       {268, 1050, 345, 1203}},
      {"landscape", "tspl-4in-203", "tspl", label, "image/png",
       "enum orientation-requested 4", 832, 1218, {27, 729, 80, 835}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const int id = Print(r.printer, r.file, r.format, r.name, AttrLines(r.attrs));
    ASSERT_GT(id, 0);
    ASSERT_EQ(WaitForJob(r.printer, id), "completed") << ReadFile(dir_ + "/log");
    Decoded d = DecodeStream(r.lang, server_.OutputPath(r.printer, r.name), dir_ + "/" + r.name);
    ASSERT_TRUE(d.ok) << d.err;
    ASSERT_EQ(d.pages.size(), 1u) << d.listing;
    EXPECT_EQ(d.pages[0].width, r.width);
    EXPECT_NEAR(d.pages[0].height, r.height, 1);
    const Rect ink = InkBox(d.pages[0]);
    EXPECT_TRUE(std::abs(ink.left - r.box.left) <= 3 && std::abs(ink.top - r.box.top) <= 3 &&
                std::abs(ink.right - r.box.right) <= 3 &&
                std::abs(ink.bottom - r.box.bottom) <= 3)
        << ToString(ink) << " against " << ToString(r.box);
  }
}

// Copies of every format, in the order the CUPS filter prints them:
// uncollated unless collated copies are asked for.
TEST_F(PrinterApp, CopiesAsCupsPrintsThem) {
  const ModelInfo& m = *tavel::FindModel("tspl-4in-203");
  std::string err;
  const std::string pdf = dir_ + "/three.pdf", png = dir_ + "/copy.png";
  std::string pages;
  for (int i = 0; i < 3; ++i)
    pages += "0 setgray " + std::to_string(10 + 90 * i) + " 400 20 20 rectfill showpage\n";
  ASSERT_TRUE(MakePdf(pdf, 288, 432, pages, err)) << err;
  ASSERT_TRUE(MakePng(png, 288, 432, 203, "0 setgray 10 400 20 20 rectfill showpage", err))
      << err;
  const std::string raster = WriteRasterFile("copies", {TestPage(m, MediaRows(m))});
  // The filter, as CUPS runs it, on the same documents.
  const std::string filter = dir_ + "/rastertotavelpress";
  ASSERT_TRUE(CopyFile(TAVEL_FILTER_PATH, filter, 0755));
  const std::string ppd = PpdWithFilter(m.ppdFile, dir_, filter);
  auto cups = [&](const std::string& doc, const std::string& name, bool collate) {
    std::vector<std::string> argv = {"cupsfilter", "-e", "-p", ppd, "-m", "printer/foo",
                                     "-n", "2"};
    if (collate) argv.insert(argv.end(), {"-o", "collate=true"});
    argv.push_back(doc);
    const std::string out = dir_ + "/" + name + ".cups";
    CommandResult r = RunCommand(argv, 120, out);
    EXPECT_EQ(r.status, 0) << r.Describe();
    return DecodeStream("tspl", out, dir_ + "/" + name + "-cups");
  };
  struct Row {
    const char* name;
    std::string file;
    const char* format;
    bool collate;
    size_t pages;
  } rows[] = {{"pdf-uncollated", pdf, "application/pdf", false, 6},
              {"pdf-collated", pdf, "application/pdf", true, 6},
              {"png", png, "image/png", false, 2},
              {"raster", raster, "image/pwg-raster", false, 2}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::string attrs = "ATTR integer copies 2\n";
    if (r.collate)
      attrs += "ATTR keyword multiple-document-handling separate-documents-collated-copies\n";
    const int id = Print(m.driverName, r.file, r.format, r.name, attrs);
    ASSERT_EQ(WaitForJob(m.driverName, id), "completed") << ReadFile(dir_ + "/log");
    Decoded app = DecodeStream("tspl", server_.OutputPath(m.driverName, r.name),
                               dir_ + "/" + r.name);
    ASSERT_TRUE(app.ok) << app.err;
    ASSERT_EQ(app.pages.size(), r.pages) << app.listing;
    if (std::string(r.format) != "application/pdf") {
      EXPECT_EQ(app.pages[0].px, app.pages[1].px);
      continue;
    }
    Decoded want = cups(r.file, r.name, r.collate);
    ASSERT_TRUE(want.ok) << want.err;
    ASSERT_EQ(want.pages.size(), r.pages);
    for (size_t p = 0; p < r.pages; ++p)
      EXPECT_NEAR(InkBox(app.pages[p]).left, InkBox(want.pages[p]).left, 2) << "page " << p + 1;
  }
}

// A cancel ends that job alone, whether it waits or Ghostscript is at it.
TEST_F(PrinterApp, CancelEndsTheJobAlone) {
  const std::string printer = "cancel";
  AddPrinter(printer, "tspl-4in-203");
  std::string err, pages;
  for (int i = 0; i < 400; ++i) pages += "0 setgray 10 400 20 20 rectfill showpage\n";
  const std::string pdf = dir_ + "/long.pdf";
  ASSERT_TRUE(MakePdf(pdf, 288, 432, pages, err)) << err;
  const int running = Print(printer, pdf, "application/pdf", "long", "");
  const int queued = Print(printer, pdf, "application/pdf", "queued", "");
  ASSERT_GT(running, 0);
  ASSERT_GT(queued, 0);
  for (int i = 0; i < 300 && Output(printer, "long").empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (int id : {queued, running}) {
    const std::string uri = PrinterUri(printer) + "/" + std::to_string(id);
    CommandResult cancel = Ipp(uri, Operation("Cancel-Job", "job-uri", uri));
    EXPECT_EQ(cancel.status, 0) << cancel.Describe();
  }
  EXPECT_EQ(WaitForJob(printer, running), "canceled");
  EXPECT_EQ(WaitForJob(printer, queued), "canceled");
  EXPECT_EQ(Output(printer, "queued"), "");
  Decoded d = DecodeStream("tspl", server_.OutputPath(printer, "long"), dir_ + "/long");
  EXPECT_LT(d.pages.size(), 400u);
  const std::string one = dir_ + "/one.pdf";
  ASSERT_TRUE(MakePdf(one, 288, 432, "showpage", err)) << err;
  const int next = Print(printer, one, "application/pdf", "next", "");
  EXPECT_EQ(WaitForJob(printer, next), "completed");
}

TEST_F(PrinterApp, TwoPrintersAtOnceGiveTheBytesOfOne) {
  const ModelInfo& m = *tavel::FindModel("tspl-4in-203");
  AddPrinter("twin", m.driverName);
  std::vector<RasterPage> pages;
  for (int i = 0; i < 3; ++i) pages.push_back(TestPage(m, MediaRows(m), i));
  const std::string raster = WriteRasterFile("twin", pages);
  const int a = Print("twin", raster, "image/pwg-raster", "together", "");
  const int b = Print(m.driverName, raster, "image/pwg-raster", "together", "");
  ASSERT_EQ(WaitForJob("twin", a), "completed");
  ASSERT_EQ(WaitForJob(m.driverName, b), "completed");
  const std::string expected = FilterBytes(m, raster, "");
  EXPECT_TRUE(SameBytes(Output("twin", "together"), expected));
  EXPECT_TRUE(SameBytes(Output(m.driverName, "together"), expected));
}

// socket:// goes through the application's own scheme: a job arrives
// whole; a printer that closes the connection mid-job aborts the job.
TEST_F(PrinterApp, SocketPrinterGetsTheJobAndItsLoss) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size), 0);
  const ModelInfo& m = *tavel::FindModel("tspl-4in-203");
  AddPrinter("net", m.driverName, "socket://127.0.0.1:" + std::to_string(ntohs(a.sin_port)));
  std::vector<RasterPage> pages;
  for (int i = 0; i < 3; ++i) pages.push_back(TestPage(m, MediaRows(m), i));
  const std::string raster = WriteRasterFile("net", pages);
  // Reads the job's connection: all of it, or closes after `limit` bytes.
  // Connections that only ask how the printer is (the check of a printer
  // just made) are passed over.
  auto serve = [&](size_t limit) {
    std::string got;
    for (int connection = 0; connection < 3 && WithoutStatusQuestion(m, got).empty();
         ++connection) {
      got.clear();
      const int peer = accept(listener, nullptr, nullptr);
      char buf[4096];
      ssize_t n;
      while (got.size() < limit && (n = read(peer, buf, sizeof buf)) > 0)
        got.append(buf, size_t(n));
      close(peer);
    }
    return got;
  };
  std::string whole;
  std::thread printer([&] { whole = serve(SIZE_MAX); });
  ASSERT_EQ(WaitForJob("net", Print("net", raster, "image/pwg-raster", "net", "")), "completed");
  printer.join();
  EXPECT_TRUE(SameBytes(WithoutStatusQuestion(m, whole), FilterBytes(m, raster, "")));

  std::thread lost([&] { serve(1000); });
  const int id = Print("net", WriteRasterFile("net-long", std::vector<RasterPage>(20, pages[0])),
                       "image/pwg-raster", "lost", "");
  lost.join();
  EXPECT_EQ(WaitForJob("net", id), "aborted");
  close(listener);
}

// A printer's previews page: the job with its byte count, pages and
// commands; pictures that are the decoded pages of the bytes the device
// got; no more jobs than the setting keeps.
TEST_F(PrinterApp, PreviewsShowWhatWasSent) {
  const ModelInfo& m = *tavel::FindModel("tspl-2in-203");
  AddPrinter("preview", m.driverName);
  const std::string raster = WriteRasterFile("preview", {TestPage(m, 200), TestPage(m, 240, 1)});
  std::vector<int> ids;
  for (int i = 0; i <= kKeptJobs; ++i) {
    ids.push_back(Print("preview", raster, "image/pwg-raster", "preview-" + std::to_string(i), ""));
    ASSERT_EQ(WaitForJob("preview", ids.back()), "completed");
  }
  const HttpReply page = server_.Get("/preview/previews");
  ASSERT_EQ(page.status, 200);
  EXPECT_EQ(CountBytes(page.body, "<h2 class=\"title\" id=\"job-"), size_t(kKeptJobs));
  EXPECT_EQ(page.body.find("id=\"job-" + std::to_string(ids[0]) + "\""), std::string::npos);
  EXPECT_EQ(server_.Get("/preview/previews?job=" + std::to_string(ids[0]) + "&page=1").status,
            404);

  const std::string id = std::to_string(ids.back());
  const std::string job = "preview-" + std::to_string(kKeptJobs);
  const std::string sent = Output("preview", job);
  for (const std::string& text :
       {"Job " + id + ": " + job + "</h2>", std::to_string(sent.size()) + " bytes of tspl",
        std::string("SIZE "), std::string("GAP "), std::string("BITMAP "),
        std::string("print 1 copy of page 2")})
    EXPECT_NE(page.body.find(text), std::string::npos) << text;
  Decoded d = DecodeStream("tspl", server_.OutputPath("preview", job), dir_ + "/preview-sent");
  ASSERT_TRUE(d.ok) << d.err;
  ASSERT_EQ(d.pages.size(), 2u);
  for (size_t p = 0; p < d.pages.size(); ++p) {
    const GrayImage& want = d.pages[p];
    const std::string src = "/preview/previews?job=" + id + "&page=" + std::to_string(p + 1);
    EXPECT_NE(page.body.find("job=" + id + "&amp;page=" + std::to_string(p + 1) + "\" width=\"" +
                             std::to_string(want.width) + "\" height=\"" +
                             std::to_string(want.height) + "\""),
              std::string::npos);
    const HttpReply png = server_.Get(src);
    ASSERT_EQ(png.status, 200) << src;
    EXPECT_EQ(png.type, "image/png");
    const std::string path = dir_ + "/fetched-" + std::to_string(p + 1) + ".png";
    WriteFile(path, png.body);
    GrayImage got;
    std::string err;
    ASSERT_TRUE(ReadPng(path, got, err)) << err;
    EXPECT_EQ(got.width, want.width);
    EXPECT_EQ(got.height, want.height);
    EXPECT_TRUE(got.px == want.px) << "page " << p + 1;
  }
}

// PAPPL's "Print Test Page" button on every model: one page of the model's
// width, its rulers starting at the page's top left corner.
TEST_F(PrinterApp, TestPageOfEveryModelPrints) {
  for (const ModelInfo& m : tavel::Models())
    ASSERT_TRUE(server_.PrinterAction(m.driverName, "print-test-page")) << m.driverName;
  for (const ModelInfo& m : tavel::Models()) {
    SCOPED_TRACE(m.driverName);
    std::string out;
    for (int i = 0; i < 300; ++i) {
      out = server_.OutputPath(m.driverName, "Test Page");
      if (!ReadFile(out).empty() && ActiveJob(m.driverName) == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    Decoded d = DecodeStream(Language(m), out, dir_ + "/test-page-" + m.driverName);
    ASSERT_TRUE(d.ok) << d.err << ReadFile(dir_ + "/log");
    ASSERT_EQ(d.pages.size(), 1u) << d.listing;
    // Label printers pad their rows to whole bytes or words.
    EXPECT_GE(d.pages[0].width, HeadDots(m));
    EXPECT_LT(d.pages[0].width, HeadDots(m) + 32);
    const Rect ink = InkBox(d.pages[0]);
    EXPECT_EQ(ink.left, 0) << ToString(ink);
    EXPECT_EQ(ink.top, 0) << ToString(ink);
  }
}

// A receipt printer on a serial port (a pseudo-terminal whose reader takes
// its time). Cancelled while its second page goes out, the job ends after
// that page with the document's end (its cut) sent: the bytes are the
// filter's for those two pages. A port that goes away fails the job.
TEST_F(PrinterApp, SerialPortCancelAndLoss) {
  int master = -1, slave = -1;
  char name[128] = {0};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  std::atomic<bool> reading{true};
  std::atomic<size_t> received{0};
  std::mutex lock;
  std::string bytes;
  std::thread reader([&] {
    char buf[256];
    while (reading) {
      pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;
      std::lock_guard<std::mutex> hold(lock);
      bytes.append(buf, size_t(n));
      received = bytes.size();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  auto waitFor = [&](size_t count) {
    for (int i = 0; i < 1000 && received < count; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  };
  const ModelInfo& m = *tavel::FindModel("escpos-58mm");
  AddPrinter("serial", m.driverName, std::string("serial://") + name + "?chunk=512&pause=5");

  std::vector<RasterPage> pages;
  for (int i = 0; i < 3; ++i) pages.push_back(TestPage(m, 1200, i));
  const std::string raster = WriteRasterFile("serial3", pages);
  const std::string twoPages = WriteRasterFile("serial2", {pages[0], pages[1]});
  const std::string onePage = FilterBytes(m, WriteRasterFile("serial1", {pages[0]}),
                                          "CutType=FullCutDoc");
  // Print-Job answers once a streamed raster job has printed, so the jobs
  // go from threads of their own.
  int id = 0;
  std::thread cancelled([&] {
    id = Print("serial", raster, "image/pwg-raster", "cancelled",
               "ATTR keyword cutter full-after-document");
  });
  waitFor(onePage.size() + onePage.size() / 4);
  const int current = ActiveJob("serial");
  const std::string jobUri = PrinterUri("serial") + "/" + std::to_string(current);
  CommandResult cancel = Ipp(jobUri, Operation("Cancel-Job", "job-uri", jobUri));
  EXPECT_EQ(cancel.status, 0) << cancel.Describe();
  cancelled.join();
  EXPECT_EQ(id, current);
  EXPECT_EQ(WaitForJob("serial", current), "canceled");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  {
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_TRUE(SameBytes(WithoutStatusQuestion(m, bytes),
                          FilterBytes(m, twoPages, "CutType=FullCutDoc")));
  }

  // The far end goes away while a job prints.
  const size_t before = received;
  std::thread lost([&] { Print("serial", raster, "image/pwg-raster", "lost", ""); });
  waitFor(before + 1000);
  const int lostId = ActiveJob("serial");
  reading = false;
  reader.join();
  close(master);
  lost.join();
  EXPECT_EQ(WaitForJob("serial", lostId), "aborted");
  close(slave);
}

// The kept previews: the newest jobs within the number and the disk
// budget; a stream the decoder refuses is kept with the reason.
TEST(AppPreviewStore, KeepsTheNewestWithinNumberAndBytes) {
  const ModelInfo& m = *tavel::FindModel("escpos-58mm");
  // ESC @, then a raster of 48 bytes x 100 rows with a pattern.
  std::vector<uint8_t> stream = {0x1B, 0x40, 0x1D, 0x76, 0x30, 0x00, 48, 0, 100, 0};
  for (int i = 0; i < 48 * 100; ++i) stream.push_back(uint8_t(i * 37));
  struct Row {
    const char* what;
    int jobs;
    double budget;  // the disk budget in jobs' worth of bytes; 0: the default
    std::vector<int> kept;
  } rows[] = {{"by number", 2, 0, {5, 4}}, {"by bytes", 5, 3.5, {5, 4, 3}},
              {"none fits", 5, 0.5, {}}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const std::string dir = MakePrivateDir("previews");
    tavel::PreviewSettings settings;
    settings.jobs = r.jobs;
    std::string err;
    ASSERT_TRUE(tavel::KeepPreview(dir, settings, m, 1, "one", stream, &err)) << err;
    uint64_t perJob = 0;
    for (const auto& file : std::filesystem::directory_iterator(dir + "/job-1"))
      perJob += file.file_size();
    if (r.budget > 0) settings.maxBytes = uint64_t(r.budget * double(perJob));
    for (int id = 2; id <= 5; ++id)
      ASSERT_TRUE(tavel::KeepPreview(dir, settings, m, id, "job", stream, &err)) << err;
    std::vector<int> kept;
    for (const tavel::JobPreview& job : tavel::ListPreviews(dir)) kept.push_back(job.id);
    EXPECT_EQ(kept, r.kept);
    RemoveTree(dir);
  }
  // Cut short: the page so far and where the decoder stopped.
  const std::string dir = MakePrivateDir("previews");
  std::string err;
  std::vector<uint8_t> cut = stream;
  cut.push_back(0x1D);
  ASSERT_TRUE(tavel::KeepPreview(dir, tavel::PreviewSettings(), m, 7, "cut", cut, &err));
  const std::vector<tavel::JobPreview> jobs = tavel::ListPreviews(dir);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].bytes, cut.size());
  EXPECT_NE(jobs[0].error.find("offset " + std::to_string(stream.size())), std::string::npos)
      << jobs[0].error;
  EXPECT_NE(jobs[0].commands.find("GS v 0"), std::string::npos) << jobs[0].commands;
  RemoveTree(dir);
}

// A PDF page Ghostscript takes seconds to draw: three million tiny boxes,
// deflated to a few dozen kilobytes.
std::string SlowPdf() {
  const std::string ops = [] {
    std::string text;
    for (int i = 0; i < 1000; ++i) text += "1 1 1 1 re f\n";
    return text;
  }();
  z_stream z{};
  deflateInit(&z, Z_BEST_COMPRESSION);
  std::string data(1 << 20, '\0');
  z.next_out = reinterpret_cast<Bytef*>(&data[0]);
  z.avail_out = uInt(data.size());
  for (int i = 0; i < 3000; ++i) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(ops.data()));
    z.avail_in = uInt(ops.size());
    deflate(&z, i == 2999 ? Z_FINISH : Z_NO_FLUSH);
  }
  data.resize(z.total_out);
  deflateEnd(&z);
  const std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 288 432] /Contents 4 0 R >>",
      "<< /Length " + std::to_string(data.size()) + " /Filter /FlateDecode >>\nstream\n" + data +
          "\nendstream"};
  std::string pdf = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t xref = pdf.size();
  pdf += "xref\n0 5\n0000000000 65535 f \n";
  for (size_t at : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", at);
    pdf += line;
  }
  return pdf + "trailer\n<< /Size 5 /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) +
         "\n%%EOF\n";
}

// Ghostscript is stopped at its time limit (one second here) and the job
// says so; the printer goes on.
TEST(AppGhostscript, IsStoppedAtItsTimeLimit) {
  const std::string dir = MakePrivateDir("app-gs");
  AppServer server;
  setenv("TAVELPRESS_GHOSTSCRIPT_SECONDS", "1", 1);
  const bool started = server.Start(TAVEL_APP_PATH, dir);
  unsetenv("TAVELPRESS_GHOSTSCRIPT_SECONDS");
  ASSERT_TRUE(started) << server.Log();
  std::string why;
  ASSERT_TRUE(server.AddPrinter("slow", "tspl-4in-203", "", &why)) << why;
  ASSERT_TRUE(WriteFile(dir + "/slow.pdf", SlowPdf()));
  const int id = server.Print("slow", dir + "/slow.pdf", "application/pdf", "slow", "");
  ASSERT_GT(id, 0);
  EXPECT_EQ(server.WaitForJob("slow", id), "aborted");
  EXPECT_NE(JobMessage(server, "slow", id).find("took longer than 1 seconds"), std::string::npos)
      << JobMessage(server, "slow", id);
  std::string err;
  ASSERT_TRUE(MakePdf(dir + "/quick.pdf", 288, 432, "showpage", err)) << err;
  const int next = server.Print("slow", dir + "/quick.pdf", "application/pdf", "quick", "");
  EXPECT_EQ(server.WaitForJob("slow", next), "completed");
  server.Stop();
  if (!::testing::Test::HasFailure()) RemoveTree(dir);
}

// Where a document page lands on the media: 4 x 6 in labels (812 x 1218
// dots at 203 dpi, a head of 863 dots) and a 58 mm roll (384 dots).
TEST(AppPageFit, FitsPagesAsIppSays) {
  using tavel::Orientation;
  using tavel::Scaling;
  struct Row {
    const char* what;
    uint32_t w, h;
    double res;  // pixels per inch, 0 unknown
    Scaling scaling;
    Orientation orientation;
    bool roll;
    int mediaW, mediaL;  // hundredths of mm
    uint32_t maxLength;
    // expected: page, scaled (before turning), turns, placement
    uint32_t pageW, pageH, scaledW, scaledH;
    int turns;
    int64_t left, top;
  };
  const Scaling kAuto = Scaling::kAuto, kFit = Scaling::kFit, kFill = Scaling::kFill,
                kNone = Scaling::kNone, kAutoFit = Scaling::kAutoFit;
  const Orientation kAny = Orientation::kNone;
  const Row rows[] = {
      {"of the media's size", 812, 1218, 203, kAuto, kAny, false, 10160, 15240, 0,
       812, 1218, 812, 1218, 0, 0, 0},
      {"two dots off", 813, 1216, 0, kFill, kAny, false, 10160, 15240, 0,
       813, 1216, 813, 1216, 0, 0, 0},
      {"A4 fills (little to crop)", 1678, 2374, 203, kAuto, kAny, false, 10160, 15240, 0,
       812, 1218, 861, 1218, 0, -24, 0},
      {"A4 fits", 1678, 2374, 203, kFit, kAny, false, 10160, 15240, 0,
       812, 1218, 812, 1149, 0, 0, 34},
      {"A4 unscaled is cropped", 1678, 2374, 203, kNone, kAny, false, 10160, 15240, 0,
       812, 1218, 1678, 2374, 0, -433, -578},
      {"a long page fits rather than lose half", 400, 1600, 203, kAuto, kAny, false, 10160,
       15240, 0, 812, 1218, 305, 1218, 0, 253, 0},
      {"smaller is centred", 300, 400, 203, kAutoFit, kAny, false, 10160, 15240, 0,
       812, 1218, 300, 400, 0, 256, 409},
      {"fill enlarges", 406, 609, 203, kFill, kAny, false, 10160, 15240, 0,
       812, 1218, 812, 1218, 0, 0, 0},
      {"landscape page turns", 1218, 812, 203, kAuto, kAny, false, 10160, 15240, 0,
       812, 1218, 1218, 812, 1, 0, 0},
      {"landscape asked for", 812, 1218, 203, kAuto, Orientation::kLandscape, false, 10160,
       15240, 0, 812, 1218, 541, 812, 1, 0, 338},
      {"reverse-landscape", 812, 1218, 203, kFit, Orientation::kReverseLandscape, false,
       10160, 15240, 0, 812, 1218, 541, 812, 3, 0, 338},
      {"reverse-portrait", 812, 1218, 203, kAuto, Orientation::kReversePortrait, false, 10160,
       15240, 0, 812, 1218, 812, 1218, 2, 0, 0},
      {"300 ppi picture at its size", 1200, 1800, 300, kAuto, kAny, false, 10160, 15240, 0,
       812, 1218, 812, 1218, 0, 0, 0},
      {"media wider than the head", 900, 400, 203, kAutoFit, kAny, false, 12000, 5080, 0,
       863, 406, 863, 384, 0, 0, 11},
      {"roll: A4 at the roll's width", 1678, 2374, 203, kAuto, kAny, true, 4805, 10000, 0,
       384, 543, 384, 543, 0, 0, 0},
      {"roll: narrower stays, centred", 200, 500, 203, kAuto, kAny, true, 4805, 10000, 0,
       384, 500, 200, 500, 0, 92, 0},
      {"roll: fit widens", 192, 500, 203, kFit, kAny, true, 4805, 10000, 0,
       384, 1000, 384, 1000, 0, 0, 0},
      {"roll: within the longest page", 384, 5000, 203, kFit, kAny, true, 4805, 10000, 2000,
       384, 2000, 154, 2000, 0, 115, 0},
      {"roll: unscaled is cut", 384, 5000, 203, kNone, kAny, true, 4805, 10000, 2000,
       384, 2000, 384, 5000, 0, 0, 0},
      {"roll: landscape page stays", 600, 300, 203, kAuto, kAny, true, 4805, 10000, 0,
       384, 192, 384, 192, 0, 0, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    tavel::FitRequest q;
    q.width = r.w;
    q.height = r.h;
    q.xResolution = q.yResolution = r.res;
    q.mediaWidth = r.mediaW;
    q.mediaLength = r.mediaL;
    q.scaling = r.scaling;
    q.orientation = r.orientation;
    q.roll = r.roll;
    q.headDots = r.roll ? 384 : 863;
    q.maxLengthDots = r.maxLength;
    const tavel::PageFit f = tavel::FitPage(q);
    ASSERT_TRUE(f.ok) << f.reason;
    EXPECT_EQ(f.width, r.pageW);
    EXPECT_EQ(f.height, r.pageH);
    EXPECT_EQ(f.scaledWidth, r.scaledW);
    EXPECT_EQ(f.scaledHeight, r.scaledH);
    EXPECT_EQ(f.quarterTurns, r.turns);
    EXPECT_EQ(f.left, r.left);
    EXPECT_EQ(f.top, r.top);
    EXPECT_LE(f.width, q.headDots);
  }
  tavel::FitRequest none;
  none.mediaWidth = 10160;
  none.mediaLength = 15240;
  EXPECT_FALSE(tavel::FitPage(none).ok) << "no pixels";
  none.width = none.height = 10;
  none.mediaWidth = 0;
  EXPECT_FALSE(tavel::FitPage(none).ok) << "no media";
}

TEST(AppPageFit, RefusesAbsurdDocumentSizesBeforeAllocating) {
  struct Row {
    uint64_t w, h;
    unsigned channels;
    bool allowed;
  } rows[] = {{100000, 100000, 1, false}, {1, 300000000, 1, false}, {2000000, 1, 1, false},
              {600000, 1, 2, false},      {0, 5, 1, false},         {4000, 3000, 2, true},
              {16000, 16000, 1, true}};
  for (const Row& r : rows) {
    std::string why;
    EXPECT_EQ(tavel::DocumentSizeAllowed(r.w, r.h, r.channels, &why), r.allowed)
        << r.w << " x " << r.h << ": " << why;
    EXPECT_EQ(why.empty(), r.allowed);
  }
}

// The pixel work: where one dot goes for each turn, and the averages of a
// reduction and an enlargement.
TEST(AppPagePlacer, TurnsScalesAndPlaces) {
  auto place = [](uint32_t w, uint32_t h, const std::vector<uint8_t>& src, tavel::PageFit fit) {
    // The page's rows lie wider apart than its width (as in the engine's
    // image); the bytes between them must stay untouched.
    const size_t stride = fit.width + 3;
    std::vector<uint8_t> canvas(stride * fit.height, 255);
    tavel::CPagePlacer placer;
    EXPECT_TRUE(placer.Start(fit, w, h, canvas.data(), stride));
    for (uint32_t y = 0; y < h; ++y) placer.AddRow(src.data() + size_t(y) * w);
    placer.Finish();
    std::vector<uint8_t> page;
    for (uint32_t y = 0; y < fit.height; ++y) {
      page.insert(page.end(), canvas.begin() + y * stride, canvas.begin() + y * stride + fit.width);
      for (size_t x = fit.width; x < stride; ++x) EXPECT_EQ(canvas[y * stride + x], 255);
    }
    return page;
  };
  auto fitOf = [](uint32_t pw, uint32_t ph, uint32_t sw, uint32_t sh, int turns) {
    tavel::PageFit f;
    f.ok = true;
    f.width = pw, f.height = ph, f.scaledWidth = sw, f.scaledHeight = sh;
    f.quarterTurns = turns;
    return f;
  };
  // 4 x 2, black at (0, 0) and gray at (3, 1).
  std::vector<uint8_t> src(8, 255);
  src[0] = 0;
  src[7] = 100;
  struct Turn {
    int turns;
    uint32_t pw, ph;
    size_t black, gray;  // indexes on the page
  } turns[] = {{0, 4, 2, 0, 7}, {1, 2, 4, 3 * 2 + 0, 0 * 2 + 1}, {2, 4, 2, 7, 0},
               {3, 2, 4, 0 * 2 + 1, 3 * 2 + 0}};
  for (const Turn& t : turns) {
    const std::vector<uint8_t> page = place(4, 2, src, fitOf(t.pw, t.ph, 4, 2, t.turns));
    ASSERT_EQ(page.size(), 8u);
    for (size_t i = 0; i < page.size(); ++i)
      EXPECT_EQ(page[i], i == t.black ? 0 : i == t.gray ? 100 : 255)
          << "turns " << t.turns << " at " << i;
  }
  // 2 x 2 to one dot: the mean; one dot to 3 x 3 in a 5 x 5 page at (1, 1).
  EXPECT_EQ(place(2, 2, {0, 255, 255, 255}, fitOf(1, 1, 1, 1, 0))[0], 191);
  tavel::PageFit big = fitOf(5, 5, 3, 3, 0);
  big.left = big.top = 1;
  const std::vector<uint8_t> page = place(1, 1, {0}, big);
  for (size_t i = 0; i < page.size(); ++i) {
    const size_t x = i % 5, y = i / 5;
    EXPECT_EQ(page[i], x >= 1 && x <= 3 && y >= 1 && y <= 3 ? 0 : 255) << x << "," << y;
  }
  // Rows that never came stay white; a page placed half off keeps its part.
  tavel::PageFit off = fitOf(2, 2, 4, 2, 0);
  off.left = -2;
  const std::vector<uint8_t> half = place(4, 2, src, off);
  EXPECT_EQ(half, (std::vector<uint8_t>{255, 255, 255, 100}));
}

// A PNG of one row of pixels in the given libpng layout, written with
// libpng itself.
std::string WritePngRow(const std::string& path, int colorType, int depth, bool interlaced,
                        const std::vector<uint8_t>& row, uint32_t width, uint32_t height,
                        const std::vector<png_color>& palette = {}, uint32_t ppm = 0) {
  FILE* f = fopen(path.c_str(), "wb");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    fclose(f);
    return "";
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, width, height, depth, colorType,
               interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (!palette.empty()) png_set_PLTE(png, info, palette.data(), int(palette.size()));
  if (ppm) png_set_pHYs(png, info, ppm, ppm, PNG_RESOLUTION_METER);
  png_write_info(png, info);
  const int passes = png_set_interlace_handling(png);
  for (int pass = 0; pass < passes; ++pass)
    for (uint32_t y = 0; y < height; ++y) png_write_row(png, row.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  fclose(f);
  return path;
}

// PNG layouts (every colour type, depths, transparency, interlacing) read
// as gray on white paper, with the file's resolution.
TEST_F(PrinterApp, ImageReaderGivesGrayRows) {
  struct Row {
    const char* what;
    int colorType, depth;
    bool interlaced;
    std::vector<uint8_t> row;  // the file's bytes of one row of 4 pixels
    std::vector<uint8_t> gray;
  };
  const std::vector<png_color> palette = {{0, 0, 0}, {255, 255, 255}, {255, 0, 0}};
  const Row rows[] = {
      {"gray", PNG_COLOR_TYPE_GRAY, 8, false, {0, 100, 200, 255}, {0, 100, 200, 255}},
      {"gray, 1 bit", PNG_COLOR_TYPE_GRAY, 1, false, {0x50}, {0, 255, 0, 255}},
      {"gray, 16 bits", PNG_COLOR_TYPE_GRAY, 16, false, {0, 0, 0x80, 0, 0xFF, 0xFF, 0x40, 0},
       {0, 128, 255, 64}},
      {"gray and alpha", PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, {0, 255, 0, 0, 0, 128, 100, 255},
       {0, 255, 127, 100}},
      {"rgb", PNG_COLOR_TYPE_RGB, 8, false, {0, 0, 0, 255, 255, 255, 255, 0, 0, 0, 0, 255},
       {0, 255, 54, 18}},
      {"rgba, transparent is white", PNG_COLOR_TYPE_RGBA, 8, false,
       {0, 0, 0, 255, 0, 0, 0, 0, 255, 255, 255, 255, 0, 0, 0, 255}, {0, 255, 255, 0}},
      {"palette", PNG_COLOR_TYPE_PALETTE, 8, false, {0, 1, 2, 1}, {0, 255, 54, 255}},
      {"interlaced", PNG_COLOR_TYPE_GRAY, 8, true, {0, 100, 200, 255}, {0, 100, 200, 255}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const std::string path = WritePngRow(dir_ + "/layout.png", r.colorType, r.depth,
                                         r.interlaced, r.row, 4, 3, palette, 11811);
    ASSERT_FALSE(path.empty());
    std::string err;
    std::unique_ptr<tavel::CImageReader> reader =
        tavel::CImageReader::Open(path, "image/png", &err);
    ASSERT_TRUE(reader) << err;
    EXPECT_EQ(reader->Width(), 4u);
    EXPECT_EQ(reader->Height(), 3u);
    EXPECT_NEAR(reader->XResolution(), 300, 0.1);
    std::vector<uint8_t> gray(4);
    for (int y = 0; y < 3; ++y) {
      ASSERT_TRUE(reader->ReadRow(gray.data())) << reader->Error();
      for (size_t x = 0; x < 4; ++x) EXPECT_NEAR(gray[x], r.gray[x], 1) << "x " << x;
    }
  }
  // Gray and CMYK JPEGs of the same page give the same tones.
  std::string err;
  const std::string body = "0.5 setgray 0 0 72 36 rectfill showpage";
  const std::string gray = dir_ + "/tone.jpg", cmyk = dir_ + "/tone-cmyk.jpg";
  ASSERT_TRUE(MakeJpeg(gray, 72, 72, 50, body, err)) << err;
  CommandResult r = RunCommand({"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE",
                                "-sDEVICE=jpegcmyk", "-r50", "-dDEVICEWIDTHPOINTS=72",
                                "-dDEVICEHEIGHTPOINTS=72", "-dFIXEDMEDIA",
                                "-sOutputFile=" + cmyk, gray + ".ps"}, 60);
  ASSERT_EQ(r.status, 0) << r.Describe();
  std::vector<uint8_t> a(50), b(50);
  auto grayReader = tavel::CImageReader::Open(gray, "image/jpeg", &err);
  auto cmykReader = tavel::CImageReader::Open(cmyk, "image/jpeg", &err);
  ASSERT_TRUE(grayReader && cmykReader) << err;
  EXPECT_NEAR(grayReader->XResolution(), 50, 0.1);
  for (int y = 0; y < 50; ++y) {
    ASSERT_TRUE(grayReader->ReadRow(a.data()) && cmykReader->ReadRow(b.data()));
    EXPECT_NEAR(a[10], b[10], 12) << "row " << y;
    EXPECT_NEAR(a[10], y < 25 ? 255 : 128, 12) << "row " << y;
  }
}

// Raster rows of every depth and colour space the engine takes, as gray.
TEST(AppPagePlacer, RasterRowsBecomeGray) {
  struct Row {
    const char* what;
    unsigned bits;
    cups_cspace_t space;
    std::vector<uint8_t> row;  // 4 pixels
    std::vector<uint8_t> gray;
  } rows[] = {
      {"1-bit white", 1, CUPS_CSPACE_W, {0x50}, {0, 255, 0, 255}},
      {"1-bit black", 1, CUPS_CSPACE_K, {0x50}, {255, 0, 255, 0}},
      {"4-bit", 4, CUPS_CSPACE_SW, {0x0F, 0x80}, {0, 255, 136, 0}},
      {"8-bit black", 8, CUPS_CSPACE_K, {0, 255, 55, 200}, {255, 0, 200, 55}},
      {"rgb", 24, CUPS_CSPACE_SRGB, {0, 0, 0, 255, 255, 255, 255, 0, 0, 0, 0, 255},
       {0, 255, 76, 28}},
  };
  for (const Row& r : rows) {
    const cups_page_header2_t h = MakeHeader(4, 1, r.bits, r.space, 203);
    tavel::ColorHandling handling = tavel::ColorHandling::kUnsupported;
    ASSERT_TRUE(tavel::CheckPage(h, &handling).ok) << r.what;
    std::vector<uint8_t> gray(4);
    tavel::RasterRowToGray(h, handling, r.row.data(), gray.data());
    EXPECT_EQ(gray, r.gray) << r.what;
  }
}

// The model table, made from ppd/tavelpress.drv by cmake/ModelTable.cmake,
// reads that file as ppdc does: the same models, sizes, resolutions,
// options, choices, defaults and attributes as the PPDs.
TEST(AppModelTable, MatchesTheGeneratedPpds) {
  // A model for every PPD.
  size_t ppds = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(TAVEL_BINARY_DIR) + "/ppd")) {
    if (entry.path().extension() != ".ppd") continue;
    ++ppds;
    const std::string file = entry.path().filename().string();
    EXPECT_TRUE(std::any_of(tavel::Models().begin(), tavel::Models().end(),
                            [&](const ModelInfo& m) { return file == m.ppdFile; }))
        << file;
  }
  EXPECT_EQ(ppds, tavel::Models().size());
  for (const ModelInfo& m : tavel::Models()) {
    SCOPED_TRACE(m.ppdFile);
    ppd_file_t* ppd = ppdOpenFile(PpdPath(m).c_str());
    ASSERT_NE(ppd, nullptr);
    EXPECT_STREQ(ppd->modelname, m.modelName);
    EXPECT_EQ(ppd->model_number, m.modelNumber);
    ppd_attr_t* res = ppdFindAttr(ppd, "DefaultResolution", nullptr);
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(std::atoi(res->value), m.dpi);

    std::set<std::string> sizes;
    for (int i = 0; i < ppd->num_sizes; ++i) {
      const ppd_size_t& s = ppd->sizes[i];
      if (!std::strcmp(s.name, "Custom")) continue;
      sizes.insert(s.name);
      const tavel::ModelMedia* media = m.Media(s.name);
      ASSERT_NE(media, nullptr) << s.name;
      EXPECT_NEAR(s.width, media->widthPt, 0.01) << s.name;
      EXPECT_NEAR(s.length, media->lengthPt, 0.01) << s.name;
      // The IPP name's size is the PPD's within a hundredth of a millimetre.
      pwg_media_t* pwg = pwgMediaForPWG(media->pwgName);
      ASSERT_NE(pwg, nullptr) << media->pwgName;
      EXPECT_NEAR(pwg->width, s.width * 2540 / 72, 2) << media->pwgName;
      EXPECT_NEAR(pwg->length, s.length * 2540 / 72, 2) << media->pwgName;
    }
    EXPECT_EQ(sizes.size(), m.media.size());
    ppd_option_t* pageSize = ppdFindOption(ppd, "PageSize");
    ASSERT_NE(pageSize, nullptr);
    EXPECT_STREQ(pageSize->defchoice, m.defaultMedia);
    EXPECT_NEAR(ppd->custom_min[0], m.minWidthPt, 0.05);
    EXPECT_NEAR(ppd->custom_min[1], m.minLengthPt, 0.05);
    EXPECT_NEAR(ppd->custom_max[0], m.maxWidthPt, 0.05);
    EXPECT_NEAR(ppd->custom_max[1], m.maxLengthPt, 0.05);

    // Every option the engine reads, both ways.
    const std::set<std::string> notSettings = {"PageSize", "PageRegion", "ColorModel",
                                               "Resolution"};
    size_t options = 0;
    for (ppd_option_t* o = ppdFirstOption(ppd); o; o = ppdNextOption(ppd)) {
      if (notSettings.count(o->keyword)) continue;
      ++options;
      const tavel::ModelOption* row = m.Option(o->keyword);
      ASSERT_NE(row, nullptr) << o->keyword;
      EXPECT_STREQ(o->defchoice, row->defaultChoice) << o->keyword;
      std::vector<std::string> choices;
      for (int i = 0; i < o->num_choices; ++i) choices.push_back(o->choices[i].choice);
      EXPECT_EQ(choices, std::vector<std::string>(row->choices.begin(), row->choices.end()))
          << o->keyword;
    }
    EXPECT_EQ(options, m.options.size());
    for (const tavel::ModelAttribute& a : m.attributes) {
      ppd_attr_t* attr = ppdFindAttr(ppd, a.name, nullptr);
      ASSERT_NE(attr, nullptr) << a.name;
      EXPECT_STREQ(attr->value, a.value);
    }
    ppdClose(ppd);
  }
}

}  // namespace
