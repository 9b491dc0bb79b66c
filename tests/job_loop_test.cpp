// The filter as the scheduler runs it: arguments, PPD, raster stream, page
// messages, cancellation, broken headers and broken output.
#include <cups/sidechannel.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <random>

#include "support/FilterRunner.h"
#include "support/PpdWriter.h"
#include "support/RasterWriter.h"
#include "tools/decode/EscposDecoder.h"
#include "tools/decode/TsplDecoder.h"

namespace {

std::string Ppd(int model, const std::vector<PpdOption>& options = {}) {
  return WriteTempFile("printer.ppd", PpdText(model, options));
}

RasterPage RandomPage(unsigned w, unsigned h, unsigned seed) {
  RasterPage p = UniformPage(MakeHeader(w, h, 8), 255);
  std::mt19937 rng(seed);
  for (auto& b : p.data) b = static_cast<uint8_t>(rng());
  return p;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The payload of the first TSPL mode-1 bitmap in a stream.
std::vector<uint8_t> TsplBitmap(const std::vector<uint8_t>& out, unsigned* rowBytes,
                                unsigned* rows) {
  std::string s(out.begin(), out.end());
  size_t at = s.find("BITMAP ");
  if (at == std::string::npos) return {};
  unsigned x, y, mode;
  int used = 0;
  if (std::sscanf(s.c_str() + at, "BITMAP %u,%u,%u,%u,%u,%n", &x, &y, rowBytes, rows, &mode,
                  &used) != 5 || mode != 1)
    return {};
  size_t from = at + static_cast<size_t>(used);
  size_t n = static_cast<size_t>(*rowBytes) * *rows;
  if (from + n > out.size()) return {};
  return std::vector<uint8_t>(out.begin() + static_cast<long>(from),
                              out.begin() + static_cast<long>(from + n));
}

struct ArgCase {
  const char* name;
  std::vector<std::string> args;
  const char* message;
};

class BadArguments : public ::testing::TestWithParam<ArgCase> {};

TEST_P(BadArguments, EndWithMessageAndNoOutput) {
  FilterJob job;
  job.args = GetParam().args;
  job.ppdPath = Ppd(20);
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_TRUE(r.out.empty());
  EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    JobLoop, BadArguments,
    ::testing::Values(
        ArgCase{"FourArguments", {"1", "u", "t", "1"}, "ERROR: tavelpress job-id user title copies options [file]"},
        ArgCase{"SevenArguments",
                {"1", "u", "t", "1", "", "f", "extra"},
                "ERROR: tavelpress job-id user title copies options [file]"},
        ArgCase{"MissingFile",
                {"1", "u", "t", "1", "", "/nonexistent/job.ras"},
                "Unable to open raster file"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(JobLoop, MissingPpdIsReportedWithItsReason) {
  FilterJob job;
  job.unsetPpd = true;
  job.input = WriteRaster({UniformPage(MakeHeader(8, 8, 8), 255)});
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("ERROR: The PPD file could not be opened."), std::string::npos);
  EXPECT_NE(r.err.find("DEBUG: "), std::string::npos);
  EXPECT_NE(r.err.find(" on line "), std::string::npos);
  EXPECT_TRUE(r.out.empty());
}

TEST(JobLoop, UnknownModelNumbersWriteNothing) {
  for (int model : {0, 19, 25}) {
    FilterJob job;
    job.ppdPath = Ppd(model);
    job.input = WriteRaster({UniformPage(MakeHeader(8, 8, 8), 255)});
    FilterResult r = RunFilter(job);
    EXPECT_EQ(r.exitStatus, 1) << model;
    EXPECT_TRUE(r.out.empty()) << model;
    EXPECT_NE(r.err.find("ERROR: Unknow ModelNumber."), std::string::npos) << model;
    EXPECT_NE(r.log.find("<3> ERR: Unknow ModelNumber = " + std::to_string(model)),
              std::string::npos);
  }
}

TEST(JobLoop, EmptyStreamStillRunsTheDocumentHooks) {
  // The pocket printer sends its set-up at the start of the document and its
  // end sound at the end, so both hooks show in the output.
  FilterJob job;
  job.ppdPath = Ppd(24, {{"EndPrintSound", "EveryDoc", {"None", "EveryDoc"}}});
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("ERROR: No pages were found."), std::string::npos);
  ASSERT_GE(r.out.size(), 8u);
  EXPECT_EQ(r.out[0], 0x10);
  const uint8_t endSound[] = {0x1F, 0x1B, 0x1F, 0x56, 0x08, 0x09, 0xA0, 0x99};
  EXPECT_EQ(0, std::memcmp(r.out.data() + r.out.size() - 8, endSound, 8));
}

TEST(JobLoop, ThreePagesAreNumberedAndLogged) {
  FilterJob job;
  job.ppdPath = Ppd(20);
  auto page = UniformPage(MakeHeader(64, 16, 8), 0);
  job.input = WriteRaster({page, page, page});
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exitStatus, 0);
  for (int n = 1; n <= 3; ++n) {
    std::string k = std::to_string(n);
    size_t pageLine = r.err.find("PAGE: " + k + " 1\n");
    size_t start = r.err.find("INFO: Starting page " + k + ".");
    size_t finish = r.err.find("INFO: Finished page " + k + ".");
    ASSERT_NE(pageLine, std::string::npos) << r.err;
    ASSERT_NE(start, std::string::npos);
    ASSERT_NE(finish, std::string::npos);
    EXPECT_LT(pageLine, start);
    EXPECT_LT(start, finish);
  }
  EXPECT_EQ(Count(r.err, "PAGE: "), 3u);
  EXPECT_EQ(Count(std::string(r.out.begin(), r.out.end()), "PRINT 1,1\r\n"), 3u);
  EXPECT_EQ(Count(r.log, "create image width=64, height=16, bitsPerPixel=8, bytesPerLine=64"), 3u);
  // The settings are read once, before the first page.
  EXPECT_EQ(Count(r.log, "CCupsRender::GetPrinterParameters"), 1u);
  EXPECT_LT(r.log.find("CCupsRender::GetPrinterParameters"), r.log.find("DEBUG: Duplex = 0"));
  EXPECT_NE(r.log.find("ModelName=Test Printer"), std::string::npos);
  EXPECT_NE(r.log.find("ModelNumber = 20"), std::string::npos);
}

TEST(JobLoop, RasterFileArgumentIsRead) {
  FilterJob job;
  job.ppdPath = Ppd(21);
  std::string path = WriteTempFile("job.ras", WriteRaster({UniformPage(MakeHeader(16, 4, 8), 0)}));
  job.args = {"1", "u", "t", "1", "", path};
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.err.find("PAGE: 1 1"), std::string::npos);
  EXPECT_FALSE(r.out.empty());
}

// SIGTERM lands while the filter waits for input that the test holds back;
// the input then stays open, so the filter must end by itself. A page in
// progress is read to its end and printed; a wait for a header ends the job.
struct CancelCase {
  const char* name;
  size_t signalAt;  // bytes of the stream sent before the signal
  const char* waitForStderr;
  size_t sentAfter;  // bytes sent after it (the whole stream when larger)
  int status;
  const char* error;  // expected in standard error; empty: no ERROR at all
  size_t pagesPrinted;
};

// Pages 1 and 3 random, page 2 black; 64 x 64 dots of 8 bits.
const std::vector<RasterPage>& CancelPages() {
  static const std::vector<RasterPage> pages = {
      RandomPage(64, 64, 1), UniformPage(MakeHeader(64, 64, 8), 0), RandomPage(64, 64, 3)};
  return pages;
}
size_t StreamBytes(size_t pages) {
  return WriteRaster({CancelPages().begin(), CancelPages().begin() + static_cast<long>(pages)})
      .size();
}

// The job ended by itself with this status, this error (none: no ERROR
// line at all) and this many pages reported to CUPS.
void ExpectOutcome(const FilterResult& r, int status, const char* error, size_t pages) {
  EXPECT_EQ(r.termSignal, 0);
  EXPECT_EQ(r.exitStatus, status) << r.err;
  if (*error)
    EXPECT_NE(r.err.find(error), std::string::npos) << r.err;
  else
    EXPECT_EQ(r.err.find("ERROR:"), std::string::npos) << r.err;
  EXPECT_EQ(Count(r.err, "PAGE: "), pages) << r.err;
}

class Cancel : public ::testing::TestWithParam<CancelCase> {};

TEST_P(Cancel, EndsAfterThePageInProgress) {
  const CancelCase& c = GetParam();
  const std::vector<uint8_t> all = WriteRaster(CancelPages());
  const size_t at = std::min(c.signalAt, all.size());
  const size_t to = at + std::min(c.sentAfter, all.size() - at);
  FilterJob job;
  job.ppdPath = Ppd(20, {{"ImageFilter", "0", {"0", "3"}}});
  job.timeoutSeconds = 20;
  job.holdInputOpen = true;
  FeedStep before, after;
  before.bytes.assign(all.begin(), all.begin() + static_cast<long>(at));
  after.waitForStderr = c.waitForStderr;
  after.waitForLog = "ModelNumber = 20";  // the handler is in place
  after.waitForInputTaken = true;
  after.sigtermFirst = true;
  after.bytes.assign(all.begin() + static_cast<long>(at), all.begin() + static_cast<long>(to));
  job.steps = {before, after};
  FilterResult r = RunFilter(job);
  ASSERT_FALSE(r.timedOut) << r.err;
  ExpectOutcome(r, c.status, c.error, c.pagesPrinted);

  Stream decoded(r.out, nullptr);
  EXPECT_TRUE(DecodeTspl(decoded)) << decoded.error;
  ASSERT_EQ(decoded.pages.size(), c.pagesPrinted);
  if (c.pagesPrinted < 2) return;
  // Page 2 came whole: black to its last row.
  const Page& two = decoded.pages[1];
  ASSERT_EQ(two.Height(), 64u);
  const std::vector<uint8_t> dots = two.Render();
  for (uint64_t y = 0; y < two.Height(); ++y)
    for (uint64_t x = 0; x < 8; ++x) ASSERT_EQ(dots[y * two.Stride() + x], 0xFF) << "row " << y;
}

INSTANTIATE_TEST_SUITE_P(
    JobLoop, Cancel,
    ::testing::Values(
        // libcups reads the stream's first four bytes when it opens it.
        CancelCase{"BeforeTheFirstHeader", 4, "", ~size_t{0}, 1,
                   "ERROR: No pages were found.", 0},
        CancelCase{"BetweenPages", StreamBytes(1), "INFO: Finished page 1.", 0, 0, "", 1},
        // Half of page 2 before the signal; the rest of it and page 3 after.
        CancelCase{"InsidePageTwo", (StreamBytes(1) + StreamBytes(2)) / 2,
                   "INFO: Starting page 2.", ~size_t{0}, 0, "", 2}),
    [](const auto& p) { return std::string(p.param.name); });

struct HeaderCase {
  const char* name;
  void (*damage)(cups_page_header2_t&);
  bool dataFits;  // the page's data can be sent in full, so a next page can follow
};

RasterPage DamagedPage(const HeaderCase& c) {
  cups_page_header2_t h = MakeHeader(64, 16, 8);
  c.damage(h);
  uint64_t bytes = static_cast<uint64_t>(h.cupsBytesPerLine) * h.cupsHeight;
  if (bytes > 4096) bytes = 4096;
  return RasterPage{h, std::vector<uint8_t>(bytes, 0)};
}

class BrokenHeader : public ::testing::TestWithParam<HeaderCase> {};

// A page whose sizes don't fit is refused with a message; the page after it
// still prints.
class BrokenHeaderFollowed : public BrokenHeader {};

TEST_P(BrokenHeaderFollowed, IsRefusedAndTheNextPagePrints) {
  RasterPage good = UniformPage(MakeHeader(64, 16, 8), 0);
  RasterPage badPage = DamagedPage(GetParam());
  FilterJob job;
  job.ppdPath = Ppd(20);
  job.input = WriteRaster({badPage, good});
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.termSignal, 0);
  EXPECT_EQ(r.exitStatus, 1) << r.err;  // a page is missing: the job failed
  EXPECT_NE(r.err.find("ERROR: Page 1 can't be printed"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("DEBUG: page 1: "), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("PAGE: 1 1"), std::string::npos);
  EXPECT_NE(r.err.find("PAGE: 2 1"), std::string::npos) << r.err;
  EXPECT_EQ(Count(std::string(r.out.begin(), r.out.end()), "PRINT 1,1\r\n"), 1u);
}

TEST_P(BrokenHeader, AloneFailsTheJob) {
  FilterJob job;
  job.ppdPath = Ppd(21);
  job.input = WriteRaster({DamagedPage(GetParam())});
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.termSignal, 0);
  EXPECT_EQ(r.exitStatus, 1) << r.err;
  EXPECT_NE(r.err.find("ERROR: Page 1 can't be printed"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("PAGE: "), std::string::npos);
  EXPECT_TRUE(r.out.empty());
}

const HeaderCase kBrokenHeaders[] = {
        HeaderCase{"ZeroWidth", [](cups_page_header2_t& h) { h.cupsWidth = 0; }, true},
        HeaderCase{"LineShorterThanWidth", [](cups_page_header2_t& h) { h.cupsBytesPerLine = 63; }, true},
        HeaderCase{"SixteenBitPixels",
                   [](cups_page_header2_t& h) {
                     h.cupsBitsPerPixel = 16;
                     h.cupsBitsPerColor = 16;
                     h.cupsBytesPerLine = 128;
                     h.cupsHeight = 8;
                   }, true},
        HeaderCase{"TwoBitPixels",
                   [](cups_page_header2_t& h) {
                     h.cupsBitsPerPixel = 2;
                     h.cupsBitsPerColor = 2;
                     h.cupsBytesPerLine = 16;
                   }, true},
        HeaderCase{"ZeroResolution", [](cups_page_header2_t& h) { h.HWResolution[0] = 0; }, true},
        HeaderCase{"ZeroVerticalResolution", [](cups_page_header2_t& h) { h.HWResolution[1] = 0; }, true},
        HeaderCase{"HugeHeight", [](cups_page_header2_t& h) { h.cupsHeight = 0xFFFFFFFFu; }, false},
        HeaderCase{"HugeLines",
                   [](cups_page_header2_t& h) {
                     h.cupsWidth = 16 * 1024 * 1024;
                     h.cupsBytesPerLine = 16 * 1024 * 1024;
                     h.cupsHeight = 1;
                   }, false},
        HeaderCase{"PageBeyondMemoryLimit",
                   [](cups_page_header2_t& h) {
                     h.cupsWidth = 1000000;
                     h.cupsBytesPerLine = 1000000;
                     h.cupsHeight = 300;
                   }, false},
        HeaderCase{"CmykPage",
                   [](cups_page_header2_t& h) {
                     h.cupsColorSpace = CUPS_CSPACE_CMYK;
                     h.cupsBitsPerPixel = 32;
                     h.cupsBytesPerLine = 256;
                     h.cupsHeight = 4;
                   }, true}};

std::vector<HeaderCase> FollowedCases() {
  std::vector<HeaderCase> cases;
  for (const HeaderCase& c : kBrokenHeaders)
    if (c.dataFits) cases.push_back(c);
  return cases;
}

INSTANTIATE_TEST_SUITE_P(JobLoop, BrokenHeader, ::testing::ValuesIn(kBrokenHeaders),
                         [](const auto& p) { return std::string(p.param.name); });
// A page whose data can be sent in full; the others' data would swallow the
// page after them.
INSTANTIATE_TEST_SUITE_P(JobLoop, BrokenHeaderFollowed, ::testing::ValuesIn(FollowedCases()),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(JobLoop, CmykIsNamedInTheMessage) {
  cups_page_header2_t h = MakeHeader(8, 2, 32, CUPS_CSPACE_CMYK);
  FilterJob job;
  job.ppdPath = Ppd(22);
  job.input = WriteRaster({UniformPage(h, 0)});
  FilterResult r = RunFilter(job);
  EXPECT_NE(r.err.find("CMYK"), std::string::npos) << r.err;
}

TEST(JobLoop, StreamCutInsideAPagePrintsTheRestWhite) {
  RasterPage page = UniformPage(MakeHeader(64, 40, 8), 0);  // all black
  std::vector<uint8_t> full = WriteRaster({page});
  // Keep the header and about half of the lines.
  std::vector<uint8_t> cut(full.begin(), full.end() - static_cast<long>(64 * 20));
  FilterJob job;
  job.ppdPath = Ppd(20, {{"ImageFilter", "0", {"0", "3"}}});
  job.input = cut;
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exitStatus, 1) << r.err;  // printed, but not whole
  EXPECT_NE(r.err.find("ERROR: The print data ended inside page 1."), std::string::npos) << r.err;
  unsigned rowBytes = 0, rows = 0;
  std::vector<uint8_t> bits = TsplBitmap(r.out, &rowBytes, &rows);
  ASSERT_EQ(rows, 40u);
  ASSERT_EQ(rowBytes, 8u);
  EXPECT_EQ(bits[0], 0x00);                        // first row arrived: black
  EXPECT_EQ(bits[39 * rowBytes], 0xFF);            // last row never came: white
}

// A 16-dot black page whose data ends halfway through its second row: the
// row that did not arrive whole prints white, and a receipt cropped at its
// white bottom ends after the first row. The rows differ from one row to
// the next (0 and 1, both black), so that a compressed stream packs each
// row on its own and the cut falls inside a row's packed data.
class CutInsideARow : public ::testing::TestWithParam<cups_mode_t> {};

TEST_P(CutInsideARow, LeavesThatRowWhite) {
  const unsigned kRows = 8;
  const cups_page_header2_t h = MakeHeader(16, kRows, 8);
  RasterPage page = UniformPage(h, 0);
  for (size_t i = 0; i < page.data.size(); ++i) page.data[i] = ((i + i / 16) & 1) ? 1 : 0;
  const std::vector<uint8_t> full = WriteRaster({page}, GetParam());
  const size_t headerBytes = WriteRaster({RasterPage{h, {}}}, GetParam()).size();
  ASSERT_EQ((full.size() - headerBytes) % kRows, 0u);
  const size_t rowBytes = (full.size() - headerBytes) / kRows;
  FilterJob job;
  job.ppdPath = Ppd(21, {{"ImageFilter", "0", {"0", "3"}}, {"CropEdgeBottom", "-1", {"0", "-1"}}});
  job.input.assign(full.begin(), full.begin() + static_cast<long>(headerBytes + rowBytes * 3 / 2));
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exitStatus, 1) << r.err;
  EXPECT_NE(r.err.find("ERROR: The print data ended inside page 1."), std::string::npos) << r.err;
  EXPECT_NE(r.log.find("page 1: 1 of 8 lines arrived"), std::string::npos) << r.log;

