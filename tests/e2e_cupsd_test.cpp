// Printing through a real scheduler: a private cupsd (its own folders,
// listening on a loopback port only) gets queues made with lpadmin from the
// generated PPDs and file: devices; lp sends documents, and the files the
// scheduler wrote are decoded and checked.
#include <gtest/gtest.h>

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "support/AppServer.h"
#include "support/CupsChain.h"
#include "support/FamilyStream.h"
#include "support/SanitizerReport.h"

namespace {

double Pt(double mm) { return mm * 72.0 / 25.4; }
int Dots(double mm, int dpi) { return int(mm * dpi / 25.4); }

// A 20 x 10 mm box, 8 mm from the left and 5 mm from the top.
std::string BoxBody(double hPt) {
  return "0 setgray " + std::to_string(Pt(8)) + " " + std::to_string(hPt - Pt(15)) + " " +
         std::to_string(Pt(20)) + " " + std::to_string(Pt(10)) + " rectfill showpage";
}

::testing::AssertionResult BoxIsAt(const GrayImage& page, int dpi) {
  Rect want{Dots(8, dpi), Dots(5, dpi), Dots(28, dpi), Dots(15, dpi)};
  Rect got = InkBox(page);
  if (std::abs(got.left - want.left) <= 2 && std::abs(got.top - want.top) <= 2 &&
      std::abs(got.right - want.right) <= 2 && std::abs(got.bottom - want.bottom) <= 2)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "ink at " << ToString(got) << ", expected about "
                                       << ToString(want);
}

class PrivateScheduler : public ::testing::Test {
 protected:
  std::string dir_;
  int pid_ = -1;
  int port_ = 0;

