// The printer application under many clients at once. Jobs sent over
// several connections together to printers on file: folder devices must
// each end completed with the very bytes that their document gives when
// printed alone on a fresh printer of the same model; a cancel at any
// moment of a job's life must end that job and no other; a server with
// jobs in flight must stop on SIGTERM. The AppSoak tests do the same at
// full size and watch the server's memory; they run with TAVEL_SOAK=1
// (make soak) and print their figures.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <signal.h>

#include "app/ModelTable.h"
#include "support/AppLoad.h"
#include "support/AppServer.h"
#include "support/CupsChain.h"
#include "support/RasterWriter.h"

namespace {

using tavel::ModelInfo;

// Bounds on waiting, not expectations of speed.
constexpr double kLoadSeconds = 200;
constexpr double kSoakSeconds = 1800;
constexpr double kJobSeconds = 60;
// What systemctl stop allows a server before it kills it.
constexpr double kStopSeconds = 10;
// The memory a long run may add to what the server had after its first jobs.
constexpr long kGrowthKb = 5 * 1024;
constexpr size_t kWarmJobs = 10;
constexpr size_t kMemoryParts = 4;
constexpr size_t kLogLines = 12;  // of the server's log, in a message

std::string AppPath() { return TAVEL_APP_PATH; }

// The documents of the rotation: PNG, PWG raster, PDF. Each kind carries
// job settings of its own, so that one job's settings reaching another
// shows in that job's bytes.
struct Kind {
  const char* tag;
  const char* format;
  std::vector<std::string> attrs;
};
const Kind kKinds[] = {
    {"png", "image/png", {"keyword print-content-optimize photo"}},
    {"pwg", "image/pwg-raster", {"keyword print-content-optimize text"}},
    {"pdf", "application/pdf", {}},
};
constexpr int kKindCount = 3;

// A page of bars, stripes and a gray ramp as wide as the model's head.
RasterPage BarsPage(const ModelInfo& m, unsigned height) {
  const tavel::ModelMedia* media = m.Media(m.defaultMedia);
  const unsigned width = unsigned(media->widthPt * m.dpi / 72.0 + 0.5);
  RasterPage p = UniformPage(MakeHeader(width, height, 8, CUPS_CSPACE_SW, unsigned(m.dpi)), 255);
  for (unsigned y = 0; y < height; ++y) {
    uint8_t* row = p.data.data() + size_t(y) * p.header.cupsBytesPerLine;
    for (unsigned x = 0; x < width; ++x) {
      if (y > 10 && y < 40 && x > 8 && x < width / 2) row[x] = 0;
      if (y > 50 && y < 110 && (x / 3) % 3 == 0 && x > 16 && x < width - 16) row[x] = 0;
      if (y > 120 && y < 170) row[x] = uint8_t(x * 255 / width);
    }
  }
  return p;
}

// A PostScript body: boxes and a gray band, moved down on each page.
std::string Drawing(double hPt, int pages) {
  std::string body;
  for (int i = 0; i < pages; ++i) {
    const double top = hPt - 40 - (i % 8) * 20;
    body += "0 setgray 20 " + std::to_string(top) + " 60 24 rectfill 0.5 setgray 10 " +
            std::to_string(top - 60) + " 100 30 rectfill showpage\n";
  }
  return body;
}

// A printer of the load and its model.
struct Printer {
  std::string name;
  const char* model;
};

class AppLoadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { dir_ = MakePrivateDir("load"); }
  static void TearDownTestSuite() {
    if (!failed_ && !getenv("TAVEL_KEEP_E2E")) RemoveTree(dir_);
  }

  void SetUp() override {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    serverDir_ = dir_ + "/" + name;
    RunCommand({"mkdir", "-p", serverDir_}, 10);
    // Information, not debugging: the log then holds a whole run.
    ASSERT_TRUE(server_.Start(AppPath(), serverDir_, {"log-level=info"})) << server_.Log();
    load_ = std::make_unique<AppLoad>(server_.Port(), server_.Pid());
  }
  void TearDown() override {
    server_.Stop();
    failed_ = failed_ || HasFailure();
  }

  void AddPrinter(const std::string& name, const char* model) {
    std::string why;
    ASSERT_TRUE(server_.AddPrinter(name, model, "", &why)) << why;
  }

