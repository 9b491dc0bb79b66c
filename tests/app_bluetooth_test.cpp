// Bluetooth pocket printers: which device names are ours, the bluetooth://
// URI, the paired printers found through a mock BlueZ on a private bus, and
// pages printed over the RFCOMM link, which a preloaded shim
// (preload/RfcommPty.c) turns into the virtual printer's pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/un.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bluetooth/bluetooth.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/BluetoothDevice.h"
#include "app/BluetoothDiscovery.h"
#include "app/FileDevice.h"
#include "app/ModelTable.h"
#include "support/AppServer.h"
#include "support/BrowserForm.h"
#include "support/CupsChain.h"
#include "support/MockBluez.h"
#include "support/RasterWriter.h"

#ifndef TAVEL_SIM_PATH
#define TAVEL_SIM_PATH ""
#endif

namespace {

using tavel::Family;

const char kSpp[] = "00001101-0000-1000-8000-00805f9b34fb";
const char kAudioSink[] = "0000110b-0000-1000-8000-00805f9b34fb";

void KeepError(const char* message, void* data) { *static_cast<std::string*>(data) = message; }

TEST(BluetoothNames, FamilyByName) {
  const std::optional<Family> none;
  struct Row {
    const char* name;
    std::vector<std::string> uuids;
    std::optional<Family> family;
  } rows[] = {
      {"Paperang", {}, Family::kPaperang},
      {"MiaoMiaoJi", {kSpp}, Family::kPaperang},
      {"Paperang_P1", {}, Family::kPaperang},
      {"paperang_p2", {}, Family::kPaperang},
      {" PAPERANG_P2S\t", {}, Family::kPaperang},
      {"PeriPage+DF7A", {kSpp}, Family::kPeriPage},
      {"peripage_55a1 ", {kAudioSink, "00001101-0000-1000-8000-00805F9B34FB"}, Family::kPeriPage},
      // Look-alikes and other devices.
      {"Paperangxyz", {}, none},
      {"Paperang P2", {}, none},
      {"PeriPage", {}, none},
      {"PeriPage_55A", {}, none},
      {"PeriPage_55AG", {}, none},
      {"PeriPage-55A1", {}, none},
      {"WH-1000XM4", {kSpp}, none},
      {"", {kSpp}, none},
      // Known, but without a serial port (an LE pairing): not over RFCOMM.
      {"Paperang_P2", {kAudioSink}, none},
  };
  for (const Row& r : rows) EXPECT_EQ(tavel::BluetoothFamily(r.name, r.uuids), r.family) << r.name;
  EXPECT_EQ(tavel::BluetoothFamily(std::string(300, 'a'), {}), none);
}

TEST(BluetoothUri, Parsing) {
  struct Row {
    std::string uri;
    bool ok;
    const char* address;
    int channel;
    size_t chunk;
    int pauseMs;
  } rows[] = {
      {"bluetooth://AA-BB-CC-DD-EE-FF", true, "AA:BB:CC:DD:EE:FF", 1, 128, 20},
      {"bluetooth://0a-bb-cc-dd-ee-0f/?channel=30&chunk=48&pause=10", true, "0A:BB:CC:DD:EE:0F",
       30, 48, 10},
      {"bluetooth://AA-BB-CC-DD-EE-FF?chunk=0&pause=99999&channel=1", true, "AA:BB:CC:DD:EE:FF", 1,
       1, 10000},
      {"bluetooth://AA-BB-CC-DD-EE-FF?chunk=999999&pause=-5", true, "AA:BB:CC:DD:EE:FF", 1, 65536,
       0},
      {"bluetooth://AA-BB-CC-DD-EE-FF?chunk=x&pause=", true, "AA:BB:CC:DD:EE:FF", 1, 128, 20},
      {"bluetooth://AA-BB-CC-DD-EE-FF?channel=0", false, "", 0, 0, 0},
      {"bluetooth://AA-BB-CC-DD-EE-FF?channel=31", false, "", 0, 0, 0},
      {"bluetooth://AA-BB-CC-DD-EE-FF?channel=1x", false, "", 0, 0, 0},
      {"bluetooth://AA-BB-CC-DD-EE-FF?channel=", false, "", 0, 0, 0},
      {"bluetooth://AA:BB:CC:DD:EE:FF", false, "", 0, 0, 0},
      {"bluetooth://AA-BB-CC:DD-EE-FF", false, "", 0, 0, 0},
      {"bluetooth://AA-BB-CC-DD-EE", false, "", 0, 0, 0},
      {"bluetooth://AA-BB-CC-DD-EE-FF-00", false, "", 0, 0, 0},
      {"bluetooth://GA-BB-CC-DD-EE-FF", false, "", 0, 0, 0},
      {"bluetooth://AABBCCDDEEFF", false, "", 0, 0, 0},
      {"bluetooth://", false, "", 0, 0, 0},
      {"serial://AA-BB-CC-DD-EE-FF", false, "", 0, 0, 0},
      {"bluetooth://AA-BB-CC-DD-EE-FF?x=" + std::string(1100, 'y'), false, "", 0, 0, 0},
  };
  tavel::AddDeviceSchemes();
  for (const Row& r : rows) {
    SCOPED_TRACE(r.uri);
    tavel::BluetoothSettings s;
    ASSERT_EQ(tavel::ParseBluetoothUri(r.uri.c_str(), &s), r.ok);
    std::string why;
    EXPECT_EQ(tavel::DeviceUriAllowed(r.uri.c_str(), &why),
              r.ok || r.uri.compare(0, 10, "bluetooth:") != 0);
    if (!r.ok) continue;
    EXPECT_EQ(s.address, r.address);
    EXPECT_EQ(s.channel, r.channel);
    EXPECT_EQ(s.chunk, r.chunk);
    EXPECT_EQ(s.pauseMs, r.pauseMs);
  }
  tavel::BluetoothSettings s;
  ASSERT_TRUE(tavel::ParseBluetoothUri("bluetooth://01-23-45-67-89-AB", &s));
  EXPECT_EQ(s.bytes, (std::array<uint8_t, 6>{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB}));
  std::string error;
  EXPECT_EQ(papplDeviceOpen("bluetooth://AA:BB:CC:DD:EE:FF", "t", KeepError, &error), nullptr);
}

TEST(BluetoothUri, ListingCarriesTheFamilysPacing) {
  tavel::BluetoothListing l;
  ASSERT_TRUE(tavel::ListingOf({"11:22:33:44:55:6a", "PeriPage_556A", Family::kPeriPage}, &l));
  EXPECT_EQ(l.uri, "bluetooth://11-22-33-44-55-6A?channel=1&chunk=48&pause=10");
  EXPECT_EQ(l.info, "Bluetooth printer PeriPage_556A (11:22:33:44:55:6A)");
  EXPECT_EQ(l.id, "MFG:PeriPage;MDL:PeriPage_556A;CLS:PRINTER;");
  ASSERT_TRUE(tavel::ListingOf({"AA:BB:CC:DD:EE:01", "Pa;per:ang", Family::kPaperang}, &l));
  EXPECT_EQ(l.uri, "bluetooth://AA-BB-CC-DD-EE-01?channel=1&chunk=2016&pause=0");
  EXPECT_EQ(l.id, "MFG:Paperang;MDL:Pa_per_ang;CLS:PRINTER;");
  EXPECT_FALSE(tavel::ListingOf({"AA-BB-CC-DD-EE-01", "Paperang", Family::kPaperang}, &l));
  EXPECT_FALSE(tavel::ListingOf({"AA:BB:CC:DD:EE:01", "X", Family::kTspl}, &l));
}

// Where this machine has no Bluetooth (most test machines), the device
// says so, and its writes fail with that.
TEST(BluetoothUri, NoBluetoothHere) {
  const int fd = socket(AF_BLUETOOTH, SOCK_STREAM, BTPROTO_RFCOMM);
  if (fd >= 0) close(fd);
  if (fd >= 0 || errno != EAFNOSUPPORT) GTEST_SKIP() << "this machine has Bluetooth sockets";
  tavel::AddDeviceSchemes();
  std::string error;
  pappl_device_t* device =
      papplDeviceOpen("bluetooth://AA-BB-CC-DD-EE-FF", "t", KeepError, &error);
  ASSERT_NE(device, nullptr) << error;
  EXPECT_NE(error.find("There is no Bluetooth on this machine"), std::string::npos) << error;
  error.clear();
  papplDeviceWrite(device, "x", 1);
  papplDeviceFlush(device);
  EXPECT_NE(error.find("There is no Bluetooth on this machine"), std::string::npos) << error;
  papplDeviceClose(device);
}

// The devices of the mock BlueZ; `listed` are those the application offers.
struct MockDevice {
  const char* address;
  const char* name;
  bool paired;
  std::vector<std::string> uuids;
  bool listed;
};
const MockDevice kDevices[] = {
    {"11:22:33:44:55:66", "PeriPage_55A1", true, {kAudioSink, kSpp}, true},
    {"AA:BB:CC:DD:EE:01", "Paperang", true, {kSpp}, true},
    {"AA:BB:CC:DD:EE:02", "Paperang_P2", false, {}, false},
    {"AA:BB:CC:DD:EE:03", "WH-1000XM4", true, {kAudioSink, kSpp}, false},
    // Paired with the template's own UUIDs, a phone's: no serial port.
    {"AA:BB:CC:DD:EE:04", "Paperang_P1", true, {}, false},
};

class BluezTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string missing = MockBluez::Missing();
    if (!missing.empty()) GTEST_SKIP() << missing;
    dir_ = MakePrivateDir("bluez");
  }
  void TearDown() override {
    bluez_.Stop();
    if (!HasFailure() && !dir_.empty()) RemoveTree(dir_);
  }
  void StartWithDevices() {
    std::string why;
    ASSERT_TRUE(bluez_.Start(dir_, true, &why)) << why;
    for (const MockDevice& d : kDevices)
      ASSERT_TRUE(bluez_.AddDevice(d.address, d.name, d.paired, d.uuids, &why)) << why;
  }

  std::string dir_;
  MockBluez bluez_;
};