  void SetUp() override {
    for (const char* tool : {"cupsd", "lpadmin", "lp", "lpstat", "gs"})
      ASSERT_FALSE(FindProgram(tool).empty()) << tool << " is not installed";
    ASSERT_EQ(access(DecoderProgram().c_str(), X_OK), 0) << DecoderProgram() << " is not built";
    dir_ = MakePrivateDir("cupsd");
    ASSERT_FALSE(dir_.empty());

    // The scheduler refuses to run filters as root and drops to lp; the
    // folders that lp writes to belong to it.
    bool root = geteuid() == 0;
    struct passwd* lp = root ? getpwnam("lp") : nullptr;
    ASSERT_TRUE(!root || lp) << "running as root, but there is no user lp for the filters";
    for (const char* sub : {"conf", "bin", "out", "spool", "spool/tmp", "cache", "state", "log"})
      ASSERT_EQ(mkdir((dir_ + "/" + sub).c_str(), 0755), 0) << sub;
    if (root) {
      for (const char* sub : {"spool", "spool/tmp", "cache", "state", "log"})
        ASSERT_EQ(chown((dir_ + "/" + sub).c_str(), 0, lp->pw_gid), 0);
    }
    chmod((dir_ + "/spool").c_str(), 0710);
    chmod((dir_ + "/spool/tmp").c_str(), 01770);
    chmod((dir_ + "/cache").c_str(), 0770);
    ASSERT_TRUE(CopyFile(TAVEL_FILTER_PATH, dir_ + "/bin/rastertotavelpress", 0755));

    std::string files = "ServerRoot " + dir_ + "/conf\n" +
                        "RequestRoot " + dir_ + "/spool\n" +
                        "TempDir " + dir_ + "/spool/tmp\n" +
                        "CacheDir " + dir_ + "/cache\n" +
                        "StateDir " + dir_ + "/state\n" +
                        "AccessLog " + dir_ + "/log/access_log\n" +
                        "ErrorLog " + dir_ + "/log/error_log\n" +
                        "PageLog " + dir_ + "/log/page_log\n" +
                        "Printcap " + dir_ + "/state/printcap\n" +
                        "FileDevice Yes\n"
                        // Sanitizer options set for the tests reach the filter.
                        "PassEnv ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS\n";
    if (root) {
      files += "User lp\nGroup " + std::string(getgrgid(lp->pw_gid)->gr_name) + "\nSystemGroup root\n";
    } else {
      struct group* g = getgrgid(getgid());
      ASSERT_NE(g, nullptr);
      files += std::string("SystemGroup ") + g->gr_name + "\n";
    }
    ASSERT_TRUE(WriteFile(dir_ + "/conf/cups-files.conf", files));

    for (int attempt = 0; attempt < 3 && pid_ < 0; ++attempt) {
      port_ = FreeLoopbackPort();
      ASSERT_NE(port_, 0);
      // Nobody but this test talks to it, so no policy asks for a password.
      std::string conf = "Listen 127.0.0.1:" + std::to_string(port_) +
                         "\nLogLevel debug\nBrowsing No\nWebInterface No\n"
                         "DefaultEncryption Never\nMaxJobs 0\n"
                         "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                         "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n"
                         "</Policy>\n";
      ASSERT_TRUE(WriteFile(dir_ + "/conf/cupsd.conf", conf));
      pid_ = StartProcess({"cupsd", "-f", "-c", dir_ + "/conf/cupsd.conf", "-s",
                           dir_ + "/conf/cups-files.conf"},
                          dir_ + "/log/cupsd.out");
      ASSERT_GT(pid_, 0);
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (!LoopbackPortOpen(port_) && ProcessRunning(pid_) &&
             std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (!LoopbackPortOpen(port_)) {  // port taken meanwhile, or no start
        StopProcess(pid_, 5);
        pid_ = -1;
      }
    }
    ASSERT_GT(pid_, 0) << "cupsd did not start:\n" << Logs();
  }

  void TearDown() override {
    StopProcess(pid_, 10);
    // The filter's standard error lands in the scheduler's log, which the
    // polling at debug level rotates once in a while.
    ExpectNoSanitizerReport(ReadFile(dir_ + "/log/error_log.O") + ReadFile(dir_ + "/log/error_log"),
                            "filter under cupsd");
    if (!getenv("TAVEL_KEEP_E2E")) RemoveTree(dir_);
  }

  std::string Logs() const {
    std::string log = ReadFile(dir_ + "/log/error_log");
    if (log.size() > 6000) log = log.substr(log.size() - 6000);
    return ReadFile(dir_ + "/log/cupsd.out") + log;
  }

  CommandResult Cups(const std::vector<std::string>& argv) {
    return RunCommand(argv, 60, "", {"CUPS_SERVER=127.0.0.1:" + std::to_string(port_)});
  }

  // A queue for the generated PPD, writing to a file of its own. This CUPS
  // makes the file itself; newer ones want it to be there already.
  std::string AddQueue(const std::string& name, const std::string& ppdName) {
    std::string ppd = PpdWithFilter(ppdName, dir_ + "/bin", dir_ + "/bin/rastertotavelpress");
    EXPECT_FALSE(ppd.empty()) << ppdName;
    std::string out = dir_ + "/out/" + name + ".prn";
    EXPECT_TRUE(WriteFile(out, "", 0664));
    if (geteuid() == 0) {
      struct passwd* lp = getpwnam("lp");
      EXPECT_EQ(chown(out.c_str(), lp->pw_uid, lp->pw_gid), 0);
    }
    CommandResult r = Cups({"lpadmin", "-p", name, "-E", "-v", "file://" + out, "-P", ppd});
    EXPECT_EQ(r.status, 0) << r.Describe() << Logs();
    return out;
  }

#ifdef TAVEL_APP_PATH
  // The printer application in `appDir`, with a TSPL printer "label" on a
  // file: device.
  void StartApp(const std::string& appDir, AppServer* app) {
    ASSERT_EQ(mkdir(appDir.c_str(), 0755), 0);
    ASSERT_TRUE(app->Start(TAVEL_APP_PATH, appDir)) << app->Log();
    std::string why;
    ASSERT_TRUE(app->AddPrinter("label", "tspl-4in-203", "", &why)) << why;
  }
#endif

  // Sends the document; returns the job id ("queue-N") or "".
  std::string Submit(const std::string& queue, const std::string& document,
                     const std::vector<std::string>& lpArgs) {
    std::vector<std::string> argv = {"lp", "-d", queue};
    argv.insert(argv.end(), lpArgs.begin(), lpArgs.end());
    argv.push_back(document);
    CommandResult r = Cups(argv);
    EXPECT_EQ(r.status, 0) << r.Describe();
    const std::string key = "request id is ";
    size_t at = r.out.find(key);
    if (at == std::string::npos) return "";
    at += key.size();
    return r.out.substr(at, r.out.find(' ', at) - at);
  }

  // Waits until the scheduler reports the job completed; fails early when
  // the queue stops (a filter failed) or the scheduler goes away.
  ::testing::AssertionResult WaitForJob(const std::string& queue, const std::string& job,
                                        double seconds) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(int64_t(seconds * 1000));
    while (std::chrono::steady_clock::now() < deadline) {
      if (!ProcessRunning(pid_)) return ::testing::AssertionFailure() << "cupsd ended\n" << Logs();
      CommandResult done = Cups({"lpstat", "-W", "completed", "-o", queue});
      if (done.out.find(job + " ") != std::string::npos) return ::testing::AssertionSuccess();
      CommandResult state = Cups({"lpstat", "-p", queue});
      if (state.out.find("disabled") != std::string::npos)
        return ::testing::AssertionFailure() << "queue stopped: " << state.out << Logs();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return ::testing::AssertionFailure() << "job " << job << " not done after " << seconds
                                         << " s\n" << Logs();
  }
};

TEST_F(PrivateScheduler, PrintsLabelsAndReceiptsThroughQueues) {
  std::string err;
  std::string pdf = dir_ + "/label.pdf", png = dir_ + "/receipt.png";
  ASSERT_TRUE(MakePdf(pdf, 288, 432, BoxBody(432), err)) << err;
  ASSERT_TRUE(MakePng(png, 136.2, 283.46, 203, BoxBody(283.46), err)) << err;

  std::string labelOut = AddQueue("label", "tavelpress-tspl-4in-203.ppd");
  std::string receiptOut = AddQueue("receipt", "tavelpress-escpos-58mm.ppd");

  std::string labelJob = Submit("label", pdf, {"-n", "2", "-o", "Darkness=10"});
  std::string receiptJob = Submit("receipt", png, {"-o", "MoneyBox=AfterPrint"});
  ASSERT_FALSE(labelJob.empty());
  ASSERT_FALSE(receiptJob.empty());
  ASSERT_TRUE(WaitForJob("label", labelJob, 90));
  ASSERT_TRUE(WaitForJob("receipt", receiptJob, 90));

  // Two copies of the 4 x 6 in label (812 x 1218 dots at 203 dpi, rows
  // padded to 832 dots), each with the darkness the job asked for.
  Decoded label = DecodeStream("tspl", labelOut, dir_ + "/out/label");
  ASSERT_TRUE(label.ok) << label.err;
  ASSERT_EQ(label.pages.size(), 2u) << label.listing;
  std::string labelBytes = ReadFile(labelOut);
  EXPECT_EQ(CountBytes(labelBytes, "\r\nDENSITY 10\r\n"), 2u);
  for (const GrayImage& page : label.pages) {
    EXPECT_EQ(page.width, 832);
    EXPECT_EQ(page.height, 1218);
    EXPECT_TRUE(BoxIsAt(page, 203));
  }

  // One receipt, 384 dots wide, with the drawer opened after it.
  Decoded receipt = DecodeStream("escpos", receiptOut, dir_ + "/out/receipt");
  ASSERT_TRUE(receipt.ok) << receipt.err;
  ASSERT_EQ(receipt.pages.size(), 1u) << receipt.listing;
  EXPECT_EQ(receipt.pages[0].width, 384);
  EXPECT_NEAR(receipt.pages[0].height, 799, 1);
  EXPECT_TRUE(BoxIsAt(receipt.pages[0], 203));
  std::string receiptBytes = ReadFile(receiptOut);
  ASSERT_GE(receiptBytes.size(), 5u);
  EXPECT_EQ(receiptBytes.substr(receiptBytes.size() - 5), std::string("\x1bp\x00\x80\x80", 5));

  // The scheduler counted the pages the filter reported.
  std::string pages = ReadFile(dir_ + "/log/page_log");
  EXPECT_NE(pages.find("label"), std::string::npos) << pages;
}

#ifdef TAVEL_APP_PATH
// The .prn file an application printer on a file: device wrote for its one
// job ("" when none came in about ten seconds).
std::string PrintedFile(const std::string& outDir) {
  for (int i = 0; i < 100; ++i) {
    if (DIR* d = opendir(outDir.c_str())) {
      std::string found;
      while (struct dirent* e = readdir(d))
        if (std::string(e->d_name).find(".prn") != std::string::npos)
          found = outDir + "/" + e->d_name;
      closedir(d);
      if (!found.empty()) return found;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return "";
}

// The PPD's *DefaultPageSize, when the PPD has a *PageSize of that name.
std::string OfferedDefaultSize(const std::string& ppd) {
  const std::string key = "*DefaultPageSize: ";
  const size_t at = ppd.find(key);
  if (at == std::string::npos) return "";
  const size_t start = at + key.size();
  const std::string name = ppd.substr(start, ppd.find_first_of("\r\n", start) - start);
  return ppd.find("\n*PageSize " + name + ":") != std::string::npos ? name : "";
}

// Driverless queues (lpadmin -m everywhere) on the printer application: the
// scheduler asks the application what it can do, makes a PPD of it, turns
// the documents into raster and sends them over IPP with the queue's
// default media, which is the printer's ready media; the application
// prints them with its darkness and content settings on file: devices.
TEST_F(PrivateScheduler, PrintsThroughThePrinterApplication) {
  const std::string appDir = dir_ + "/app";
  AppServer app;
  ASSERT_NO_FATAL_FAILURE(StartApp(appDir, &app));
  std::string why;
  ASSERT_TRUE(app.AddPrinter("receipt", "escpos-80mm", "", &why)) << why;
  // This scheduler's driverless queues pass the media but not darkness or
  // content options; those are the application printer's defaults.
  CommandResult set = app.Ipp(app.PrinterUri("label"),
                              AppServer::Operation("Set-Printer-Attributes", "printer-uri",
                                                   app.PrinterUri("label")) +
                                  "GROUP printer-attributes-tag\n"
                                  "ATTR integer printer-darkness-configured 70\n"
                                  "ATTR keyword print-content-optimize-default text\n"
                                  "STATUS successful-ok");
  ASSERT_EQ(set.status, 0) << set.Describe() << set.out;

  // The sizes CUPS names the ready media: 4 x 6 in and the 80 mm roll,
  // 150 mm long.
  const struct {
    const char* queue;
    const char* printer;
    const char* size;
  } queues[] = {{"driverless", "label", "4x6"}, {"driverless-receipt", "receipt", "72.08x150mm"}};
  for (const auto& q : queues) {
    CommandResult r = Cups({"lpadmin", "-p", q.queue, "-E", "-v", app.PrinterUri(q.printer),
                            "-m", "everywhere"});
    ASSERT_EQ(r.status, 0) << r.Describe() << Logs();
  }

  std::string err;
  const std::string pdf = dir_ + "/label.pdf", text = dir_ + "/receipt.txt";
  ASSERT_TRUE(MakePdf(pdf, 288, 432, BoxBody(432), err)) << err;
  ASSERT_TRUE(WriteFile(text, "Coffee      2.50\nCake        3.20\nTotal       5.70\n"));
  const std::string labelJob = Submit("driverless", pdf, {});
  ASSERT_FALSE(labelJob.empty());
  ASSERT_TRUE(WaitForJob("driverless", labelJob, 120)) << app.Log();
  const std::string receiptJob = Submit("driverless-receipt", text, {});
  ASSERT_FALSE(receiptJob.empty());
  ASSERT_TRUE(WaitForJob("driverless-receipt", receiptJob, 120)) << app.Log();

  // By now the scheduler has written the PPDs it made.
  for (const auto& q : queues)
    EXPECT_EQ(OfferedDefaultSize(ReadFile(dir_ + "/conf/ppd/" + q.queue + ".ppd")), q.size)
        << q.queue;

  const std::string printed = PrintedFile(appDir + "/out/label");
  const std::string printedReceipt = PrintedFile(appDir + "/out/receipt");
  ASSERT_FALSE(printed.empty()) << app.Log();
  ASSERT_FALSE(printedReceipt.empty()) << app.Log();
  ASSERT_EQ(app.WaitForJob("label", 1), "completed") << app.Log();
  ASSERT_EQ(app.WaitForJob("receipt", 1), "completed") << app.Log();
  app.Stop();

  // The 4 x 6 in label at 203 dpi (rows padded to 832 dots) with the box
  // where the document has it, at darkness 70 % of 15 = level 11.
  Decoded label = DecodeStream("tspl", printed, dir_ + "/out/driverless");
  ASSERT_TRUE(label.ok) << label.err;
  ASSERT_EQ(label.pages.size(), 1u) << label.listing;
  EXPECT_EQ(label.pages[0].width, 832);
  EXPECT_EQ(label.pages[0].height, 1218);
  EXPECT_TRUE(BoxIsAt(label.pages[0], 203));
  EXPECT_EQ(CountBytes(ReadFile(printed), "\r\nDENSITY 11\r\n"), 1u);

  // The receipt on the 80 mm roll (576 dots) and 150 mm long, not Letter.
  Decoded receipt = DecodeStream("escpos", printedReceipt, dir_ + "/out/driverless-receipt");
  ASSERT_TRUE(receipt.ok) << receipt.err;
  ASSERT_EQ(receipt.pages.size(), 1u) << receipt.listing;
  EXPECT_EQ(receipt.pages[0].width, 576);
  EXPECT_NEAR(receipt.pages[0].height, Dots(150, 203), 2);
  EXPECT_FALSE(InkBox(receipt.pages[0]).Empty());
}

// A label program's TSPL through the scheduler untouched: a raw queue
// (lpadmin -m raw) and a driverless queue's raw option (lp -o raw) both
// reach the application, which checks the stream and prints it as sent.
TEST_F(PrivateScheduler, RawJobsReachThePrinterApplication) {
  const std::string appDir = dir_ + "/app";
  AppServer app;
  ASSERT_NO_FATAL_FAILURE(StartApp(appDir, &app));
  CommandResult r = Cups({"lpadmin", "-p", "raw", "-E", "-v", app.PrinterUri("label"), "-m", "raw"});
  ASSERT_EQ(r.status, 0) << r.Describe() << Logs();
  r = Cups({"lpadmin", "-p", "driverless", "-E", "-v", app.PrinterUri("label"), "-m", "everywhere"});
  ASSERT_EQ(r.status, 0) << r.Describe() << Logs();

  const std::vector<uint8_t> stream = FamilyStream(tavel::Family::kTspl, 1);
  const std::string label(stream.begin(), stream.end());
  const std::string file = dir_ + "/label.tspl";
  ASSERT_TRUE(WriteFile(file, label));
  const std::string rawJob = Submit("raw", file, {});
  ASSERT_FALSE(rawJob.empty());
  ASSERT_TRUE(WaitForJob("raw", rawJob, 120)) << app.Log();
  const std::string optionJob = Submit("driverless", file, {"-o", "raw"});
  ASSERT_FALSE(optionJob.empty());
  ASSERT_TRUE(WaitForJob("driverless", optionJob, 120)) << app.Log();
  for (int job : {1, 2}) {
    ASSERT_EQ(app.WaitForJob("label", job), "completed") << app.Log();
    EXPECT_EQ(ReadFile(app.OutputPath("label", job, "label.tspl")), label) << job << app.Log();
  }
  app.Stop();
}
#endif

}  // namespace
