// The printer application against a printer that answers: tavelpress-sim
// plays one printer of each family, over a network socket and over a
// pseudo-terminal (serial://). A job waits (processing-stopped, the reason
// in printer-state-reasons) while the printer is out of paper or open, and
// goes on with the page not yet sent once it is ready; a printer that
// never answers, or answers nonsense, prints as if it was never asked; a
// printer that closes the connection aborts the job with a message; the
// pocket printers' battery is a printer-supply.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <thread>

#include "app/ModelTable.h"
#include "support/AppServer.h"
#include "support/CupsChain.h"
#include "support/RasterWriter.h"

#ifndef TAVEL_SIM_PATH
#define TAVEL_SIM_PATH ""
#endif

namespace {

using tavel::Family;

struct Combo {
  Family family;
  const char* lang;
  bool pty;
  bool paperBits;  // the family's answer says paper out and cover open
};

const Combo kCombos[] = {
    {Family::kTspl, "tspl", false, true},         {Family::kTspl, "tspl", true, true},
    {Family::kEscpos, "escpos", false, true},     {Family::kEscpos, "escpos", true, true},
    {Family::kCpcl, "cpcl", false, true},         {Family::kCpcl, "cpcl", true, true},
    {Family::kPaperang, "paperang", false, false}, {Family::kPaperang, "paperang", true, false},
    {Family::kPeriPage, "peripage", false, false}, {Family::kPeriPage, "peripage", true, false},
};

const tavel::ModelInfo& ModelOf(Family family) {
  for (const tavel::ModelInfo& m : tavel::Models())
    if (m.family == family) return m;
  return tavel::Models().front();
}

class AppStatus : public ::testing::TestWithParam<Combo> {
 protected:
  static void SetUpTestSuite() {
    if (!*TAVEL_SIM_PATH) return;
    dir_ = MakePrivateDir("appstatus");
    ASSERT_TRUE(server_.Start(TAVEL_APP_PATH, dir_)) << server_.Log();
  }
  static void TearDownTestSuite() {
    if (!*TAVEL_SIM_PATH) return;
    server_.Stop();
    if (!failed_ && !getenv("TAVEL_KEEP_E2E")) RemoveTree(dir_);
  }
  void TearDown() override {
    if (simPid_ > 0) StopProcess(simPid_, 5);
    failed_ = failed_ || HasFailure();
  }