TEST_F(BluezTest, ListsPairedPrintersOnly) {
  StartWithDevices();
  std::string why;
  const std::vector<tavel::PairedPrinter> found = tavel::FindPairedPrinters(&why);
  EXPECT_EQ(why, "");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].address, "11:22:33:44:55:66");
  EXPECT_EQ(found[0].family, Family::kPeriPage);
  EXPECT_EQ(found[1].name, "Paperang");
  EXPECT_EQ(found[1].family, Family::kPaperang);
}

TEST_F(BluezTest, NothingWithoutBusOrBluez) {
  std::string why;
  setenv(tavel::kSystemBusVariable, ("unix:path=" + dir_ + "/no-bus").c_str(), 1);
  EXPECT_TRUE(tavel::FindPairedPrinters(&why).empty());
  EXPECT_EQ(why, "");
  ASSERT_TRUE(bluez_.Start(dir_, false, &why)) << why;
  setenv(tavel::kSystemBusVariable, bluez_.Address().c_str(), 1);
  EXPECT_TRUE(tavel::FindPairedPrinters(&why).empty());
  EXPECT_EQ(why, "");
  // A bus that takes the connection and never answers: nothing, in the
  // time limit, with the reason.
  const std::string silent = dir_ + "/silent-bus";
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", silent.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  setenv(tavel::kSystemBusVariable, ("unix:path=" + silent).c_str(), 1);
  EXPECT_TRUE(tavel::FindPairedPrinters(&why, 300).empty());
  EXPECT_NE(why, "");
  close(listener);
}

