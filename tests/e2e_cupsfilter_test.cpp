// Documents printed through the real CUPS filter chain: cupsfilter turns a
// PDF or PNG into raster with the generated PPD and runs the built filter;
// tavelpress-decode reads the printer stream back, and the tests look at
// the pages it rebuilt and at the commands around them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <map>
#include <sstream>

#include "support/CupsChain.h"

namespace {

double Pt(double mm) { return mm * 72.0 / 25.4; }
int Dots(double mm, int dpi) { return int(mm * dpi / 25.4); }
// ghostscript's raster size for a page of that many points
// ghostscript's raster size for a page of that many points: whole dots,
// rounded down
int RasterDots(double pt, int dpi) { return int(std::floor(pt * dpi / 72.0 + 1e-6)); }

// A black box 20 x 10 mm whose top-left corner is 8 mm from the left and
// 5 mm from the top edge; every page size below has room for it.
constexpr double kBoxX = 8, kBoxY = 5, kBoxW = 20, kBoxH = 10;

std::string BoxBody(double hPt, double xMm = kBoxX, double yMm = kBoxY) {
  std::ostringstream ps;
  ps << "0 setgray " << Pt(xMm) << " " << hPt - Pt(yMm + kBoxH) << " " << Pt(kBoxW) << " "
     << Pt(kBoxH) << " rectfill";
  return ps.str();
}

Rect BoxDots(int dpi, double xMm = kBoxX, double yMm = kBoxY) {
  return {Dots(xMm, dpi), Dots(yMm, dpi), Dots(xMm + kBoxW, dpi), Dots(yMm + kBoxH, dpi)};
}

Rect Inset(const Rect& r, int d) { return {r.left + d, r.top + d, r.right - d, r.bottom - d}; }

// Edges within two dots: rounding in ghostscript and in the mm arithmetic.
::testing::AssertionResult Near(const Rect& got, const Rect& want, int slack = 2) {
  if (std::abs(got.left - want.left) <= slack && std::abs(got.top - want.top) <= slack &&
      std::abs(got.right - want.right) <= slack && std::abs(got.bottom - want.bottom) <= slack)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "ink at " << ToString(got) << ", expected about "
                                       << ToString(want);
}

struct JobResult {
  CommandResult run;
  std::string stream;
  Decoded decoded;
  std::string Where() const { return run.Describe() + "\n" + decoded.err + "\n" + decoded.listing; }
};

class CupsFilterChain : public ::testing::Test {
 protected:
  static std::string dir_, filter_, setupError_;
  static std::map<std::string, std::string> ppds_;
  static int jobs_;

  static void SetUpTestSuite() {
    for (const char* tool : {"cupsfilter", "gs"})
      if (FindProgram(tool).empty()) setupError_ += std::string(tool) + " is not installed; ";
    if (access(DecoderProgram().c_str(), X_OK) != 0)
      setupError_ += DecoderProgram() + " is not built; ";
    dir_ = MakePrivateDir("e2e");
    if (dir_.empty()) {
      setupError_ += "cannot make a folder in /tmp; ";
      return;
    }
    // cupsfilter runs a filter named by an absolute path only from a
    // folder that nobody but its owner can write to.
    filter_ = dir_ + "/rastertotavelpress";
    if (!CopyFile(TAVEL_FILTER_PATH, filter_, 0755))
      setupError_ += std::string("cannot copy ") + TAVEL_FILTER_PATH + "; ";
  }

  static void TearDownTestSuite() {
    if (!getenv("TAVEL_KEEP_E2E")) RemoveTree(dir_);
    ppds_.clear();
  }

  void SetUp() override { ASSERT_TRUE(setupError_.empty()) << setupError_; }

  static std::string Ppd(const std::string& name) {
    auto it = ppds_.find(name);
    if (it != ppds_.end()) return it->second;
    std::string path = PpdWithFilter(name, dir_, filter_);
    ppds_[name] = path;
    return path;
  }

  // A document of one or more pages (bodies), made once per process.
  static std::string Document(const std::string& name, double wPt, double hPt,
                              const std::vector<std::string>& pages, int pngDpi = 0) {
    std::string path = dir_ + "/" + name;
    if (access(path.c_str(), R_OK) == 0) return path;
    std::string body, err;
    for (const std::string& p : pages) body += p + " showpage\n";
    bool ok = pngDpi ? MakePng(path, wPt, hPt, pngDpi, body, err)
                     : MakePdf(path, wPt, hPt, body, err);
    EXPECT_TRUE(ok) << err;
    return path;
  }

