// The printer application's web interface and server as people meet them:
// forms saved as a browser saves them change only what was changed; Add
// Printer and `devices` without a DNS-SD daemon; a second server on a taken
// port; a restart after the server was killed during a job; job files of a
// file: folder; a job too large to preview. Also the test page's head width.
#include <cups/raster.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "app/Discovery.h"
#include "app/FileDevice.h"
#include "app/JobPreview.h"
#include "app/ModelTable.h"
#include "app/TestPage.h"
#include "app/VendorOptions.h"
#include "support/AppServer.h"
#include "support/BrowserForm.h"
#include "support/CupsChain.h"
#include "support/RasterWriter.h"

namespace {

using tavel::ModelInfo;

std::string AppPath() { return TAVEL_APP_PATH; }

int MediaDots(const ModelInfo& m) {
  return int(m.Media(m.defaultMedia)->widthPt * m.dpi / 72.0 + 0.5);
}

// Attribute name -> value lines of ipptool -v, without those that change
// by themselves (times, counters, job lists).
std::map<std::string, std::string> Settings(const std::string& ipptoolOutput) {
  static const std::regex volatileName(
      "(.*-time|.*-date-time|printer-up-time|queued-job-count|job-.*|printer-state.*|"
      "printer-strings-.*|printer-config-changes|system-.*-time.*|printer-current-time|"
      "printer-impressions-completed.*)");
  std::map<std::string, std::string> all = DisplayedValues(ipptoolOutput), kept;
  for (const auto& v : all)
    if (!std::regex_match(v.first, volatileName)) kept.insert(v);
  return kept;
}

std::set<std::string> Changed(const std::map<std::string, std::string>& before,
                              const std::map<std::string, std::string>& after) {
  std::set<std::string> names;
  for (const auto& v : before)
    if (!after.count(v.first) || after.at(v.first) != v.second) names.insert(v.first);
  for (const auto& v : after)
    if (!before.count(v.first)) names.insert(v.first);
  return names;
}

class WebApp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = MakePrivateDir("appweb");
    ASSERT_TRUE(server_.Start(AppPath(), dir_)) << server_.Log();
    for (const ModelInfo& m : tavel::Models()) {
      std::string why;
      ASSERT_TRUE(server_.AddPrinter(m.driverName, m.driverName, "", &why)) << why;
    }
  }
  static void TearDownTestSuite() {
    server_.Stop();
    if (!failed_ && !getenv("TAVEL_KEEP_E2E")) RemoveTree(dir_);
  }
  void TearDown() override { failed_ = failed_ || HasFailure(); }

  static std::map<std::string, std::string> PrinterSettings(const std::string& printer) {
    const std::string uri = server_.PrinterUri(printer);
    CommandResult r = RunCommand({"ipptool", "-tv", uri, WriteTest(AppServer::Operation(
                                      "Get-Printer-Attributes", "printer-uri", uri) +
                                  "ATTR keyword requested-attributes all\n")},
                                 60);
    // ipptool also fails an answer that has an attribute twice.
    EXPECT_EQ(r.status, 0) << r.Describe() << r.out;
    return Settings(r.out);
  }
  static std::map<std::string, std::string> SystemSettings() {
    const std::string uri = "ipp://localhost:" + std::to_string(server_.Port()) + "/ipp/system";
    CommandResult r = RunCommand({"ipptool", "-tv", uri, WriteTest(AppServer::Operation(
                                      "Get-System-Attributes", "system-uri", uri) +
                                  "ATTR keyword requested-attributes all\n")},
                                 60);
    EXPECT_EQ(r.status, 0) << r.out;
    return Settings(r.out);
  }
  static std::string WriteTest(const std::string& body) {
    const std::string path = dir_ + "/request-" + std::to_string(++requests_) + ".test";
    WriteFile(path, "{\n" + body + "}\n");
    return path;
  }

  // Fetches the page, submits its form with `changes`; the HTTP status.
  static int Submit(const std::string& path, const std::map<std::string, std::string>& changes,
                    BrowserForm* form = nullptr) {
    BrowserForm local;
    if (!form) form = &local;
    const HttpReply page = server_.Get(path);
    if (page.status != 200 || !ParseForm(page.body, path, form)) return 0;
    return server_.Post(path, form->Encoded(changes)).status;
  }

  // The bytes a small job sends to the model's printer.
  static std::string JobBytes(const ModelInfo& m, const std::string& name) {
    const unsigned width = unsigned(MediaDots(m));
    RasterPage page = UniformPage(MakeHeader(width, 120, 8, CUPS_CSPACE_SW, unsigned(m.dpi)), 255);
    for (unsigned y = 20; y < 100; ++y)
      for (unsigned x = 0; x < width; ++x) page.data[y * width + x] = uint8_t(x * 255 / width);
    const std::vector<uint8_t> raster = WriteRaster({page}, CUPS_RASTER_WRITE_PWG);
    const std::string file = dir_ + "/" + name + ".pwg";
    WriteFile(file, std::string(raster.begin(), raster.end()));
    const int id = server_.Print(m.driverName, file, "image/pwg-raster", name, "");
    EXPECT_GT(id, 0);
    EXPECT_EQ(server_.WaitForJob(m.driverName, id), "completed");
    return ReadFile(server_.OutputPath(m.driverName, id, name));
  }

  static std::string dir_;
  static AppServer server_;
  static bool failed_;
  static int requests_;
};