// The application with the mock BlueZ and the shim: the virtual PeriPage
// printer stands behind every RFCOMM connection.
class AppBluetooth : public BluezTest {
 protected:
  void SetUp() override {
    BluezTest::SetUp();
    if (IsSkipped()) return;
    if (!*TAVEL_SIM_PATH) GTEST_SKIP() << "no tavelpress-sim in this build";
    StartWithDevices();
    sim_ = dir_ + "/sim";
    RunCommand({"mkdir", "-p", sim_}, 10);
    simPid_ = StartProcess({TAVEL_SIM_PATH, "--lang", "peripage", "--out", sim_, "--pty",
                            sim_ + "/link"},
                           sim_ + "/sim.out");
    ASSERT_TRUE(Eventually(10, [&] { return !ReadFile(sim_ + "/ready").empty(); }))
        << ReadFile(sim_ + "/sim.out");
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string saved = asan ? asan : "";
    // The shim comes before the sanitizer's runtime.
    setenv("ASAN_OPTIONS", (saved + ":verify_asan_link_order=0").c_str(), 1);
    setenv("TAVEL_RFCOMM_PTY", (sim_ + "/link").c_str(), 1);
    setenv("TAVEL_RFCOMM_LOG", (dir_ + "/rfcomm.log").c_str(), 1);
    setenv("TAVEL_RFCOMM_ERROR", (dir_ + "/rfcomm.error").c_str(), 1);
    RunCommand({"mkdir", "-p", dir_ + "/app"}, 10);
    setenv("LD_PRELOAD", TAVEL_RFCOMM_PTY_SHIM, 1);
    const bool started = server_.Start(TAVEL_APP_PATH, dir_ + "/app");
    unsetenv("LD_PRELOAD");
    if (asan)
      setenv("ASAN_OPTIONS", saved.c_str(), 1);
    else
      unsetenv("ASAN_OPTIONS");
    ASSERT_TRUE(started) << server_.Log();
  }
  void TearDown() override {
    server_.Stop();
    if (simPid_ > 0) StopProcess(simPid_, 5);
    BluezTest::TearDown();
  }
  int PrintPage(const std::string& printer) {
    const tavel::ModelInfo* m = tavel::FindModel("peripage-384");
    const unsigned width = unsigned(m->Media(m->defaultMedia)->widthPt * m->dpi / 72.0 + 0.5);
    RasterPage page = UniformPage(MakeHeader(width, 100, 8, CUPS_CSPACE_SW, unsigned(m->dpi)), 255);
    for (unsigned x = 4; x < width / 2; ++x) page.data[20u * width + x] = 0;
    const std::vector<uint8_t> raster = WriteRaster({page}, CUPS_RASTER_WRITE_PWG);
    WriteFile(dir_ + "/page.pwg", std::string(raster.begin(), raster.end()));
    return server_.Print(printer, dir_ + "/page.pwg", "image/pwg-raster", "page", "");
  }
  // One attribute of the printer, or of its job when `job` is given.
  std::string Value(const std::string& printer, const char* name, int job = 0) {
    const std::string uri = server_.PrinterUri(printer);
    std::string request =
        AppServer::Operation(job ? "Get-Job-Attributes" : "Get-Printer-Attributes",
                             "printer-uri", uri);
    if (job) request += "ATTR integer job-id " + std::to_string(job) + "\n";
    request += std::string("ATTR keyword requested-attributes ") + name + "\nDISPLAY " + name;
    return DisplayedValues(server_.Ipp(uri, request).out)[name];
  }

