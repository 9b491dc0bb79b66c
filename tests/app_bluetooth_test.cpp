// Bluetooth pocket printers: which device names are ours, the bluetooth://
// URI, the paired printers found through a mock BlueZ on a private bus, and
// pages printed over the RFCOMM link, which a preloaded shim
// (preload/RfcommPty.c) turns into the virtual printer's pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <bluetooth/bluetooth.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/BluetoothDevice.h"
#include "app/BluetoothDiscovery.h"
#include "app/FileDevice.h"
#include "support/AppServer.h"
#include "support/BrowserForm.h"
#include "support/CupsChain.h"
#include "support/FamilyStream.h"
#include "support/MockBluez.h"

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
  const struct {
    std::string name;
    std::vector<std::string> uuids;
    std::optional<Family> family;
  } rows[] = {
      {"MiaoMiaoJi", {kSpp}, Family::kPaperang},
      {" PAPERANG_P2S\t", {}, Family::kPaperang},
      {"PeriPage+DF7A", {kSpp}, Family::kPeriPage},
      {"peripage_55a1 ", {kAudioSink, "00001101-0000-1000-8000-00805F9B34FB"}, Family::kPeriPage},
      // Look-alikes and other devices.
      {"Paperangxyz", {}, none},
      {"PeriPage_55AG", {}, none},
      {"WH-1000XM4", {kSpp}, none},
      // Known, but without a serial port (an LE pairing): not over RFCOMM.
      {"Paperang_P2", {kAudioSink}, none},
      {std::string(300, 'a'), {}, none},
  };
  for (const auto& r : rows) EXPECT_EQ(tavel::BluetoothFamily(r.name, r.uuids), r.family) << r.name;
}

// Good and bad URIs; a bad one makes no printer and opens no device.
TEST(BluetoothUri, Parsing) {
  const struct {
    std::string uri;
    const char* address;  // null: refused
    int channel;
    size_t chunk;
  } rows[] = {
      {"bluetooth://AA-BB-CC-DD-EE-FF", "AA:BB:CC:DD:EE:FF", 1, 128},
      {"bluetooth://0a-bb-cc-dd-ee-0f/?channel=30&chunk=48&pause=10", "0A:BB:CC:DD:EE:0F", 30, 48},
      {"bluetooth://AA-BB-CC-DD-EE-FF?chunk=999999", "AA:BB:CC:DD:EE:FF", 1, 65536},
      {"bluetooth://AA-BB-CC-DD-EE-FF?channel=31", nullptr, 0, 0},
      {"bluetooth://AA-BB-CC-DD-EE-FF?channel=1x", nullptr, 0, 0},
      {"bluetooth://AA:BB:CC:DD:EE:FF", nullptr, 0, 0},
      {"bluetooth://AA-BB-CC-DD-EE", nullptr, 0, 0},
      {"bluetooth://GA-BB-CC-DD-EE-FF", nullptr, 0, 0},
      {"bluetooth://AA-BB-CC-DD-EE-FF?x=" + std::string(1100, 'y'), nullptr, 0, 0},
  };
  tavel::AddDeviceSchemes();
  for (const auto& r : rows) {
    tavel::BluetoothSettings s;
    std::string why, error;
    ASSERT_EQ(tavel::ParseBluetoothUri(r.uri.c_str(), &s), r.address != nullptr) << r.uri;
    EXPECT_EQ(tavel::DeviceUriAllowed(r.uri.c_str(), &why), r.address != nullptr) << r.uri;
    if (!r.address) {
      EXPECT_EQ(papplDeviceOpen(r.uri.c_str(), "t", KeepError, &error), nullptr) << r.uri;
      continue;
    }
    EXPECT_EQ(s.address, r.address);
    EXPECT_EQ(s.channel, r.channel);
    EXPECT_EQ(s.chunk, r.chunk);
  }
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

// The devices of the mock BlueZ: only the first two are the application's
// (paired, a printer's name, a serial port).
struct MockDevice {
  const char* address;
  const char* name;
  bool paired;
  std::vector<std::string> uuids;
};
const MockDevice kDevices[] = {
    {"11:22:33:44:55:66", "PeriPage_55A1", true, {kAudioSink, kSpp}},
    {"AA:BB:CC:DD:EE:01", "Paperang", true, {kSpp}},
    {"AA:BB:CC:DD:EE:02", "Paperang_P2", false, {}},
    {"AA:BB:CC:DD:EE:03", "WH-1000XM4", true, {kAudioSink, kSpp}},
    // Paired with the template's own UUIDs, a phone's: no serial port.
    {"AA:BB:CC:DD:EE:04", "Paperang_P1", true, {}},
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
  // A page in the printer's own language, sent as it is.
  int PrintPage(const std::string& printer) {
    const std::vector<uint8_t> page = FamilyStream(Family::kPeriPage, 1);
    WriteFile(dir_ + "/page.prn", std::string(page.begin(), page.end()));
    return server_.Print(printer, dir_ + "/page.prn", "application/octet-stream", "page", "");
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
  // The Add Printer page offers the device with its ID and model; it is
  // added there as a browser does, with the model the device names.
  const HttpReply page = server_.Get("/addprinter");
  EXPECT_NE(page.body.find("pause=10|MFG:PeriPage;MDL:PeriPage_55A1;CLS:PRINTER;"),
            std::string::npos) << page.body;
  EXPECT_NE(page.body.find("(Tavelpress PeriPage pocket printer 384 dots)"), std::string::npos);
  BrowserForm form;
  ASSERT_TRUE(ParseForm(page.body, "/addprinter", &form));
  const HttpReply added = server_.Post(
      "/addprinter",
      form.Encoded({{"printer_name", "pocket"},
                    {"driver_name", "auto"},
                    {"device_uri", uri + "|MFG:PeriPage;MDL:PeriPage_55A1;CLS:PRINTER;"}}));
  ASSERT_EQ(added.status, 302) << added.body;
  EXPECT_EQ(server_.Value("pocket", "printer-make-and-model"),
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
    supply = server_.Value("pocket", "printer-supply");
    return supply.find("level=37") != std::string::npos;
  })) << supply;
}

TEST_F(AppBluetooth, PrinterSwitchedOffEndsTheJob) {
  std::string why;
  ASSERT_TRUE(server_.AddPrinter("pocket", "peripage-384",
                                 "bluetooth://11-22-33-44-55-66?channel=2", &why)) << why;
  WriteFile(dir_ + "/rfcomm.error", std::to_string(EHOSTDOWN));
  const int job = PrintPage("pocket");
  ASSERT_GT(job, 0);
  EXPECT_EQ(server_.WaitForJob("pocket", job), "aborted");
  const std::string message = server_.Value("pocket", "job-state-message", job);
  EXPECT_NE(message.find("11:22:33:44:55:66 does not answer on channel 2: it is switched off"),
            std::string::npos) << message;
  // Switched on again: the next job prints.
  unlink((dir_ + "/rfcomm.error").c_str());
  const int next = PrintPage("pocket");
  EXPECT_EQ(server_.WaitForJob("pocket", next), "completed") << server_.Log();
  EXPECT_NE(ReadFile(dir_ + "/rfcomm.log").find("11:22:33:44:55:66 2\n"), std::string::npos);
}

}  // namespace