  // Starts the virtual printer; the URI the application reaches it by.
  void SetUp() override {
    if (!*TAVEL_SIM_PATH) GTEST_SKIP() << "no tavelpress-sim in this build";
  }
  std::string StartSim() {
    const Combo& c = GetParam();
    sim_ = dir_ + "/sim-" + c.lang + (c.pty ? "-pty" : "-tcp");
    RunCommand({"mkdir", "-p", sim_}, 10);
    std::vector<std::string> argv = {TAVEL_SIM_PATH, "--lang", c.lang, "--out", sim_};
    if (c.pty) {
      argv.insert(argv.end(), {"--pty", sim_ + "/link"});
    } else {
      argv.insert(argv.end(), {"--tcp", "0"});
    }
    simPid_ = StartProcess(argv, sim_ + "/sim.out");
    std::string ready;
    Eventually(10, [&] { return !(ready = ReadFile(sim_ + "/ready")).empty(); });
    if (ready.compare(0, 4, "tcp ") == 0)
      return "socket://127.0.0.1:" + std::to_string(std::atoi(ready.c_str() + 4));
    if (ready.compare(0, 4, "pty ") == 0) return "serial://" + sim_ + "/link?pause=0&chunk=4096";
    ADD_FAILURE() << "the sim did not start: " << ReadFile(sim_ + "/sim.out");
    return "";
  }
  void Set(const std::string& items) {
    std::vector<std::string> argv = {TAVEL_SIM_PATH, "set", sim_};
    std::istringstream in(items);
    for (std::string item; in >> item;) argv.push_back(item);
    const CommandResult r = RunCommand(argv, 10);
    ASSERT_EQ(r.status, 0) << items << ": " << r.Describe();
  }
  // Pages the sim printed, over every job it saw.
  int PagesPrinted() {
    std::istringstream log(ReadFile(sim_ + "/jobs.log"));
    int pages = 0;
    for (std::string line; std::getline(log, line);) {
      const size_t at = line.find(" pages ");
      if (at != std::string::npos) pages += std::atoi(line.c_str() + at + 7);
    }
    return pages;
  }
  // A new printer on the sim: each starts with nothing known of it.
  std::string NewPrinter(const std::string& uri) {
    const std::string name = std::string(GetParam().lang) + (GetParam().pty ? "-pty-" : "-tcp-") +
                             std::to_string(++printers_);
    std::string why;
    EXPECT_TRUE(server_.AddPrinter(name, ModelOf(GetParam().family).driverName, uri, &why))
        << why;
    return name;
  }
  std::map<std::string, std::string> Attributes(const std::string& uri, const char* op,
                                                const std::string& extra) {
    return DisplayedValues(
        server_.Ipp(uri, AppServer::Operation(op, "printer-uri", server_.PrinterUri(printer_)) +
                             extra).out);
  }
  std::string PrinterValue(const char* name) {
    return Attributes(server_.PrinterUri(printer_), "Get-Printer-Attributes",
                      std::string("ATTR keyword requested-attributes ") + name + "\nDISPLAY " +
                          name)[name];
  }
  std::string JobValue(int job, const char* name) {
    return Attributes(server_.PrinterUri(printer_), "Get-Job-Attributes",
                      "ATTR integer job-id " + std::to_string(job) +
                          "\nATTR keyword requested-attributes " + name + "\nDISPLAY " + name)[name];
  }
  int PrintLabels(int pages) {
    const tavel::ModelInfo& m = ModelOf(GetParam().family);
    const unsigned width = unsigned(m.Media(m.defaultMedia)->widthPt * m.dpi / 72.0 + 0.5);
    std::vector<RasterPage> list;
    for (int i = 0; i < pages; ++i) {
      RasterPage p = UniformPage(MakeHeader(width, 120, 8, CUPS_CSPACE_SW, unsigned(m.dpi)), 255);
      for (unsigned x = 4; x < width / 2; ++x) p.data[size_t(20 + i) * width + x] = 0;
      list.push_back(p);
    }
    const std::vector<uint8_t> raster = WriteRaster(list, CUPS_RASTER_WRITE_PWG);
    const std::string path = sim_ + "/labels" + std::to_string(pages) + ".pwg";
    WriteFile(path, std::string(raster.begin(), raster.end()));
    return server_.Print(printer_, path, "image/pwg-raster", "labels", "");
  }

