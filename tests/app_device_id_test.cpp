// USB printers by their IEEE-1284 device ID: which model an ID picks (IDs
// as printers of each family report them, including clones that leave
// fields blank or misspell the keys, and IDs that must pick nothing), and
// the printers added for found devices, against a real PAPPL system (made
// in the test, not run).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "app/AutoAdd.h"
#include "app/DeviceIdMatch.h"
#include "app/PrinterDriver.h"
#include "support/CupsChain.h"

namespace {

struct IdCase {
  const char* id;
  const char* driver;  // null: none of ours
};

const IdCase kCases[] = {
    // A known maker and model.
    {"MFG:EPSON;MDL:TM-T20II;CMD:ESC/POS;", "escpos-80mm"},
    {"MFG:EPSON;CMD:ESC/POS;MDL:TM-P20;CLS:PRINTER;", "escpos-58mm"},
    {"MFG:Zijiang;MDL:ZJ-58;", "escpos-58mm"},
    {"MFG:Printer;MDL:Thermal Printer;CMD:XPP,XL;", "tspl-4in-203"},
    {"MFG:MARKLIFE ;CMD:XPP,XL;MDL:X4;CLS:PRINTER;DES:LABEL PRINTER;", "tspl-4in-203"},
    {"MFG: ;CMD:XPP,XL;MDL:PM-241-BT;CLS:PRINTER;DES:PM-241-BT;", "tspl-4in-203"},
    {"MFG:VEVOR ;CMD: ;MODEL:Y428BT;DES:LabelPrinter;", "tspl-4in-203"},
    {"MFG:TSC;CMD:TSPL2;MDL:DA210;", "tspl-4in-203"},
    {"MFG:TSC;MDL:TE310;", "tspl-4in-300"},
    {"MANUFACTURER:HPRT;COMMAND SET:CPCL;MODEL:HM-A300E;", "cpcl-4in-203"},
    // Keys and values as careless firmware writes them.
    {"mfg:epson;mdl:tm-t88v;", "escpos-80mm"},
    {"  MFG : Zijiang ; MDL : ZJ-58 ", "escpos-58mm"},
    // Pocket printer brands (the Bluetooth listing's IDs too).
    {"MFG:Paperang;MDL:Paperang_P2;CLS:PRINTER;", "paperang-384"},
    {"MFG:PeriPage;MDL:PeriPage_DF7A;CLS:PRINTER;", "peripage-384"},
    // Unknown model, known command set: the family's generic model.
    {"MFG:ACME;MDL:POS-5890;CMD:ESC/POS;", "escpos-58mm"},
    {"CMD:ESC/POS;", "escpos-58mm"},
    {"MFG:Noname;MDL:LP-1;CMD:EPL, TSPL ,ZPL;", "tspl-4in-203"},
    {"MFG:Unknown;MDL:Label 9;CMD:XPP,XL;", "tspl-4in-203"},
    // Not ours: other languages, and words that only contain ours.
    {"MFG:HP;MDL:LaserJet 4000;CMD:PJL,PCL,POSTSCRIPT;", nullptr},
    {"MFG:Zebra;MDL:ZD420;CMD:ZPL;", nullptr},
    {"MFG:Acme;MDL:X;CMD:XPP,XL,ZPL;", nullptr},
    {"MFG:Acme;MDL:X;CMD:NOTESC/POS;", nullptr},
    {"MFG:EPSONIA;MDL:Stylus;", nullptr},
    // Nothing to go by: a USB chip's generic strings, garbage, nothing.
    {"MFG:Winbond;MDL:Virtual Com Port;", nullptr},
    {"", nullptr},
    {"MFG:EPSON;MDL", nullptr},
    {"MDL:TM-T20II", nullptr},  // a model without its maker
};

TEST(DeviceIdMatch, PicksTheModelOfEachId) {
  for (const IdCase& c : kCases) {
    const char* driver = tavel::MatchDeviceId(c.id);
    EXPECT_STREQ(driver, c.driver) << c.id;
  }
}

TEST(DeviceIdMatch, ReadsOnlyTheFirstOfAKeyAndLongIdsSafely) {
  const tavel::DeviceIdFields f = tavel::ParseDeviceId("MFG:A;MFG:B;MODEL:M;MDL:N;CMD:X");
  EXPECT_EQ(f.manufacturer, "A");
  EXPECT_EQ(f.model, "M");
  EXPECT_EQ(f.commandSet, "X");
  // A runaway ID (no terminator, megabytes long) is read within bounds.
  EXPECT_EQ(tavel::MatchDeviceId("CMD:" + std::string(1 << 20, 'A')), nullptr);
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
