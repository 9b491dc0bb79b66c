// The printer application against the conformance test files CUPS installs
// for ipptool (cups-ipp-utils): IPP/1.1, IPP/2.0 and IPP Everywhere, for a
// printer of every family. ipp-everywhere.test includes ipp-2.0.test, which
// includes ipp-1.1.test, so one run of it runs all three files.
//
// The files name sample documents that must exist beside them for ipptool
// to read the files at all. Those the printer can be sent (PWG raster at
// its resolution in its raster types, the JPEGs, PDFs and PostScript) are
// made here; the others (resolutions and colour spaces the printer does
// not offer) are empty, as the tests that use them are skipped.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "app/ModelTable.h"
#include "support/AppServer.h"
#include "support/CupsChain.h"
#include "support/RasterWriter.h"

namespace {

const char* const kTestFiles[] = {"ipp-1.1.test", "ipp-2.0.test", "ipp-everywhere.test"};
const char* const kIpptoolDir = "/usr/share/cups/ipptool";
constexpr double kIpptoolSeconds = 600;  // the whole suite, print tests included

// Failures that are PAPPL 1.3.1's own: the test's name and the only
// complaint it may carry.
struct KnownFailure {
  const char* test;
  const char* complaint;
};
const KnownFailure kPapplFailures[] = {
    // A held job's answer has no job-state-reasons, and the application
    // can't set them while PAPPL makes the job (it holds the job's lock).
    {"Print-Job with job-hold-until", "EXPECTED: job-state-reasons"},
    // PAPPL takes "overrides" in a job and ignores them: the printer does
    // not claim to support them.
    {"PWG 5100.14 section 5.1/5.2 - Required Operations and Attributes",
     "EXPECTED: overrides-supported"},
};

struct Family {
  const char* driver;
  int printTests;  // PWG raster samples the printer is sent
};

// The samples exist at 150, 180, 300, 360, 600 and 720 dpi: only the
// 300 dpi printer gets them (six documents in black_1 and sgray_8, plain,
// deflate and gzip).
const Family kFamilies[] = {
    {"tspl-4in-300", 36}, {"escpos-80mm", 0}, {"cpcl-4in-203", 0},
    {"paperang-384", 0},  {"peripage-384", 0},
};

void PrintTo(const Family& f, std::ostream* os) { *os << f.driver; }

// The FILE names of the test files, as written there.
std::set<std::string> NamedFiles(const std::string& dir) {
  std::set<std::string> names;
  const std::regex file(R"(^\s*FILE\s+(\S+))");
  for (const char* test : kTestFiles) {
    std::istringstream in(ReadFile(dir + "/" + test));
    std::string line;
    std::smatch m;
    while (std::getline(in, line))
      if (std::regex_search(line, m, file) && m[1].str()[0] != '$') names.insert(m[1]);
  }
  return names;
}

// A page of `wIn` x `hIn` inches at dpi in PWG black_1 or sgray_8, with a
// black box an inch from the top left.
RasterPage SamplePage(double wIn, double hIn, unsigned dpi, bool black1) {
  const unsigned w = unsigned(wIn * dpi), h = unsigned(hIn * dpi);
  RasterPage page = UniformPage(
      MakeHeader(w, h, black1 ? 1 : 8, black1 ? CUPS_CSPACE_K : CUPS_CSPACE_SW, dpi),
      black1 ? 0 : 255);
  for (unsigned y = dpi; y < 2 * dpi && y < h; ++y)
    for (unsigned x = dpi; x < 2 * dpi && x < w; ++x) {
      uint8_t* row = page.data.data() + size_t(y) * page.header.cupsBytesPerLine;
      if (black1)
        row[x / 8] |= uint8_t(0x80 >> (x % 8));
      else
        row[x] = 0;
    }
  return page;
}

// Makes one named sample; false (and why) when it can't.
bool MakeSample(const std::string& dir, const std::string& name, int dpi, std::string* why) {
  const std::string path = dir + "/" + name;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::string err;
  const std::string box = "0 setgray 72 72 moveto 144 144 rlineto 10 setlinewidth stroke";
  if (name == "document-a4.pdf") return MakePdf(path, 595, 842, box + " showpage", *why);
  if (name == "document-letter.pdf") return MakePdf(path, 612, 792, box + " showpage", *why);
  if (name == "color.jpg" || name == "gray.jpg")
    return MakeJpeg(path, 288, 432, 100, box + " showpage", *why);
  if (name.size() > 3 && name.compare(name.size() - 3, 3, ".ps") == 0)
    return WriteFile(path, "%!PS\n" + box + " showpage\n");

  // pwg-raster-samples-<dpi>dpi/<type>/<document>-<type>-<dpi>dpi.pwg
  const std::regex sample(R"(^pwg-raster-samples-(\d+)dpi/([a-z0-9-]+)/(.+)-\2-\1dpi\.pwg$)");
  std::smatch m;
  if (!std::regex_match(name, m, sample)) {
    *why = "no way to make " + name;
    return false;
  }
  const std::string type = m[2], document = m[3];
  if (std::atoi(m[1].str().c_str()) != dpi || (type != "black-1" && type != "sgray-8"))
    return WriteFile(path, "");  // its tests are skipped for this printer
  const bool black1 = type == "black-1";
  std::vector<RasterPage> pages;
  if (document.find("4x6") != std::string::npos) {
    pages.push_back(SamplePage(4, 6, unsigned(dpi), black1));
  } else {
    const bool a4 = document.find("a4") != std::string::npos;
    const RasterPage page = SamplePage(a4 ? 8.27 : 8.5, a4 ? 11.69 : 11, unsigned(dpi), black1);
    pages.assign(document.compare(0, 8, "onepage-") == 0 ? 1 : 2, page);
  }
  const std::vector<uint8_t> raster = WriteRaster(pages, CUPS_RASTER_WRITE_PWG);
  return WriteFile(path, std::string(raster.begin(), raster.end()));
}

// What ipptool reported: the tests that passed and the complaints of those
// that failed (its lines below a failed test, but for the attributes it
// shows and the size and status of the answer).
struct Outcome {
  std::vector<std::string> passed;
  std::vector<std::pair<std::string, std::string>> complaints;  // test, complaint
  std::vector<std::string> failed;
  std::vector<std::string> files;  // the test files it ran
  std::vector<std::string> errors;  // ipptool's own messages
};

Outcome ReadOutcome(const std::string& out) {
  Outcome o;
  const std::regex test(R"(^    (\S.*?)\s+\[(PASS|FAIL|SKIP)\]$)");
  const std::regex shown(R"(^[a-z0-9-]+ \(.*\) = )");
  std::istringstream in(out);
  std::string line, current;
  std::smatch m;
  while (std::getline(in, line)) {
    if (std::regex_match(line, m, test)) {
      current = m[2] == "FAIL" ? m[1].str() : "";
      if (m[2] == "PASS") o.passed.push_back(m[1]);
      if (m[2] == "FAIL") o.failed.push_back(m[1]);
    } else if (line.size() > 2 && line[0] == '"' && line.back() == ':') {
      o.files.push_back(line.substr(1, line.size() - 3));
    } else if (line.compare(0, 8, "ipptool:") == 0) {
      o.errors.push_back(line);
    } else if (!current.empty() && line.compare(0, 8, "        ") == 0) {
      const std::string text = line.substr(line.find_first_not_of(' '));
      if (text.compare(0, 9, "RECEIVED:") != 0 && text.compare(0, 13, "status-code =") != 0 &&
          !std::regex_search(text, shown))
        o.complaints.emplace_back(current, text);
    }
  }
  return o;
}

const KnownFailure* Known(const std::string& test, const std::string& complaint) {
  // ipptool cuts long test names short.
  for (const KnownFailure& k : kPapplFailures)
    if (!test.empty() && std::string(k.test).compare(0, test.size(), test) == 0 &&
        complaint.find(k.complaint) != std::string::npos)
      return &k;
  return nullptr;
}

class IpptoolConformance : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    dir_ = MakePrivateDir("ipptool");
    ASSERT_FALSE(dir_.empty());
    for (const char* test : kTestFiles) {
      const std::string from = std::string(kIpptoolDir) + "/" + test;
      if (access(from.c_str(), R_OK) != 0) GTEST_SKIP() << from << " is not installed";
      // Beside the samples: ipptool finds the files a test file names
      // next to it.
      ASSERT_TRUE(CopyFile(from, dir_ + "/" + test, 0644)) << test;
    }
    ASSERT_TRUE(std::filesystem::create_directory(dir_ + "/app"));
    ASSERT_TRUE(server_.Start(TAVEL_APP_PATH, dir_ + "/app")) << server_.Log();
  }
  void TearDown() override {
    server_.Stop();
    if (!HasFailure() && !getenv("TAVEL_KEEP_E2E")) RemoveTree(dir_);
  }

  std::string dir_;
  AppServer server_;
};