  static std::string dir_;
  static AppServer server_;
  static bool failed_;
  std::string sim_, printer_;
  int simPid_ = -1;
  int printers_ = 0;
};

std::string AppStatus::dir_;
AppServer AppStatus::server_;
bool AppStatus::failed_ = false;

// What the printer's state does to a job, per state.
struct Case {
  const char* name;
  const char* state;  // set before the job
  int pages;
  bool needsPaperBits;
  const char* reasons;  // one of these in printer-state-reasons while the job waits; null: no wait
  const char* ready;    // set once the job waits; null: the job is cancelled then
  const char* ends;     // the job's final state
  const char* message;  // in its job-state-message
};

const Case kCases[] = {
    {"paper out", "paper=out", 2, true, "media-empty", "paper=ok", "completed", "Job completed."},
    {"out mid-job", "paper-after=2", 5, true, "media-empty", "paper=ok", "completed",
     "Job completed."},
    {"cover open", "cover=open", 1, true, "cover-open door-open", "cover=closed", "completed",
     nullptr},
    {"cancelled waiting", "paper=out", 2, true, "media-empty", nullptr, "canceled", nullptr},
    {"wrong answers", "answer=wrong", 2, false, nullptr, nullptr, "completed", nullptr},
    {"silent", "answer=no", 2, false, nullptr, nullptr, "completed", nullptr},
    {"closes", "close-after=300", 3, false, nullptr, nullptr, "aborted",
     "The printer closed the connection after"},
};

TEST_P(AppStatus, JobsFollowThePrinter) {
  const std::string uri = StartSim();
  ASSERT_FALSE(uri.empty());
  for (const Case& c : kCases) {
    if (c.needsPaperBits && !GetParam().paperBits) continue;
    SCOPED_TRACE(c.name);
    Set(c.state);
    printer_ = NewPrinter(uri);
    const int before = PagesPrinted();
    const int job = PrintLabels(c.pages);
    ASSERT_GT(job, 0);
    if (c.reasons) {
      ASSERT_TRUE(Eventually(20, [&] {
        return server_.JobState(printer_, job) == "processing-stopped";
      })) << server_.JobState(printer_, job);
      EXPECT_NE(JobValue(job, "job-state-message").find("Waiting: the printer is"),
                std::string::npos);
      const std::string reasons = PrinterValue("printer-state-reasons");
      bool shown = false;
      std::istringstream words(c.reasons);
      for (std::string word; words >> word;) shown = shown || reasons.find(word) != std::string::npos;
      EXPECT_TRUE(shown) << reasons;
      if (c.ready) {
        Set(c.ready);
      } else {
        const std::string jobUri = server_.PrinterUri(printer_) + "/" + std::to_string(job);
        EXPECT_EQ(server_.Ipp(jobUri, AppServer::Operation("Cancel-Job", "job-uri", jobUri)).status,
                  0);
      }
    }
    EXPECT_EQ(server_.WaitForJob(printer_, job), c.ends);
    if (c.message) {
      EXPECT_NE(JobValue(job, "job-state-message").find(c.message), std::string::npos)
          << JobValue(job, "job-state-message");
    }
    Set("answer=yes close-after=0 paper=ok cover=closed");
    if (std::string(c.ends) == "canceled") {
      EXPECT_EQ(PagesPrinted(), before);
    } else if (std::string(c.ends) == "completed") {
      // Every page once, none lost to the wait.
      EXPECT_TRUE(Eventually(15, [&] { return PagesPrinted() >= before + c.pages; }));
      EXPECT_EQ(PagesPrinted(), before + c.pages) << ReadFile(sim_ + "/jobs.log");
      const std::string reasons = PrinterValue("printer-state-reasons");
      EXPECT_EQ(reasons.find("media"), std::string::npos) << reasons;
    } else {
      // The next job opens the device again and prints.
      const int next = PrintLabels(1);
      EXPECT_EQ(server_.WaitForJob(printer_, next), "completed");
    }
  }
}

// The pocket printers say how full their battery is: a printer-supply.
class AppBattery : public AppStatus {};

TEST_P(AppBattery, IsASupply) {
  const std::string uri = StartSim();
  ASSERT_FALSE(uri.empty());
  Set("battery=37");
  printer_ = NewPrinter(uri);
  std::string supply;
  EXPECT_TRUE(Eventually(15, [&] {
    supply = PrinterValue("printer-supply");
    return supply.find("level=37") != std::string::npos;
  })) << supply;
  EXPECT_NE(PrinterValue("printer-supply-description").find("Battery"), std::string::npos);
}

std::string ComboName(const ::testing::TestParamInfo<Combo>& info) {
  return std::string(info.param.lang) + (info.param.pty ? "_pty" : "_tcp");
}

INSTANTIATE_TEST_SUITE_P(Families, AppStatus, ::testing::ValuesIn(kCombos), ComboName);
// The pocket families, the last rows of the table.
INSTANTIATE_TEST_SUITE_P(PocketFamilies, AppBattery,
                         ::testing::ValuesIn(kCombos + 6, kCombos + sizeof kCombos / sizeof *kCombos),
                         ComboName);

}  // namespace
