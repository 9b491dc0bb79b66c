// USB printers added by themselves, against a real PAPPL system (made in
// the test, not run): found devices as PAPPL's USB listing reports them
// (two identical printers, a printer of no model of ours, one already
// added), the names made distinct, and the kernel's interface list read.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "app/AutoAdd.h"
#include "app/DeviceIdMatch.h"
#include "app/PrinterDriver.h"
#include "support/CupsChain.h"

namespace {

TEST(AutoAdd, NamesAreMadeDistinct) {
  const struct {
    std::vector<std::string> taken;
    const char* wanted;
    const char* name;
  } cases[] = {
      {{}, "Label", "Label"},
      {{"Label"}, "Label", "Label 2"},
      {{"Label", "Label 2", "Label 3"}, "Label", "Label 4"},
      {{"Label 2"}, "Label", "Label"},
  };
  for (const auto& c : cases) {
    auto taken = [&](const std::string& n) {
      for (const std::string& t : c.taken)
        if (t == n) return true;
      return false;
    };
    EXPECT_EQ(tavel::DistinctName(c.wanted, taken), c.name) << c.wanted;
  }
  EXPECT_EQ(tavel::DistinctName("X", [](const std::string&) { return true; }), "");
}

TEST(AutoAdd, AddsEachMatchedDeviceOnce) {
  const std::string dir = MakePrivateDir("autoadd");
  pappl_system_t* system =
      papplSystemCreate(PAPPL_SOPTIONS_MULTI_QUEUE, "test", 0, nullptr, dir.c_str(),
                        (dir + "/log").c_str(), PAPPL_LOGLEVEL_DEBUG, nullptr, false);
  ASSERT_NE(system, nullptr);
  std::vector<pappl_pr_driver_t>& drivers = tavel::DriverList();
  papplSystemSetPrinterDrivers(system, static_cast<int>(drivers.size()), drivers.data(),
                               tavel::AutoAddDriver, nullptr, tavel::SetupDriver, nullptr);
  const std::vector<tavel::FoundDevice> devices = {
      {"EPSON TM-T20II", "usb://EPSON/TM-T20II?serial=A1", "MFG:EPSON;MDL:TM-T20II;CMD:ESC/POS;"},
      {"EPSON TM-T20II", "usb://EPSON/TM-T20II?serial=B2", "MFG:EPSON;MDL:TM-T20II;CMD:ESC/POS;"},
      {"HP LaserJet", "usb://HP/LaserJet?serial=C3", "MFG:HP;MDL:LaserJet;CMD:PCL;"},
      {"Printer Thermal Printer", "usb://Printer/Thermal%20Printer",
       "MFG:Printer;MDL:Thermal Printer;CMD:XPP,XL;"},
  };
  const std::vector<std::string> added = tavel::AddFoundPrinters(system, devices);
  ASSERT_EQ(added, (std::vector<std::string>{"EPSON TM-T20II", "EPSON TM-T20II 2",
                                             "Printer Thermal Printer"}))
      << ReadFile(dir + "/log");
  pappl_printer_t* second = papplSystemFindPrinter(system, nullptr, 0, devices[1].uri.c_str());
  ASSERT_NE(second, nullptr);
  EXPECT_STREQ(papplPrinterGetDriverName(second), "escpos-80mm");
  // Found again (the next look): nothing new.
  EXPECT_TRUE(tavel::AddFoundPrinters(system, devices).empty());
  papplSystemDelete(system);
  RemoveTree(dir);
}

TEST(AutoAdd, SeesPrinterInterfacesOnly) {
  const std::string dir = MakePrivateDir("usbsys");
  const struct {
    const char* name;
    const char* cls;
  } entries[] = {{"1-1:1.0", "07"}, {"1-2:1.0", "03"}, {"1-2", nullptr}, {"2-1.4:1.1", "07"}};
  for (const auto& e : entries) {
    ASSERT_EQ(mkdir((dir + "/" + e.name).c_str(), 0755), 0);
    if (e.cls) {
      ASSERT_TRUE(WriteFile(dir + "/" + e.name + "/bInterfaceClass", std::string(e.cls) + "\n"));
    }
  }
  EXPECT_EQ(tavel::UsbPrintersSignature(dir.c_str()), "1-1:1.0\n2-1.4:1.1\n");
  EXPECT_EQ(tavel::UsbPrintersSignature((dir + "/none").c_str()), "");
  RemoveTree(dir);
}

}  // namespace