  Stream decoded(r.out, nullptr);
  EXPECT_TRUE(DecodeEscpos(decoded)) << decoded.error;
  ASSERT_EQ(decoded.pages.size(), 1u);
  const Page& p = decoded.pages[0];
  ASSERT_EQ(p.Height(), 1u);
  const std::vector<uint8_t> dots = p.Render();
  EXPECT_EQ(dots[0], 0xFF);
  EXPECT_EQ(dots[1], 0xFF);
}

INSTANTIATE_TEST_SUITE_P(JobLoop, CutInsideARow,
                         ::testing::Values(CUPS_RASTER_WRITE, CUPS_RASTER_WRITE_COMPRESSED),
                         [](const auto& p) {
                           return p.param == CUPS_RASTER_WRITE ? "Raw" : "Compressed";
                         });

// Any page that did not reach the printer whole fails the job, after the
// other pages printed; a page whose data ended before its first row is not
// printed at all.
struct StatusCase {
  const char* name;
  int model;
  std::function<std::vector<uint8_t>()> input;
  int status;
  const char* error;  // expected in standard error; empty: no ERROR at all
  size_t pagesPrinted;
};

class JobStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(JobStatus, OnlyWholePagesSucceed) {
  const StatusCase& c = GetParam();
  FilterJob job;
  job.ppdPath = Ppd(c.model);
  job.input = c.input();
  FilterResult r = RunFilter(job);
  ExpectOutcome(r, c.status, c.error, c.pagesPrinted);
}