  // The document of `kind` for the model (made once per test run).
  static std::string Document(const char* model, int kind) {
    const std::string path = dir_ + "/" + model + "." + kKinds[kind].tag;
    if (!ReadFile(path).empty()) return path;
    const ModelInfo& m = *tavel::FindModel(model);
    const tavel::ModelMedia* media = m.Media(m.defaultMedia);
    std::string err;
    bool made = true;
    if (kind == 0) {
      made = MakePng(path, media->widthPt, media->lengthPt, m.dpi, Drawing(media->lengthPt, 1),
                     err);
    } else if (kind == 1) {
      const std::vector<uint8_t> raster = WriteRaster({BarsPage(m, 400)}, CUPS_RASTER_WRITE_PWG);
      made = WriteFile(path, std::string(raster.begin(), raster.end()));
    } else {
      made = MakePdf(path, media->widthPt, media->lengthPt, Drawing(media->lengthPt, 2), err);
    }
    EXPECT_TRUE(made) << path << ": " << err;
    return path;
  }

  static LoadJob Job(const std::string& printer, const char* model, int kind,
                     const std::string& name) {
    return {printer, Document(model, kind), kKinds[kind].format, name, kKinds[kind].attrs};
  }

  std::string Output(const std::string& printer, const std::string& jobName) const {
    const std::string path = JobOutputFile(server_.DeviceFolder(printer), jobName);
    return path.empty() ? "" : ReadFile(path);
  }

  // The last lines of the server's log about its jobs and itself (no
  // debugging, no client chatter).
  std::string LogTail() const {
    std::istringstream log(ReadFile(serverDir_ + "/log"));
    std::deque<std::string> tail;
    std::string line;
    for (long i = 0; i < 10000000 && std::getline(log, line); ++i) {
      if (line.rfind("D ", 0) == 0 || line.find("] [Client ") != std::string::npos) continue;
      tail.push_back(line);
      if (tail.size() > kLogLines) tail.pop_front();
    }
    std::string text;
    for (const std::string& l : tail) text += "\n" + l;
    return text;
  }

  // Why the server is not there any more, with the end of its log.
  std::string ServerGone() {
    return "; the server died (" + ChildEnding(server_.Pid()) + "); its log ends:" + LogTail();
  }

  // Waits for the job to end; fails when it does not within a minute or
  // the server died meanwhile.
  ::testing::AssertionResult Ends(const std::string& printer, int id, std::string* state) {
    *state = load_->WaitForJob(printer, id, kJobSeconds);
    if (!ProcessAlive(server_.Pid()))
      return ::testing::AssertionFailure() << "job " << id << ServerGone();
    if (*state == "completed" || *state == "canceled" || *state == "aborted")
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "job " << id << " still " << *state << " after "
                                         << kJobSeconds << " s (the server hangs?)";
  }

  // Each document kind of the model printed alone, one job at a time, on a
  // fresh printer: the bytes every job of that document must give.
  void PrintAlone(const char* model, std::map<std::string, std::string>* alone) {
    const std::string printer = std::string("alone-") + model;
    AddPrinter(printer, model);
    for (int kind = 0; kind < kKindCount; ++kind) {
      const std::string name = printer + "-" + kKinds[kind].tag;
      LoadRun run = load_->Run({Job(printer, model, kind, name)}, 1, kJobSeconds);
      ASSERT_FALSE(run.serverGone) << ServerGone();
      ASSERT_EQ(run.jobs[0].state, "completed") << run.Summary();
      (*alone)[Key(model, kind)] = Output(printer, name);
      ASSERT_FALSE((*alone)[Key(model, kind)].empty()) << name;
    }
  }
  static std::string Key(const char* model, int kind) {
    return std::string(model) + "." + kKinds[kind].tag;
  }

  // perPrinter jobs on each printer, interleaved across printers, each
  // printer's documents in turn; keys gets each job's key of its bytes alone.
  static std::vector<LoadJob> Plan(const std::vector<Printer>& printers, size_t perPrinter,
                                   const std::string& tag, std::vector<std::string>* keys) {
    std::vector<LoadJob> jobs;
    for (size_t k = 0; k < perPrinter; ++k)
      for (const Printer& p : printers) {
        const int kind = int(k % kKindCount);
        jobs.push_back(Job(p.name, p.model, kind, tag + "-" + p.name + "-" + std::to_string(k)));
        keys->push_back(Key(p.model, kind));
      }
    return jobs;
  }