TEST_P(IpptoolConformance, PassesTheTestFiles) {
  const tavel::ModelInfo* model = tavel::FindModel(GetParam().driver);
  ASSERT_NE(model, nullptr);
  const std::set<std::string> names = NamedFiles(dir_);
  ASSERT_GT(names.size(), 10u);
  std::string why;
  for (const std::string& name : names)
    ASSERT_TRUE(MakeSample(dir_, name, model->dpi, &why)) << why;
  const std::string document = dir_ + "/label.jpg";
  ASSERT_TRUE(MakeJpeg(document, 288, 432, 100, "0 setgray 72 72 144 144 rectfill showpage",
                       why))
      << why;
  ASSERT_TRUE(server_.AddPrinter(model->driverName, model->driverName, "", &why)) << why;

  // printer-up-time counts whole seconds, and must not be 0.
  const std::string uri = server_.PrinterUri(model->driverName);
  for (int i = 0; i < 50; ++i) {
    CommandResult r = server_.Ipp(uri, AppServer::Operation("Get-Printer-Attributes",
                                                            "printer-uri", uri) +
                                           "DISPLAY printer-up-time");
    if (std::atoi(DisplayedValues(r.out)["printer-up-time"].c_str()) > 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  CommandResult run = RunCommand(
      {"ipptool", "-tI", "-f", document, uri, dir_ + "/ipp-everywhere.test"}, kIpptoolSeconds);
  ASSERT_FALSE(run.timedOut) << run.Describe();
  const Outcome o = ReadOutcome(run.out);
  EXPECT_TRUE(o.errors.empty()) << o.errors.front();
  ASSERT_EQ(o.files.size(), 3u) << run.out;

  for (const auto& c : o.complaints)
    EXPECT_TRUE(Known(c.first, c.second)) << c.first << ": " << c.second;
  // A test that failed says why.
  std::set<std::string> explained;
  for (const auto& c : o.complaints) explained.insert(c.first);
  for (const std::string& test : o.failed)
    EXPECT_TRUE(explained.count(test)) << test << " failed without a complaint:\n" << run.out;

  // The print tests ran with the samples made here.
  int printed = 0;
  for (const std::string& test : o.passed)
    printed += test.compare(0, 6, "Print ") == 0 && test.find(" @ ") != std::string::npos;
  EXPECT_EQ(printed, GetParam().printTests);
  EXPECT_GT(o.passed.size(), 30u);
}

std::string FamilyName(const ::testing::TestParamInfo<Family>& param) {
  std::string name = param.param.driver;
  for (char& c : name)
    if (c == '-') c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Families, IpptoolConformance, ::testing::ValuesIn(kFamilies),
                         FamilyName);

}  // namespace