std::string WebApp::dir_;
AppServer WebApp::server_;
bool WebApp::failed_ = false;
int WebApp::requests_ = 0;

// Every page with settings, fetched and saved unchanged: each select shows
// its current value, no printer or system attribute changes, and the next
// job of every model sends the same bytes as before.
TEST_F(WebApp, FormsSavedUnchangedChangeNothing) {
  std::map<std::string, std::map<std::string, std::string>> before;
  std::map<std::string, std::string> bytes;
  for (const ModelInfo& m : tavel::Models()) {
    before[m.driverName] = PrinterSettings(m.driverName);
    bytes[m.driverName] = JobBytes(m, "before");
  }
  const std::map<std::string, std::string> system = SystemSettings();

  std::vector<std::string> pages = {"/config"};
  for (const ModelInfo& m : tavel::Models())
    for (const char* page : {"printing", "media", "config"})
      pages.push_back(std::string("/") + m.driverName + "/" + page);
  for (const std::string& path : pages) {
    SCOPED_TRACE(path);
    BrowserForm form;
    EXPECT_EQ(Submit(path, {}, &form), 200);
    EXPECT_TRUE(form.unselected.empty()) << form.unselected[0] << " shows no current value";
  }

  EXPECT_EQ(Changed(system, SystemSettings()), std::set<std::string>());
  for (const ModelInfo& m : tavel::Models()) {
    SCOPED_TRACE(m.driverName);
    EXPECT_EQ(Changed(before[m.driverName], PrinterSettings(m.driverName)),
              std::set<std::string>());
    EXPECT_EQ(JobBytes(m, "after"), bytes[m.driverName]);
  }
}

// The printing defaults name each vendor option and its values in words.
TEST_F(WebApp, PrintingDefaultsNameTheVendorOptions) {
  for (const char* printer : {"tspl-4in-300", "peripage-384"}) {
    SCOPED_TRACE(printer);
    const HttpReply page = server_.Get(std::string("/") + printer + "/printing");
    ASSERT_EQ(page.status, 200);
    for (const tavel::VendorOption* option : tavel::VendorOptionsFor(*tavel::FindModel(printer))) {
      EXPECT_NE(page.body.find(std::string(">") + option->label), std::string::npos)
          << option->name;
      for (const tavel::VendorWord& w : option->words)
        EXPECT_NE(page.body.find(">" + tavel::VendorWordLabel(w) + "<"), std::string::npos)
            << option->name << "." << w.ipp;
    }
  }
}

// One field changed on a page changes that setting and nothing else; the
// darkness goes back to the printer's own.
TEST_F(WebApp, OneFieldChangedChangesOnlyIt) {
  struct Row {
    const char* printer;  // "" for the system's page
    const char* page;
    std::map<std::string, std::string> changes;
    const char* attribute;
    const char* value;
  };
  const Row rows[] = {
      {"tspl-4in-203", "printing", {{"halftoning", "stucki"}}, "halftoning-default", "stucki"},
      {"tspl-4in-203", "printing", {{"label-mode-configured", "peel-off"}},
       "label-mode-configured", "peel-off"},
      {"peripage-384", "printing", {{"print-darkness", "60"}}, "printer-darkness-configured",
       "60"},
      {"peripage-384", "printing", {{"print-darkness", "own"}}, "printer-darkness-configured",
       "50"},
      {"tspl-2in-203", "printing", {{"print-speed", "5080"}}, "printer-speed-default", "5080"},
      {"escpos-58mm", "config", {{"geo_location_lat", "46.52"}, {"geo_location_lon", "6.63"}},
       "printer-geo-location", "geo:46.52,6.63"},
      {"", "config", {{"location", "Back office"}}, "system-location", "Back office"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.printer) + "/" + r.page + " " + r.attribute);
    auto settings = [&r] { return *r.printer ? PrinterSettings(r.printer) : SystemSettings(); };
    const std::map<std::string, std::string> before = settings();
    const std::string path =
        *r.printer ? std::string("/") + r.printer + "/" + r.page : std::string("/") + r.page;
    ASSERT_EQ(Submit(path, r.changes), 200);
    const std::map<std::string, std::string> after = settings();
    EXPECT_EQ(Changed(before, after), std::set<std::string>({r.attribute}));
    EXPECT_EQ(after.count(r.attribute) ? after.at(r.attribute) : "", r.value);
  }
}