  // Every job of the run accepted, completed, and its file the bytes of
  // its document printed alone; the first few that are not, listed.
  ::testing::AssertionResult LikeAlone(const LoadRun& run, const std::vector<LoadJob>& jobs,
                                       const std::vector<std::string>& keys, size_t from,
                                       const std::map<std::string, std::string>& alone) {
    if (run.serverGone)
      return ::testing::AssertionFailure() << run.Summary() << ServerGone();
    size_t bad = 0;
    std::string list;
    for (size_t i = 0; i < run.jobs.size(); ++i) {
      const LoadJob& job = jobs[from + i];
      const LoadOutcome& o = run.jobs[i];
      std::string why;
      if (!o.Accepted())
        why = "refused: " + o.message;
      else if (o.state != "completed")
        why = "job " + std::to_string(o.id) + " ended " + (o.state.empty() ? "never" : o.state);
      else if (Output(job.printer, job.name) != alone.at(keys[from + i]))
        why = "job " + std::to_string(o.id) + " wrote " +
              std::to_string(Output(job.printer, job.name).size()) + " bytes unlike the " +
              std::to_string(alone.at(keys[from + i]).size()) + " of " + keys[from + i] +
              " alone";
      if (why.empty()) continue;
      if (++bad <= 5) list += "\n  " + job.name + ": " + why;
    }
    if (bad == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << bad << " of " << run.jobs.size() << " jobs wrong ("
                                         << run.Summary() << "):" << list;
  }

  // The load in two parts: the first kWarmJobs, then the rest; the
  // server's memory after each. Prints the figures.
  void LoadAndMeasure(const std::vector<Printer>& printers, size_t perPrinter, int clients,
                      double seconds, bool watchMemory) {
    std::map<std::string, std::string> alone;
    for (const Printer& p : printers) {
      bool known = false;
      for (const auto& [key, bytes] : alone) known = known || key.rfind(p.model, 0) == 0;
      if (!known) {
        ASSERT_NO_FATAL_FAILURE(PrintAlone(p.model, &alone));
      }
    }
    for (const Printer& p : printers) ASSERT_NO_FATAL_FAILURE(AddPrinter(p.name, p.model));
    std::vector<std::string> keys;
    const std::vector<LoadJob> jobs = Plan(printers, perPrinter, "job", &keys);
    const size_t warm = watchMemory ? kWarmJobs : 0;

    LoadRun first = load_->Run({jobs.begin(), jobs.begin() + long(warm)}, clients, seconds);
    ASSERT_TRUE(LikeAlone(first, jobs, keys, 0, alone));
    // The rest in parts, the memory after each: a history that fills up
    // levels off, a leak goes on growing.
    const size_t parts = watchMemory ? kMemoryParts : 1;
    std::vector<long> memory = {ResidentKb(server_.Pid())};
    std::string curve = std::to_string(memory[0]) + " kB after " + std::to_string(warm);
    double busy = 0;
    for (size_t part = 0, from = warm; part < parts; ++part) {
      const size_t to = warm + (jobs.size() - warm) * (part + 1) / parts;
      LoadRun run = load_->Run({jobs.begin() + long(from), jobs.begin() + long(to)}, clients,
                               seconds);
      ASSERT_TRUE(LikeAlone(run, jobs, keys, from, alone));
      busy += run.seconds;
      memory.push_back(ResidentKb(server_.Pid()));
      curve += ", " + std::to_string(memory.back()) + " after " + std::to_string(to);
      from = to;
    }

    const size_t count = jobs.size() - warm;
    std::printf("load: %zu jobs on %zu printer(s), %d clients: %.1f s, %.2f jobs/s\n", count,
                printers.size(), clients, busy, double(count) / busy);
    RecordProperty("jobs_per_second", std::to_string(double(count) / busy));
    if (!watchMemory) return;
    const long growth = memory.back() - memory.front();
    std::printf("load: server memory %s jobs (%+ld kB)\n", curve.c_str(), growth);
    RecordProperty("rss_kb", curve);
    EXPECT_LE(growth, kGrowthKb) << "resident memory " << curve;
  }

  static std::string dir_;
  static bool failed_;  // keeps the folders (logs, outputs) for a look
  std::string serverDir_;
  AppServer server_;
  std::unique_ptr<AppLoad> load_;
};

std::string AppLoadTest::dir_;
bool AppLoadTest::failed_ = false;

TEST_F(AppLoadTest, ManyClientsGiveTheBytesOfEachJobAlone) {
  LoadAndMeasure({{"load-a", "tspl-4in-203"}, {"load-b", "escpos-58mm"}}, 20, 8, kLoadSeconds,
                 false);
}

// On one printer, a job is cancelled a moment after it was accepted (the
// moment grows each round, so that cancels land while it waits, starts,
// prints or has ended), then three more follow. A cancel the server took
// ends its job canceled; every other job completes with its bytes alone.
TEST_F(AppLoadTest, CancelAtAnyMomentLeavesTheOtherJobs) {
  const char* model = "escpos-58mm";
  std::map<std::string, std::string> alone;
  ASSERT_NO_FATAL_FAILURE(PrintAlone(model, &alone));
  AddPrinter("cancel", model);
  const int pausesMs[] = {0, 2, 5, 10, 20, 40, 80, 160};
  struct Sent {
    LoadJob job;
    LoadOutcome outcome;
    int kind;
    ipp_status_t cancel = IPP_STATUS_OK;  // for the cancelled jobs
  };
  std::vector<Sent> sent;
  int n = 0, round = 0;
  for (int pause : pausesMs) {
    for (int i = 0; i < 4; ++i, ++n) {
      // PNG and PDF jobs are answered when accepted, raster jobs may be
      // answered only once printed: the cancelled job of a round is PNG or
      // PDF.
      const int kind = i == 0 ? (round++ % 2) * 2 : n % kKindCount;
      Sent s{Job("cancel", model, kind, "cancel-" + std::to_string(n)), {}, kind};
      s.outcome = load_->Send(s.job);
      ASSERT_TRUE(s.outcome.Accepted()) << s.job.name << ": " << s.outcome.message
                                        << (ProcessAlive(server_.Pid()) ? "" : ServerGone());
      if (i == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        s.cancel = load_->Cancel("cancel", s.outcome.id);
      }
      sent.push_back(s);
    }
  }
  for (size_t i = 0; i < sent.size(); ++i) {
    const Sent& s = sent[i];
    SCOPED_TRACE(s.job.name);
    std::string state;
    ASSERT_TRUE(Ends("cancel", s.outcome.id, &state));
    if (i % 4 == 0 && s.cancel == IPP_STATUS_OK) {
      EXPECT_EQ(state, "canceled");
      continue;
    }
    // Not cancelled, or it had ended when the cancel came.
    EXPECT_TRUE(s.cancel == IPP_STATUS_OK || s.cancel == IPP_STATUS_ERROR_NOT_POSSIBLE)
        << ippErrorString(s.cancel);
    EXPECT_EQ(state, "completed");
    EXPECT_EQ(Output("cancel", s.job.name), alone.at(Key(model, s.kind)));
  }
}

// A long job that is printing and a job still queued behind it are
// cancelled; the jobs around them complete with their bytes alone.
TEST_F(AppLoadTest, CancelWhileQueuedAndWhilePrinting) {
  const char* model = "tspl-4in-203";
  std::map<std::string, std::string> alone;
  ASSERT_NO_FATAL_FAILURE(PrintAlone(model, &alone));
  AddPrinter("busy", model);
  const tavel::ModelMedia* media = tavel::FindModel(model)->Media("4x6.Fullbleed");
  const std::string longPdf = dir_ + "/long.pdf";
  std::string err;
  ASSERT_TRUE(MakePdf(longPdf, media->widthPt, media->lengthPt, Drawing(media->lengthPt, 60),
                      err))
      << err;

  const LoadJob longJob{"busy", longPdf, "application/pdf", "busy-long", {}};
  const LoadOutcome printing = load_->Send(longJob);
  ASSERT_TRUE(printing.Accepted()) << printing.message;
  std::vector<LoadJob> queued;
  std::vector<LoadOutcome> outcomes;
  for (int i = 0; i < 4; ++i) {
    queued.push_back(Job("busy", model, i % 2 ? 2 : 0, "busy-" + std::to_string(i)));
    outcomes.push_back(load_->Send(queued.back()));
    ASSERT_TRUE(outcomes.back().Accepted()) << outcomes.back().message;
  }
  const int victim = outcomes[1].id;
  // Queued: behind a printing job of sixty pages.
  std::string state;
  for (int i = 0; i < 500 && (state = load_->State("busy", printing.id)) == "pending"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(state, "processing") << (ProcessAlive(server_.Pid()) ? "" : ServerGone());
  ASSERT_EQ(load_->State("busy", victim), "pending");
  EXPECT_EQ(load_->Cancel("busy", victim), IPP_STATUS_OK);
  ASSERT_EQ(load_->State("busy", printing.id), "processing") << "the long job ended too soon";
  EXPECT_EQ(load_->Cancel("busy", printing.id), IPP_STATUS_OK);

  std::string end;
  ASSERT_TRUE(Ends("busy", printing.id, &end));
  EXPECT_EQ(end, "canceled");
  for (size_t i = 0; i < queued.size(); ++i) {
    SCOPED_TRACE(queued[i].name);
    ASSERT_TRUE(Ends("busy", outcomes[i].id, &end));
    if (outcomes[i].id == victim) {
      EXPECT_EQ(end, "canceled");
      EXPECT_EQ(Output("busy", queued[i].name), "");
    } else {
      EXPECT_EQ(end, "completed");
      EXPECT_EQ(Output("busy", queued[i].name), alone.at(Key(model, i % 2 ? 2 : 0)));
    }
  }
}

// The threads of process `pid` other than its main thread that do not block
// SIGTERM (from /proc: their SigBlk mask).
int ThreadsTakingSigterm(int pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (!dir) return -1;
  int taking = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == pid) continue;
    std::ifstream status(tasks + "/" + entry->d_name + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("SigBlk:", 0) == 0 &&
          !(std::strtoull(line.c_str() + 7, nullptr, 16) & (1ull << (SIGTERM - 1))))
        ++taking;
  }
  closedir(dir);
  return taking;
}