  static JobResult Print(const std::string& ppdName, const std::string& lang,
                         const std::string& document, const std::vector<std::string>& options = {},
                         int copies = 1) {
    JobResult j;
    std::string ppd = Ppd(ppdName);
    EXPECT_FALSE(ppd.empty()) << "no generated PPD " << ppdName;
    std::string base = dir_ + "/job" + std::to_string(++jobs_);
    std::vector<std::string> argv = {"cupsfilter", "-e", "-p", ppd, "-m", "printer/foo"};
    if (copies != 1) argv.insert(argv.end(), {"-n", std::to_string(copies)});
    for (const std::string& o : options) argv.insert(argv.end(), {"-o", o});
    argv.push_back(document);
    j.run = RunCommand(argv, 120, base + ".out");
    j.stream = ReadFile(base + ".out");
    if (j.run.status == 0) j.decoded = DecodeStream(lang, base + ".out", base);
    return j;
  }
};

std::string CupsFilterChain::dir_, CupsFilterChain::filter_, CupsFilterChain::setupError_;
std::map<std::string, std::string> CupsFilterChain::ppds_;
int CupsFilterChain::jobs_ = 0;

// ---------------------------------------------------------------------
// Every model prints a PDF and a PNG of its default page size: one page,
// as many dots as the page holds, the box where the document drew it.

struct Model {
  const char* ppd;
  const char* lang;
  double wPt, hPt;  // the PPD's default page size
  int dpi;
  int rowBits;  // the stream carries rows in multiples of this many dots
};

const Model kModels[] = {
    {"tavelpress-tspl-2in-203.ppd", "tspl", 141.73, 85.04, 203, 32},
    {"tavelpress-tspl-4in-203.ppd", "tspl", 288, 432, 203, 32},
    {"tavelpress-tspl-4in-300.ppd", "tspl", 288, 432, 300, 32},
    {"tavelpress-escpos-58mm.ppd", "escpos", 136.2, 283.46, 203, 8},
    {"tavelpress-escpos-80mm.ppd", "escpos", 204.3, 425.2, 203, 8},
    {"tavelpress-cpcl-4in-203.ppd", "cpcl", 288, 432, 203, 32},
    {"tavelpress-paperang-384.ppd", "paperang", 136.2, 283.46, 203, 32},
    {"tavelpress-peripage-384.ppd", "peripage", 136.2, 283.46, 203, 8},
};

// Readable parameter names in test listings.
void PrintTo(const Model& m, std::ostream* os) { *os << m.ppd; }

class EveryModel : public CupsFilterChain,
                   public ::testing::WithParamInterface<std::tuple<Model, bool>> {};

TEST_P(EveryModel, PrintsTheBoxWhereTheDocumentPutIt) {
  const Model& m = std::get<0>(GetParam());
  bool png = std::get<1>(GetParam());
  std::string doc = Document(std::string(m.ppd) + (png ? ".png" : ".pdf"), m.wPt, m.hPt,
                             {BoxBody(m.hPt)}, png ? m.dpi : 0);
  JobResult j = Print(m.ppd, m.lang, doc);
  ASSERT_EQ(j.run.status, 0) << j.Where();
  ASSERT_TRUE(j.decoded.ok) << j.Where();
  ASSERT_EQ(j.decoded.pages.size(), 1u) << j.Where();

  const GrayImage& page = j.decoded.pages[0];
  // The PDF and the image rasteriser round a page's size in dots
  // differently, one to nearest and one down: both are right.
  int w = RasterDots(m.wPt, m.dpi);
  EXPECT_EQ(page.width, (w + m.rowBits - 1) / m.rowBits * m.rowBits);
  EXPECT_NEAR(page.height, m.hPt * m.dpi / 72.0, 1.0);
  EXPECT_TRUE(Near(InkBox(page), BoxDots(m.dpi))) << j.decoded.listing;
  EXPECT_EQ(InkShare(page, Inset(BoxDots(m.dpi), 3)), 1) << "box not solid";
}

std::string ModelName(const ::testing::TestParamInfo<std::tuple<Model, bool>>& info) {
  std::string n = std::get<0>(info.param).ppd;
  n = n.substr(11, n.size() - 15);  // tavelpress-NAME.ppd
  for (char& c : n)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return n + (std::get<1>(info.param) ? "_png" : "_pdf");
}

INSTANTIATE_TEST_SUITE_P(Models, EveryModel,
                         ::testing::Combine(::testing::ValuesIn(kModels), ::testing::Bool()),
                         ModelName);

// ---------------------------------------------------------------------
// Job options reach the TSPL label program.

struct TsplCase {
  const char* name;
  std::vector<std::string> options;
  std::vector<std::string> present;  // command lines (without CR LF)
  std::vector<std::string> absent;   // line beginnings
};

const TsplCase kTsplCases[] = {
    {"Defaults",
     {},
     {"SIZE 101.60 mm,152.40 mm", "SET RIBBON OFF", "GAP 3 mm,0 mm", "OFFSET 0 mm", "CLS",
      "PRINT 1,1"},
     {"DENSITY", "SPEED", "SET CUTTER", "SET TEAR", "SET PEEL", "BLINE"}},
    {"Darkness", {"Darkness=12"}, {"DENSITY 12"}, {}},
    {"Speed", {"zePrintRate=3"}, {"SPEED 3"}, {}},
    {"BlackMarks", {"zeMediaTracking=BLine"}, {"BLINE 0 mm,0 mm"}, {"GAP"}},
    {"Continuous", {"zeMediaTracking=Continuous"}, {"GAP 0 mm,0 mm"}, {"BLINE"}},
    {"Ribbon", {"MediaMethod=Transfer"}, {"SET RIBBON ON"}, {"SET RIBBON OFF"}},
    {"StopPosition", {"FeedOffset=-3"}, {"OFFSET -3 mm"}, {}},
    {"Cutter",
     {"PostAction=Cutter"},
     {"SET PEEL OFF", "SET CUTTER 1", "SET PARTIAL_CUTTER OFF", "SET TEAR OFF"},
     {}},
    {"Tear", {"PostAction=Tear"}, {"SET CUTTER FALSE", "SET TEAR ON"}, {}},
    {"Peel", {"PostAction=Peel"}, {"SET PEEL ON"}, {}},
    {"PartialCutter", {"PostAction=PartialCutter"}, {"SET PARTIAL_CUTTER 1"}, {}},
    {"Compressed", {"ImageCompress=1"}, {}, {"BITMAP 0,0,104,1218,1,"}},
    {"SmallerLabel", {"media=2x4Rotated.Fullbleed"}, {"SIZE 101.60 mm,50.80 mm"}, {}},
    {"CustomLabel", {"media=Custom.288x144"}, {"SIZE 101.60 mm,50.80 mm"}, {}},
};

void PrintTo(const TsplCase& c, std::ostream* os) { *os << c.name; }

class TsplOptions : public CupsFilterChain, public ::testing::WithParamInterface<TsplCase> {};

bool HasLine(const std::string& stream, const std::string& line) {
  return stream.compare(0, line.size() + 2, line + "\r\n") == 0 ||
         stream.find("\n" + line + "\r\n") != std::string::npos;
}

TEST_P(TsplOptions, ChangeTheLabelProgram) {
  const TsplCase& c = GetParam();
  std::string doc = Document("label4x6.pdf", 288, 432, {BoxBody(432)});
  JobResult j = Print("tavelpress-tspl-4in-203.ppd", "tspl", doc, c.options);
  ASSERT_EQ(j.run.status, 0) << j.Where();
  ASSERT_TRUE(j.decoded.ok) << j.Where();
  ASSERT_EQ(j.decoded.pages.size(), 1u);
  for (const std::string& line : c.present) EXPECT_TRUE(HasLine(j.stream, line)) << line;
  for (const std::string& start : c.absent) {
    EXPECT_FALSE(j.stream.find("\n" + start) != std::string::npos ||
                 j.stream.compare(0, start.size(), start) == 0)
        << start;
  }
  // The page itself is the same whatever the options; smaller labels get
  // the document scaled down, so only the full-size ones are compared.
  if (j.decoded.pages[0].height == 1218) {
    EXPECT_TRUE(Near(InkBox(j.decoded.pages[0]), BoxDots(203)));
  }
}

INSTANTIATE_TEST_SUITE_P(Tspl, TsplOptions, ::testing::ValuesIn(kTsplCases),
                         [](const ::testing::TestParamInfo<TsplCase>& i) { return i.param.name; });

TEST_F(CupsFilterChain, CompressedTsplBitmapCarriesTheSameLabel) {
  std::string doc = Document("label4x6.pdf", 288, 432, {BoxBody(432)});
  JobResult j = Print("tavelpress-tspl-4in-203.ppd", "tspl", doc, {"ImageCompress=1"});
  ASSERT_TRUE(j.decoded.ok) << j.Where();
  EXPECT_NE(j.stream.find("BITMAP 0,0,104,1218,3,"), std::string::npos);
  EXPECT_LT(j.stream.size(), 20000u) << "a mostly white label compresses well";
  ASSERT_EQ(j.decoded.pages.size(), 1u);
  EXPECT_TRUE(Near(InkBox(j.decoded.pages[0]), BoxDots(203)));
}

// ---------------------------------------------------------------------
// Options of the other families, each checked on the bytes it controls.

struct FamilyCase {
  const char* name;
  const char* ppd;
  const char* lang;
  std::vector<std::string> options;
  int copies;
  std::function<void(const JobResult&)> check;
};

const std::string kDrawer("\x1bp\x00\x80\x80", 5);
const std::string kFullCut("\x1dV0", 3), kPartialCut("\x1dV1", 3);
const std::string kBeginBeep("\x1f\x1b\x1f\x56\x08\x09\xa0\x22", 8);
const std::string kEndBeep("\x1f\x1b\x1f\x56\x08\x09\xa0\x99", 8);

size_t Count(const std::string& s, const std::string& what) { return CountBytes(s, what); }

const FamilyCase kFamilyCases[] = {
    {"EscposDrawerBefore", "tavelpress-escpos-58mm.ppd", "escpos", {"MoneyBox=BeforePrint"}, 1,
     [](const JobResult& j) {
       EXPECT_EQ(j.stream.compare(0, 5, kDrawer), 0);
       EXPECT_EQ(Count(j.stream, kDrawer), 1u);
     }},
    {"EscposDrawerAfter", "tavelpress-escpos-58mm.ppd", "escpos", {"MoneyBox=AfterPrint"}, 1,
     [](const JobResult& j) {
       ASSERT_GE(j.stream.size(), 5u);
       EXPECT_EQ(j.stream.substr(j.stream.size() - 5), kDrawer);
     }},
    {"EscposNoDrawer", "tavelpress-escpos-58mm.ppd", "escpos", {}, 1,
     [](const JobResult& j) { EXPECT_EQ(Count(j.stream, kDrawer), 0u); }},
    {"EscposFeed20mm", "tavelpress-escpos-58mm.ppd", "escpos", {"FeedOffset=20"}, 1,
     [](const JobResult& j) {
       // 20 mm at 203 dpi is 159 dots, sent as one ESC J after the image
       EXPECT_NE(j.decoded.listing.find("ESC J 159"), std::string::npos) << j.decoded.listing;
     }},
    {"EscposNoFeed", "tavelpress-escpos-58mm.ppd", "escpos", {"FeedOffset=0"}, 1,
     [](const JobResult& j) { EXPECT_EQ(j.decoded.listing.find("ESC J"), std::string::npos); }},
    {"EscposPartialCutOnceByDefault", "tavelpress-escpos-80mm.ppd", "escpos", {}, 2,
     [](const JobResult& j) {
       EXPECT_EQ(Count(j.stream, kPartialCut), 1u);
       EXPECT_EQ(j.stream.substr(j.stream.size() - 3), kPartialCut);
     }},
    {"EscposFullCutEveryPage", "tavelpress-escpos-58mm.ppd", "escpos", {"CutType=FullCutPage"}, 2,
     [](const JobResult& j) {
       EXPECT_EQ(Count(j.stream, kFullCut), 2u);
       EXPECT_EQ(Count(j.stream, kPartialCut), 0u);
     }},
    {"EscposNoCut", "tavelpress-escpos-58mm.ppd", "escpos", {}, 1,
     [](const JobResult& j) {
       EXPECT_EQ(Count(j.stream, kFullCut) + Count(j.stream, kPartialCut), 0u);
     }},
    {"CpclGapLabels", "tavelpress-cpcl-4in-203.ppd", "cpcl", {}, 1,
     [](const JobResult& j) {
       EXPECT_NE(j.stream.find("FORM\r\nPRINT\r\n"), std::string::npos);
       EXPECT_EQ(j.stream.compare(0, 20, "! 0 200 200 1218 1\r\n"), 0);
     }},
    {"CpclContinuous", "tavelpress-cpcl-4in-203.ppd", "cpcl", {"zeMediaTracking=Continuous"}, 1,
     [](const JobResult& j) { EXPECT_EQ(j.stream.find("FORM"), std::string::npos); }},
    {"PaperangRollFeeds", "tavelpress-paperang-384.ppd", "paperang", {}, 1,
     [](const JobResult& j) {
       EXPECT_NE(j.decoded.listing.find("feed 0"), std::string::npos);
       EXPECT_EQ(j.decoded.listing.find("paper locate"), std::string::npos);
     }},
    {"PaperangGapLocates", "tavelpress-paperang-384.ppd", "paperang", {"zeMediaTracking=Gap"}, 1,
     [](const JobResult& j) {
       EXPECT_NE(j.decoded.listing.find("paper locate 100"), std::string::npos);
       EXPECT_EQ(j.decoded.listing.find("feed 0"), std::string::npos);
     }},
    {"PeriPageDarknessAndSpeed", "tavelpress-peripage-384.ppd", "peripage",
     {"Darkness=3", "zePrintRate=4"}, 1,
     [](const JobResult& j) {
       EXPECT_EQ(Count(j.stream, std::string("\x10\xff\x10\x00\x03", 5)), 1u);
       EXPECT_EQ(Count(j.stream, std::string("\x1f\x1e\x1c\x03\x04", 5)), 1u);
     }},
    {"PeriPagePrinterDefaults", "tavelpress-peripage-384.ppd", "peripage", {}, 1,
     [](const JobResult& j) {
       EXPECT_EQ(Count(j.stream, std::string("\x10\xff\x10\x00", 4)), 0u);
       EXPECT_EQ(Count(j.stream, std::string("\x1f\x1e\x1c\x03", 4)), 0u);
       // ImageMaxLength 256 in the PPD: 799 rows go out as 256+256+256+31
       EXPECT_EQ(Count(j.decoded.listing, "x 256 rows"), 3u) << j.decoded.listing;
       EXPECT_EQ(Count(j.decoded.listing, "x 31 rows"), 1u);
     }},
    {"PeriPageSounds", "tavelpress-peripage-384.ppd", "peripage",
     {"BeginPrintSound=EveryDoc", "EndPrintSound=EveryPage"}, 2,
     [](const JobResult& j) {
       EXPECT_EQ(Count(j.stream, kBeginBeep), 1u);
       EXPECT_EQ(Count(j.stream, kEndBeep), 2u);
     }},
    {"PeriPageGapPaper", "tavelpress-peripage-384.ppd", "peripage", {"zeMediaTracking=Gap"}, 1,
     [](const JobResult& j) {
       EXPECT_EQ(Count(j.stream, std::string("\x10\xff\x10\x03\x02", 5)), 1u);
       EXPECT_EQ(Count(j.stream, std::string("\x1d\x0c\x10\xff\xfe\x45", 6)), 1u);
     }},
    {"PeriPageCompressed", "tavelpress-peripage-384.ppd", "peripage", {"ImageCompress=1"}, 1,
     [](const JobResult& j) {
       EXPECT_NE(j.decoded.listing.find("compressed raster 48 bytes x 799 rows"), std::string::npos)
           << j.decoded.listing;
       EXPECT_EQ(j.decoded.listing.find("GS v 0"), std::string::npos);
     }},
};

void PrintTo(const FamilyCase& c, std::ostream* os) { *os << c.name; }

class FamilyOptions : public CupsFilterChain, public ::testing::WithParamInterface<FamilyCase> {};

TEST_P(FamilyOptions, ChangeTheStream) {
  const FamilyCase& c = GetParam();
  // a document of the model's default page size
  const Model* m = nullptr;
  for (const Model& model : kModels)
    if (std::string(model.ppd) == c.ppd) m = &model;
  ASSERT_NE(m, nullptr) << c.ppd;
  std::string doc = Document(std::string(c.ppd) + ".pdf", m->wPt, m->hPt, {BoxBody(m->hPt)});
  JobResult j = Print(c.ppd, c.lang, doc, c.options, c.copies);
  ASSERT_EQ(j.run.status, 0) << j.Where();
  ASSERT_TRUE(j.decoded.ok) << j.Where();
  ASSERT_EQ(j.decoded.pages.size(), size_t(c.copies));
  for (const GrayImage& page : j.decoded.pages) EXPECT_TRUE(Near(InkBox(page), BoxDots(203)));
  c.check(j);
}

INSTANTIATE_TEST_SUITE_P(Families, FamilyOptions, ::testing::ValuesIn(kFamilyCases),
                         [](const ::testing::TestParamInfo<FamilyCase>& i) { return i.param.name; });

// ---------------------------------------------------------------------
// Copies and page order, for one model of every family.

struct FamilyModel {
  const char* ppd;
  const char* lang;
  double wPt, hPt;
};

const FamilyModel kFamilyModels[] = {
    {"tavelpress-tspl-2in-203.ppd", "tspl", 141.73, 85.04},
    {"tavelpress-escpos-58mm.ppd", "escpos", 136.2, 283.46},
    {"tavelpress-cpcl-4in-203.ppd", "cpcl", 288, 432},
    {"tavelpress-paperang-384.ppd", "paperang", 136.2, 283.46},
    {"tavelpress-peripage-384.ppd", "peripage", 136.2, 283.46},
};

void PrintTo(const FamilyModel& m, std::ostream* os) { *os << m.ppd; }

class PagesAndCopies : public CupsFilterChain, public ::testing::WithParamInterface<FamilyModel> {};

TEST_P(PagesAndCopies, TwoCopiesGiveTwoEqualLabels) {
  const FamilyModel& m = GetParam();
  std::string doc = Document(std::string("one-") + m.lang + ".pdf", m.wPt, m.hPt, {BoxBody(m.hPt)});
  JobResult j = Print(m.ppd, m.lang, doc, {}, 2);
  ASSERT_EQ(j.run.status, 0) << j.Where();
  ASSERT_TRUE(j.decoded.ok) << j.Where();
  ASSERT_EQ(j.decoded.pages.size(), 2u) << j.decoded.listing;
  EXPECT_EQ(j.decoded.pages[0].px, j.decoded.pages[1].px);
  EXPECT_TRUE(Near(InkBox(j.decoded.pages[1]), BoxDots(203)));
}

TEST_P(PagesAndCopies, PagesComeInDocumentOrder) {
  const FamilyModel& m = GetParam();
  std::string doc = Document(std::string("three-") + m.lang + ".pdf", m.wPt, m.hPt,
                             {BoxBody(m.hPt, 2, 2), BoxBody(m.hPt, 20, 2), BoxBody(m.hPt, 2, 15)});
  JobResult j = Print(m.ppd, m.lang, doc);
  ASSERT_EQ(j.run.status, 0) << j.Where();
  ASSERT_TRUE(j.decoded.ok) << j.Where();
  ASSERT_EQ(j.decoded.pages.size(), 3u) << j.decoded.listing;
  EXPECT_TRUE(Near(InkBox(j.decoded.pages[0]), BoxDots(203, 2, 2)));
  EXPECT_TRUE(Near(InkBox(j.decoded.pages[1]), BoxDots(203, 20, 2)));
  EXPECT_TRUE(Near(InkBox(j.decoded.pages[2]), BoxDots(203, 2, 15)));
}

INSTANTIATE_TEST_SUITE_P(Families, PagesAndCopies, ::testing::ValuesIn(kFamilyModels),
                         [](const ::testing::TestParamInfo<FamilyModel>& i) {
                           return std::string(i.param.lang);
                         });

// ---------------------------------------------------------------------
// Turning and shifting the page (TSPL, 4 x 6 in at 203 dpi: 812 x 1218).

TEST_F(CupsFilterChain, RotateTurnsThePage) {
  std::string doc = Document("label4x6.pdf", 288, 432, {BoxBody(432)});
  const int W = 812, H = 1218;
  Rect box = BoxDots(203);

  JobResult half = Print("tavelpress-tspl-4in-203.ppd", "tspl", doc, {"Rotate=1"});
  ASSERT_TRUE(half.decoded.ok) << half.Where();
  ASSERT_EQ(half.decoded.pages.size(), 1u);
  EXPECT_EQ(half.decoded.pages[0].height, H);
  EXPECT_TRUE(HasLine(half.stream, "SIZE 101.60 mm,152.40 mm"));
  EXPECT_TRUE(Near(InkBox(half.decoded.pages[0]),
                   Rect{W - box.right, H - box.bottom, W - box.left, H - box.top}));

  // A quarter turn swaps the label's sides. 90 degrees turns the picture
  // counter-clockwise: its top edge becomes the left edge, so the box
  // near the top-left corner ends up near the bottom-left one; 270
  // degrees turns it the other way, to the top right.
  JobResult quarter = Print("tavelpress-tspl-4in-203.ppd", "tspl", doc, {"Rotate=2"});
  ASSERT_TRUE(quarter.decoded.ok) << quarter.Where();
  ASSERT_EQ(quarter.decoded.pages.size(), 1u);
  EXPECT_TRUE(HasLine(quarter.stream, "SIZE 152.40 mm,101.60 mm")) << quarter.decoded.listing;
  EXPECT_EQ(quarter.decoded.pages[0].height, W);
  EXPECT_TRUE(Near(InkBox(quarter.decoded.pages[0]),
                   Rect{box.top, W - box.right, box.bottom, W - box.left}));

  JobResult three = Print("tavelpress-tspl-4in-203.ppd", "tspl", doc, {"Rotate=3"});
  ASSERT_TRUE(three.decoded.ok) << three.Where();
  ASSERT_EQ(three.decoded.pages.size(), 1u);
  EXPECT_TRUE(HasLine(three.stream, "SIZE 152.40 mm,101.60 mm"));
  EXPECT_EQ(three.decoded.pages[0].height, W);
  EXPECT_TRUE(Near(InkBox(three.decoded.pages[0]),
                   Rect{H - box.bottom, box.left, H - box.top, box.right}));
}

TEST_F(CupsFilterChain, AdjustOptionsShiftThePrintout) {
  std::string doc = Document("label4x6-mid.pdf", 288, 432, {BoxBody(432, 30, 40)});
  Rect box = BoxDots(203, 30, 40);
  const int step = Dots(8, 203);  // one step is 8 mm

  // Positive horizontal steps move the printout left, positive vertical
  // steps move it down.
  JobResult left = Print("tavelpress-tspl-4in-203.ppd", "tspl", doc, {"AdjustHoriaontal=1"});
  ASSERT_TRUE(left.decoded.ok) << left.Where();
  EXPECT_TRUE(Near(InkBox(left.decoded.pages.at(0)),
                   Rect{box.left - step, box.top, box.right - step, box.bottom}));

  JobResult right = Print("tavelpress-tspl-4in-203.ppd", "tspl", doc, {"AdjustHoriaontal=-2"});
  ASSERT_TRUE(right.decoded.ok) << right.Where();
  EXPECT_TRUE(Near(InkBox(right.decoded.pages.at(0)),
                   Rect{box.left + 2 * step, box.top, box.right + 2 * step, box.bottom}));

  JobResult down = Print("tavelpress-tspl-4in-203.ppd", "tspl", doc, {"AdjustVertical=1"});
  ASSERT_TRUE(down.decoded.ok) << down.Where();
  EXPECT_TRUE(Near(InkBox(down.decoded.pages.at(0)),
                   Rect{box.left, box.top + step, box.right, box.bottom + step}));

  JobResult up = Print("tavelpress-tspl-4in-203.ppd", "tspl", doc, {"AdjustVertical=-1"});
  ASSERT_TRUE(up.decoded.ok) << up.Where();
  EXPECT_TRUE(Near(InkBox(up.decoded.pages.at(0)),
                   Rect{box.left, box.top - step, box.right, box.bottom - step}));
}

TEST_F(CupsFilterChain, CropTrimsTheWhiteEndOfAReceipt) {
  std::string doc = Document("roll58.pdf", 136.2, 283.46, {BoxBody(283.46)});
  Rect box = BoxDots(203);
  JobResult all = Print("tavelpress-escpos-58mm.ppd", "escpos", doc, {"CropEdgeBottom=-1"});
  ASSERT_TRUE(all.decoded.ok) << all.Where();
  EXPECT_NEAR(all.decoded.pages.at(0).height, box.bottom, 2);

  JobResult some = Print("tavelpress-escpos-58mm.ppd", "escpos", doc, {"CropEdgeBottom=10"});
  ASSERT_TRUE(some.decoded.ok) << some.Where();
  // crop limits are rounded up to whole dots: 10 mm is 80 dots, 2 mm 16
  EXPECT_EQ(some.decoded.pages.at(0).height, 799 - 80);

  JobResult top = Print("tavelpress-escpos-58mm.ppd", "escpos", doc, {"CropEdgeTop=2"});
  ASSERT_TRUE(top.decoded.ok) << top.Where();
  EXPECT_EQ(top.decoded.pages.at(0).height, 799 - 16);
  EXPECT_NEAR(InkBox(top.decoded.pages.at(0)).top, box.top - 16, 2);
}

// ---------------------------------------------------------------------
// Halftoning of a 50 % gray patch next to a black box, on a 58 mm receipt.

std::string GrayPatchBody() {
  // gray patch 30 x 20 mm at (4, 20) mm; black box at the usual place
  return BoxBody(283.46) + " 0.5 setgray " + std::to_string(Pt(4)) + " " +
         std::to_string(283.46 - Pt(40)) + " " + std::to_string(Pt(30)) + " " +
         std::to_string(Pt(20)) + " rectfill";
}

Rect PatchDots() { return {Dots(5, 203), Dots(21, 203), Dots(33, 203), Dots(39, 203)}; }
Rect WhiteDots() { return {0, Dots(45, 203), 384, Dots(95, 203)}; }

class Halftoning : public CupsFilterChain, public ::testing::WithParamInterface<int> {};

TEST_P(Halftoning, DithersGrayAndKeepsBlackAndWhite) {
  std::string doc = Document("gray58.pdf", 136.2, 283.46, {GrayPatchBody()});
  int method = GetParam();
  JobResult j = Print("tavelpress-escpos-58mm.ppd", "escpos", doc,
                      {"ImageFilter=" + std::to_string(method)});
  ASSERT_TRUE(j.decoded.ok) << j.Where();
  const GrayImage& page = j.decoded.pages.at(0);
  double gray = InkShare(page, PatchDots());
  EXPECT_GT(gray, 0.3) << "method " << method;
  EXPECT_LT(gray, 0.7) << "method " << method;
  EXPECT_EQ(InkShare(page, Inset(BoxDots(203), 3)), 1);
  // White paper stays white with every method, the 16 x 16 matrix (which
  // has a cell at 255) included.
  EXPECT_EQ(InkShare(page, WhiteDots()), 0) << "method " << method;
}

INSTANTIATE_TEST_SUITE_P(Methods, Halftoning, ::testing::Range(1, 11));

TEST_F(CupsFilterChain, DitheringMethodsDifferAndThresholdDoesNotDither) {
  std::string doc = Document("gray58.pdf", 136.2, 283.46, {GrayPatchBody()});
  auto patch = [&](const std::vector<std::string>& options) {
    JobResult j = Print("tavelpress-escpos-58mm.ppd", "escpos", doc, options);
    EXPECT_TRUE(j.decoded.ok) << j.Where();
    return j.decoded.pages.empty() ? -1.0 : InkShare(j.decoded.pages[0], PatchDots());
  };
  // Gray 128 lies below the default level 175 and above 100.
  EXPECT_GT(patch({"ImageFilter=0"}), 0.99);
  EXPECT_GT(patch({"ImageFilter=0", "Threshold=175"}), 0.99);
  EXPECT_EQ(patch({"ImageFilter=0", "Threshold=96"}), 0);
  // Brightness +100 lifts the gray above the threshold.
  EXPECT_EQ(patch({"ImageFilter=0", "Brightness=100"}), 0);

  JobResult floyd = Print("tavelpress-escpos-58mm.ppd", "escpos", doc, {"ImageFilter=1"});
  JobResult bayer = Print("tavelpress-escpos-58mm.ppd", "escpos", doc, {"ImageFilter=2"});
  ASSERT_TRUE(floyd.decoded.ok && bayer.decoded.ok);
  EXPECT_NE(floyd.decoded.pages.at(0).px, bayer.decoded.pages.at(0).px);
}

}  // namespace