  AppServer server_;
  std::string sim_;
  int simPid_ = -1;
};

TEST_F(AppBluetooth, ListedAddedAndPrintedOver) {
  const CommandResult devices = RunCommand({server_.ProgramLink(), "devices"}, 60);
  const std::string uri = "bluetooth://11-22-33-44-55-66?channel=1&chunk=48&pause=10";
  EXPECT_NE(devices.out.find(uri + " (Bluetooth printer PeriPage_55A1 (11:22:33:44:55:66))"),
            std::string::npos) << devices.Describe();
  EXPECT_NE(devices.out.find("bluetooth://AA-BB-CC-DD-EE-01?channel=1&chunk=2016&pause=0"),
            std::string::npos) << devices.out;
  for (const char* unlisted : {"EE-02", "EE-03", "EE-04"})
    EXPECT_EQ(devices.out.find(unlisted), std::string::npos) << devices.out;
  // The Add Printer page offers the device with its ID.
  const HttpReply page = server_.Get("/addprinter");
  EXPECT_NE(page.body.find("pause=10|MFG:PeriPage;MDL:PeriPage_55A1;CLS:PRINTER;"),
            std::string::npos) << page.body;

  // Added there as a browser does, with the model the device names.
  EXPECT_NE(page.body.find("(Tavelpress PeriPage pocket printer 384 dots)"), std::string::npos);
  BrowserForm form;
  ASSERT_TRUE(ParseForm(page.body, "/addprinter", &form));
  const HttpReply added = server_.Post(
      "/addprinter",
      form.Encoded({{"printer_name", "pocket"},
                    {"driver_name", "auto"},
                    {"device_uri", uri + "|MFG:PeriPage;MDL:PeriPage_55A1;CLS:PRINTER;"}}));
  ASSERT_EQ(added.status, 302) << added.body;
  EXPECT_EQ(Value("pocket", "printer-make-and-model"),
            "Tavelpress PeriPage pocket printer 384 dots");
  // Found, and now the printer "pocket".
  EXPECT_NE(server_.Get("/addprinter").body.find(
                "Tavelpress PeriPage pocket printer 384 dots</td><td>pocket</td>"),
            std::string::npos);
  const int job = PrintPage("pocket");
  ASSERT_GT(job, 0);
  EXPECT_EQ(server_.WaitForJob("pocket", job), "completed") << server_.Log();
  EXPECT_TRUE(Eventually(15, [&] {
    return ReadFile(sim_ + "/jobs.log").find("pages 1 ok") != std::string::npos;
  })) << ReadFile(sim_ + "/jobs.log");
  EXPECT_NE(ReadFile(dir_ + "/rfcomm.log").find("11:22:33:44:55:66 1\n"), std::string::npos);
  // Asked while idle, as over a serial line, its battery is a supply.
  RunCommand({TAVEL_SIM_PATH, "set", sim_, "battery=37"}, 10);
  std::string supply;
  EXPECT_TRUE(Eventually(15, [&] {
    supply = Value("pocket", "printer-supply");
    return supply.find("level=37") != std::string::npos;
  })) << supply;
  // Colons in the address are PAPPL's port: no printer is made on them.
  std::string why;
  EXPECT_FALSE(server_.AddPrinter("colons", "peripage-384", "bluetooth://11:22:33:44:55:66", &why));
}

TEST_F(AppBluetooth, PrinterSwitchedOffEndsTheJob) {
  std::string why;
  ASSERT_TRUE(server_.AddPrinter("pocket", "peripage-384",
                                 "bluetooth://11-22-33-44-55-66?channel=2", &why)) << why;
  WriteFile(dir_ + "/rfcomm.error", std::to_string(EHOSTDOWN));
  const int job = PrintPage("pocket");
  ASSERT_GT(job, 0);
  EXPECT_EQ(server_.WaitForJob("pocket", job), "aborted");
  EXPECT_NE(Value("pocket", "job-state-message", job).find("11:22:33:44:55:66 does not answer on channel 2: it "
                                           "is switched off or out of reach"),
            std::string::npos) << Value("pocket", "job-state-message", job);
  // Switched on again: the next job prints.
  unlink((dir_ + "/rfcomm.error").c_str());
  const int next = PrintPage("pocket");
  EXPECT_EQ(server_.WaitForJob("pocket", next), "completed") << server_.Log();
  EXPECT_NE(ReadFile(dir_ + "/rfcomm.log").find("11:22:33:44:55:66 2\n"), std::string::npos);
}

}  // namespace