// Without a DNS-SD daemon (none runs here or in CI) the Add Printer page
// answers with what can be found and says network discovery is off, the
// server stays up and a printer is added through it; `devices` too.
TEST_F(WebApp, AddPrinterWithoutDnssdDaemon) {
  const bool daemon = tavel::DnssdDaemonRunning();
  const HttpReply page = server_.Get("/addprinter");
  ASSERT_EQ(page.status, 200) << server_.Log();
  EXPECT_EQ(page.body.find(tavel::kNetworkDiscoveryOff) != std::string::npos, !daemon);
  BrowserForm form;
  ASSERT_TRUE(ParseForm(page.body, "/addprinter", &form));
  const std::string out = dir_ + "/out/added";
  RunCommand({"mkdir", "-p", out}, 10);
  const HttpReply added = server_.Post(
      "/addprinter", form.Encoded({{"printer_name", "added"},
                                   {"driver_name", "escpos-58mm"},
                                   {"device_uri_text", "file://" + out}}));
  EXPECT_EQ(added.status, 302) << added.body;
  EXPECT_EQ(PrinterSettings("added")["printer-make-and-model"],
            "Tavelpress ESC/POS 58mm receipt printer");

  CommandResult devices = RunCommand({server_.ProgramLink(), "devices"}, 60);
  EXPECT_EQ(devices.status, 0) << devices.Describe();
  EXPECT_EQ(devices.err.find(tavel::kNetworkDiscoveryOff) != std::string::npos, !daemon);
}

// A second server asked for the port the first one holds ends with status
// 1 and says why, leaving the first one's state file alone.
TEST_F(WebApp, SecondServerOnATakenPortEnds) {
  // PAPPL writes its state file some seconds after a change (later still on
  // a slow or emulated machine), in place: the printers added must be in
  // it, and the file must have stopped changing (not be read mid-write).
  const std::string last = tavel::Models().back().driverName;
  std::string state = ReadFile(dir_ + "/state");
  for (int i = 0; i < 600; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string now = ReadFile(dir_ + "/state");
    if (now == state && now.find(last) != std::string::npos) break;
    state = now;
  }
  ASSERT_NE(state.find(last), std::string::npos) << server_.Log();
  const std::string link = dir_ + "/tavelpress-busy-" + std::to_string(getpid());
  ASSERT_EQ(symlink(AppPath().c_str(), link.c_str()), 0);
  const std::string port = std::to_string(server_.Port());
  CommandResult second = RunCommand({link, "server", "-o", "server-port=" + port, "-o",
                                     "state-file=" + dir_ + "/state", "-o",
                                     "spool-directory=" + dir_ + "/spool2"},
                                    60);
  EXPECT_EQ(second.status, 1) << second.Describe();
  EXPECT_NE(second.err.find("Unable to listen on 127.0.0.1 port " + port), std::string::npos)
      << second.err;
  EXPECT_EQ(ReadFile(dir_ + "/state"), state);
  EXPECT_EQ(server_.Get("/").status, 200);
}

// Two jobs of one name on a folder keep a file each, named by the job id;
// names are made safe for a file name.
TEST_F(WebApp, JobFilesOfAFolderAreNeverOverwritten) {
  const ModelInfo& m = *tavel::FindModel("tspl-2in-203");
  const std::string first = JobBytes(m, "twice");
  const std::string second = JobBytes(m, "twice");
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(first, second);
  size_t files = 0;
  for (int id = 1; id < 20; ++id)
    files += ReadFile(server_.OutputPath(m.driverName, id, "twice")).empty() ? 0 : 1;
  EXPECT_EQ(files, 2u);

  const std::string longName(300, 'x');
  struct Row {
    int id;
    std::string name, file;
  } rows[] = {{7, "label", "7-label.prn"},
              {8, "../up/and away", "8-.._up_and away.prn"},
              {9, "", "9-job.prn"},
              {10, "\xc3\xa9t\xc3\xa9", "10-__t__.prn"},
              {11, longName, "11-" + longName.substr(0, tavel::kMaxJobFileName) + ".prn"}};
  for (const Row& r : rows)
    EXPECT_EQ(tavel::JobFileName(r.id, r.name.c_str()), r.file) << r.name;
}

