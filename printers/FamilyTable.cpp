#include "printers/FamilyTable.h"

#include <new>

#include "printers/PrinterCPCL.h"
#include "printers/PrinterESCPOS.h"
#include "printers/PrinterPaperang.h"
#include "printers/PrinterPeriPage.h"
#include "printers/PrinterTSPL.h"

namespace tavel {
namespace {

template <class Driver>
CBaseRender* Make() {
  return new (std::nothrow) Driver();
}

constexpr SpeedSteps kNoSpeed = {0, 0};
constexpr SpeedSteps kInchesPerSecond = {2540, 0};  // level n: n inches a second
constexpr SpeedSteps kPeriPageSteps = {1000, 1};    // level n: (n + 1) x 10 mm a second

const FamilyRow kTspl = {Family::kTspl, "TSPL", Make<CPrinterTSPL>, PrinterKind::kLabel,
                         kInchesPerSecond, &kTsplStatus, "application/vnd.tavelpress.tspl"};
const FamilyRow kEscpos = {Family::kEscpos, "ESC/POS", Make<CPrinterESCPOS>,
                           PrinterKind::kReceipt, kNoSpeed, &kEscposStatus,
                           "application/vnd.tavelpress.escpos"};
const FamilyRow kCpcl = {Family::kCpcl, "CPCL", Make<CPrinterCPCL>, PrinterKind::kLabel,
                         kNoSpeed, &kCpclStatus, "application/vnd.tavelpress.cpcl"};
const FamilyRow kPaperang = {Family::kPaperang, "Paperang", Make<CPrinterPaperang>,
                             PrinterKind::kPocket, kNoSpeed, &kPaperangStatus,
                             "application/vnd.tavelpress.paperang"};
const FamilyRow kPeriPage = {Family::kPeriPage, "PeriPage", Make<CPrinterPeriPage>,
                             PrinterKind::kPocket, kPeriPageSteps, &kPeriPageStatus,
                             "application/vnd.tavelpress.peripage"};

}  // namespace

const FamilyRow& FamilyInfo(Family family) {
  // No default: a family without a row does not build.
  switch (family) {
    case Family::kTspl: return kTspl;
    case Family::kEscpos: return kEscpos;
    case Family::kCpcl: return kCpcl;
    case Family::kPaperang: return kPaperang;
    case Family::kPeriPage: return kPeriPage;
  }
  return kTspl;  // not reached: every value has its case
}

const FamilyRow* FindDriver(int modelNumber) {
  Family family = kFirstFamily;
  return FamilyOfModel(modelNumber, &family) ? &FamilyInfo(family) : nullptr;
}

CBaseRender* CreateDriver(int modelNumber) {
  const FamilyRow* row = FindDriver(modelNumber);
  return row ? row->create() : nullptr;
}

}  // namespace tavel