// SIGTERM, as systemctl stop sends it, while one job prints, others wait
// and a raster job streams in: the server ends within the time systemctl
// gives it, and ends as a program does, not by a fault.
TEST_F(AppLoadTest, StopsOnSigtermWithJobsInFlight) {
  AddPrinter("label", "tspl-4in-203");
  AddPrinter("receipt", "escpos-58mm");
  const tavel::ModelMedia* media = tavel::FindModel("tspl-4in-203")->Media("4x6.Fullbleed");
  const std::string longPdf = dir_ + "/stop-long.pdf";
  std::string err;
  ASSERT_TRUE(MakePdf(longPdf, media->widthPt, media->lengthPt, Drawing(media->lengthPt, 60),
                      err))
      << err;
  const LoadOutcome first = load_->Send({"label", longPdf, "application/pdf", "stop-long", {}});
  ASSERT_TRUE(first.Accepted()) << first.message;
  for (int i = 0; i < 6; ++i)
    ASSERT_TRUE(load_->Send(Job("label", "tspl-4in-203", i % 2 ? 2 : 0,
                                "stop-" + std::to_string(i)))
                    .Accepted());
  std::thread streaming([&] {
    std::vector<LoadJob> raster;
    for (int i = 0; i < 20; ++i)
      raster.push_back(Job("receipt", "escpos-58mm", 1, "stream-" + std::to_string(i)));
    load_->Run(raster, 2, kJobSeconds);
  });
  std::string state;
  for (int i = 0; i < 500 && (state = load_->State("label", first.id)) == "pending"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(state, "processing");
  // Only the main loop's thread may take the signal: one taken by another
  // thread left the server asleep in poll() past the stop timeout.
  EXPECT_EQ(ThreadsTakingSigterm(server_.Pid()), 0);

  std::string how;
  const bool ended = TerminateChild(server_.Pid(), kStopSeconds, &how);
  streaming.join();
  EXPECT_TRUE(ended) << how << "; its log ends:" << LogTail();
  if (ended) {
    EXPECT_EQ(how.rfind("exit status", 0), 0u) << how << LogTail();
  }
}

// The full sizes, with TAVEL_SOAK=1 (make soak).
class AppSoak : public AppLoadTest {
 protected:
  void SetUp() override {
    if (!getenv("TAVEL_SOAK")) GTEST_SKIP() << "set TAVEL_SOAK=1 (make soak)";
    AppLoadTest::SetUp();
  }
};

TEST_F(AppSoak, FourPrintersSixteenClients) {
  LoadAndMeasure({{"soak-a", "tspl-4in-203"},
                  {"soak-b", "escpos-58mm"},
                  {"soak-c", "cpcl-4in-203"},
                  {"soak-d", "peripage-384"}},
                 50, 16, kSoakSeconds, true);
}

TEST_F(AppSoak, ThousandJobsOnOnePrinter) {
  LoadAndMeasure({{"soak-one", "tspl-4in-203"}}, 1000, 16, kSoakSeconds, true);
}

}  // namespace