// Killed while a job prints, the server comes back with that job once:
// each of its attributes once (PAPPL would add job-id, job-uri, ... again).
TEST(AppRestart, JobOfAKilledServerIsListedOnce) {
  const std::string dir = MakePrivateDir("apprestart");
  AppServer server;
  ASSERT_TRUE(server.Start(AppPath(), dir)) << server.Log();
  int master = -1, slave = -1;
  char name[128] = {0};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  std::string why;
  // Nobody reads the port: the job stays in the middle of printing.
  ASSERT_TRUE(server.AddPrinter("stuck", "escpos-58mm", std::string("serial://") + name, &why))
      << why;
  std::vector<RasterPage> pages;
  for (int i = 0; i < 4; ++i)
    pages.push_back(UniformPage(MakeHeader(384, 2000, 8, CUPS_CSPACE_SW, 203), uint8_t(60 * i)));
  const std::vector<uint8_t> raster = WriteRaster(pages, CUPS_RASTER_WRITE_PWG);
  WriteFile(dir + "/stuck.pwg", std::string(raster.begin(), raster.end()));
  std::thread job(
      [&] { server.Print("stuck", dir + "/stuck.pwg", "image/pwg-raster", "stuck", ""); });
  int active = 0;
  for (int i = 0; i < 200 && active == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    active = server.ActiveJob("stuck");
  }
  ASSERT_GT(active, 0) << server.Log();
  // PAPPL writes its state file some seconds after a change: the printer
  // must be in it before the kill, or the restart has no printer to list.
  for (int i = 0; i < 600 && ReadFile(dir + "/state").find("stuck") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_NE(ReadFile(dir + "/state").find("stuck"), std::string::npos) << server.Log();
  server.Kill();
  job.join();
  close(master);
  close(slave);

  ASSERT_TRUE(server.Start(AppPath(), dir)) << server.Log();
  const std::string uri = server.PrinterUri("stuck");
  CommandResult r = server.Ipp(uri, AppServer::Operation("Get-Jobs", "printer-uri", uri) +
                                        "ATTR keyword which-jobs all\n"
                                        "ATTR keyword requested-attributes all\n"
                                        "STATUS successful-ok\n");
  EXPECT_EQ(r.status, 0) << r.out;  // ipptool fails a response with an attribute twice
  EXPECT_EQ(r.out.find("Duplicate"), std::string::npos) << r.out;
  server.Stop();
  if (!::testing::Test::HasFailure() && !getenv("TAVEL_KEEP_E2E")) RemoveTree(dir);
}

// A job whose stream is over what previews keep is named on the Previews
// page with the reason, not left out.
TEST_F(WebApp, JobTooLargeToPreviewIsNamed) {
  const ModelInfo& m = *tavel::FindModel("tspl-4in-300");
  // Black 4 x 6 in labels at 300 dpi: 150 bytes a row, 270 kB a label, so
  // 130 of them are over the 32 MiB a preview keeps. One row is written
  // over and over: PWG raster keeps each page small.
  const unsigned width = 1200, height = 1800, pages = 130;
  const std::string file = dir_ + "/large.pwg";
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  cups_page_header2_t header = MakeHeader(width, height, 8, CUPS_CSPACE_SW, unsigned(m.dpi));
  std::vector<unsigned char> row(width, 0);
  for (unsigned p = 0; p < pages; ++p) {
    ASSERT_TRUE(cupsRasterWriteHeader2(ras, &header));
    for (unsigned y = 0; y < height; ++y)
      ASSERT_EQ(cupsRasterWritePixels(ras, row.data(), width), width);
  }
  cupsRasterClose(ras);
  close(fd);
  const int id = server_.Print(m.driverName, file, "image/pwg-raster", "large", "");
  ASSERT_GT(id, 0);
  ASSERT_EQ(server_.WaitForJob(m.driverName, id), "completed");
  EXPECT_GT(ReadFile(server_.OutputPath(m.driverName, id, "large")).size(), size_t(32) << 20);
  const HttpReply page = server_.Get(std::string("/") + m.driverName + "/previews");
  ASSERT_EQ(page.status, 200);
  const size_t job = page.body.find("id=\"job-" + std::to_string(id) + "\"");
  ASSERT_NE(job, std::string::npos);
  EXPECT_NE(page.body.find(tavel::kStreamTooLarge, job), std::string::npos);
}

// The test page gives the head's dots per line, not the widest paper's.
TEST(AppTestPage, GivesTheHeadsDots) {
  const std::map<std::string, int> heads = {
      {"tspl-2in-203", 432}, {"tspl-4in-203", 832}, {"tspl-4in-300", 1248},
      {"escpos-58mm", 384},  {"escpos-80mm", 576},  {"cpcl-4in-203", 832},
      {"paperang-384", 384}, {"peripage-384", 384}};
  for (const ModelInfo& m : tavel::Models()) {
    EXPECT_EQ(tavel::HeadDots(m), heads.at(m.driverName)) << m.driverName;
    EXPECT_GE(tavel::HeadDots(m), MediaDots(m)) << m.driverName;
  }
}

}  // namespace
