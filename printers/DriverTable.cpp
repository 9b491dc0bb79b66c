#include "printers/DriverTable.h"

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

const DriverRow kDrivers[] = {
    {20, "TSPL", Make<CPrinterTSPL>},
    {21, "ESC/POS", Make<CPrinterESCPOS>},
    {22, "CPCL", Make<CPrinterCPCL>},
    {23, "Paperang", Make<CPrinterPaperang>},
    {24, "PeriPage", Make<CPrinterPeriPage>},
};

}  // namespace

const DriverRow* FindDriver(int modelNumber) {
  for (const DriverRow& row : kDrivers)
    if (row.modelNumber == modelNumber) return &row;
  return nullptr;
}

CBaseRender* CreateDriver(int modelNumber) {
  const DriverRow* row = FindDriver(modelNumber);
  return row ? row->create() : nullptr;
}

}  // namespace tavel