std::vector<uint8_t> GoodPages(int n) {
  return WriteRaster(std::vector<RasterPage>(static_cast<size_t>(n),
                                             UniformPage(MakeHeader(64, 16, 8), 0)));
}

INSTANTIATE_TEST_SUITE_P(
    JobLoop, JobStatus,
    ::testing::Values(
        StatusCase{"AllPagesPrint", 21, [] { return GoodPages(2); }, 0, "", 2},
        // 600000 dots is more than an ESC/POS raster row holds.
        StatusCase{"DriverRefusesAPage", 21,
                   [] {
                     RasterPage wide = UniformPage(MakeHeader(600000, 2, 1, CUPS_CSPACE_K), 0);
                     RasterPage good = UniformPage(MakeHeader(64, 16, 8), 0);
                     return WriteRaster({good, wide, good});
                   },
                   1, "ERROR: The page is too large to be printed.", 3},
        StatusCase{"NoRowsAfterTheHeader", 20,
                   [] {
                     RasterPage good = UniformPage(MakeHeader(64, 16, 8), 0);
                     return WriteRaster({good, RasterPage{MakeHeader(64, 4000, 8), {}}});
                   },
                   1, "ERROR: The print data ended inside page 2.", 1}),
    [](const auto& p) { return std::string(p.param.name); });

