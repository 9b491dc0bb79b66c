// Which model a printer's IEEE-1284 device ID picks: IDs as printers of
// each family report them (including clones that leave fields blank or
// misspell the keys), and IDs that must pick nothing.
#include <gtest/gtest.h>

#include <string>

#include "app/DeviceIdMatch.h"

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
    {"MFG:Zijiang;MDL:ZJ-80;", "escpos-80mm"},
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
    {"MFG:Acme;MDL:M1;COMMAND SET:CPCL;", "cpcl-4in-203"},
    {"MFG:Unknown;MDL:Label 9;CMD:XPP,XL;", "tspl-4in-203"},
    // Not ours: other languages, and words that only contain ours.
    {"MFG:HP;MDL:LaserJet 4000;CMD:PJL,PCL,POSTSCRIPT;", nullptr},
    {"MFG:Zebra;MDL:ZD420;CMD:ZPL;", nullptr},
    {"MFG:Acme;MDL:X;CMD:XPP,XL,ZPL;", nullptr},
    {"MFG:Acme;MDL:X;CMD:NOTESC/POS;", nullptr},
    {"MFG:EPSONIA;MDL:Stylus;", nullptr},
    {"MFG:PaperangClone;MDL:P9;", nullptr},
    // Nothing to go by: a USB chip's generic strings, garbage, nothing.
    {"MFG:Winbond;MDL:Virtual Com Port;", nullptr},
    {"", nullptr},
    {";;;:::", nullptr},
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

}  // namespace