// libcups refuses a page header of height 0 as if the stream ended there;
// the pages after it must not vanish without a word.
TEST(JobLoop, RefusedHeaderInTheMiddleIsReported) {
  RasterPage good = UniformPage(MakeHeader(64, 16, 8), 0);
  FilterJob job;
  job.ppdPath = Ppd(20);
  job.input = WriteRaster({good, RasterPage{MakeHeader(64, 0, 8), {}}, good});
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exitStatus, 1) << r.err;
  EXPECT_NE(r.err.find("INFO: Finished page 1."), std::string::npos);
  EXPECT_NE(r.err.find("ERROR: The print data after page 1 can't be read"), std::string::npos)
      << r.err;
}

struct OutputCase {
  const char* name;
  const char* path;
  bool closeEarly;
};

class BrokenOutput : public ::testing::TestWithParam<OutputCase> {};

TEST_P(BrokenOutput, FailsTheJobWithAMessage) {
  FilterJob job;
  job.ppdPath = Ppd(21);
  auto page = RandomPage(384, 400, 7);
  job.input = WriteRaster({page, page, page});
  job.stdoutPath = GetParam().path;
  job.closeStdoutEarly = GetParam().closeEarly;
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.termSignal, 0) << "the filter must not die of SIGPIPE";
  EXPECT_EQ(r.exitStatus, 1) << r.err;
  EXPECT_EQ(Count(r.err, "ERROR: Unable to send print data to the printer."), 1u) << r.err;
  EXPECT_EQ(r.err.find("Starting page 2."), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(JobLoop, BrokenOutput,
                         ::testing::Values(OutputCase{"DiskFull", "/dev/full", false},
                                           OutputCase{"ReaderGone", "", true}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace

// A backend on the other end of the side channel, in a process of its own
// (libcups serves the channel on descriptor 4): answers GET_BIDI with
// `bidi` and each GET_STATE with the next of `states`, or nothing at all
// when silent. Its exit status is the number of GET_STATE requests.
struct SideChannelBackend {
  bool bidi;
  std::vector<uint8_t> states;
  bool silent;

  pid_t Start(int* filterEnd) const {
    int pair[2];
    if (socketpair(AF_LOCAL, SOCK_STREAM, 0, pair) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
      const int end = dup(pair[1]);  // neither end may sit on the channel's number
      close(pair[0]);
      close(pair[1]);
      dup2(end, CUPS_SC_FD);
      close(end);
      int asked = 0;
      for (int i = 0; i < 64; ++i) {
        cups_sc_command_t command;
        cups_sc_status_t status;
        char data[8];
        int length = sizeof data;
        if (cupsSideChannelRead(&command, &status, data, &length, 10.0) != 0) break;
        if (silent) continue;
        char answer = 0;
        if (command == CUPS_SC_CMD_GET_BIDI) {
          answer = bidi ? CUPS_SC_BIDI_SUPPORTED : CUPS_SC_BIDI_NOT_SUPPORTED;
        } else if (command == CUPS_SC_CMD_GET_STATE) {
          answer = static_cast<char>(states[std::min<size_t>(asked, states.size() - 1)]);
          ++asked;
        } else {
          cupsSideChannelWrite(command, CUPS_SC_STATUS_NOT_IMPLEMENTED, nullptr, 0, 1.0);
          continue;
        }
        cupsSideChannelWrite(command, CUPS_SC_STATUS_NONE, &answer, 1, 1.0);
      }
      _exit(asked);
    }
    close(pair[1]);
    *filterEnd = pair[0];
    return pid;
  }
};

TEST(JobLoop, ReportsTheBackendsPrinterStateWithoutChangingItsBytes) {
  const auto page = UniformPage(MakeHeader(64, 16, 8), 0);
  FilterJob plain;
  plain.ppdPath = Ppd(20);
  plain.input = WriteRaster({page, page, page});
  const FilterResult reference = RunFilter(plain);
  ASSERT_EQ(reference.exitStatus, 0);
  const uint8_t kOnline = CUPS_SC_STATE_ONLINE, kEmpty = CUPS_SC_STATE_MEDIA_EMPTY;
  const struct {
    const char* name;
    SideChannelBackend backend;
    int stateRequests;  // -1: not counted (a silent backend)
    std::vector<std::string> lines;
  } kCases[] = {
      {"paper out, then back", {true, {kOnline, uint8_t(kOnline | kEmpty), kOnline}, false}, 3,
       {"STATE: +media-empty-error\n", "STATE: -media-empty-error\n"}},
      {"one-way connection", {false, {kEmpty}, false}, 0, {}},
      {"backend that never answers", {true, {kEmpty}, true}, -1, {}},
  };
  for (const auto& c : kCases) {
    FilterJob job = plain;
    // What the printer sends unasked is read off the back channel and dropped.
    int back[2];
    ASSERT_EQ(pipe(back), 0);
    ASSERT_EQ(write(back[1], "\x12\x12", 2), 2);
    job.backChannelFd = back[0];
    const pid_t backend = c.backend.Start(&job.sideChannelFd);
    ASSERT_GT(backend, 0);
    const FilterResult r = RunFilter(job);
    close(job.sideChannelFd);
    close(back[0]);
    close(back[1]);
    int status = 0;
    waitpid(backend, &status, 0);
    EXPECT_EQ(r.exitStatus, 0) << c.name << ": " << r.err;
    EXPECT_EQ(r.out, reference.out) << c.name << ": the printer bytes changed";
    if (c.stateRequests >= 0) {
      EXPECT_EQ(WEXITSTATUS(status), c.stateRequests) << c.name;
    }
    size_t at = 0;
    for (const std::string& line : c.lines) {
      at = r.err.find(line, at);
      EXPECT_NE(at, std::string::npos) << c.name << ": no " << line << r.err;
    }
    EXPECT_EQ(Count(r.err, "STATE: "), c.lines.size()) << c.name << ": " << r.err;
  }
}
