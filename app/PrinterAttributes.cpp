#include "app/PrinterAttributes.h"

#include <cstdio>

#include "printers/FamilyTable.h"

namespace tavel {
namespace {

constexpr int kFullBattery = 100;  // percent

}  // namespace

void AddConformanceAttributes(ipp_t* attrs) {
  // Get-Printer-Attributes takes no preferred-attributes here.
  ippAddBoolean(attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
  // One gray head and no colour management: nothing to choose.
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported",
               nullptr, "auto");
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default",
               nullptr, "auto");
  // Every page is a front side.
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "pwg-raster-document-sheet-back",
               nullptr, "normal");
}

const char* SupplyDescription(const ModelInfo& model) {
  switch (FamilyInfo(model.family).kind) {
    case PrinterKind::kLabel: return "Labels";
    case PrinterKind::kReceipt: return "Receipt paper";
    case PrinterKind::kPocket: return "Paper";
  }
  return "Paper";  // not reached: every kind has its case
}

void SetPrinterSupplies(pappl_printer_t* printer, int batteryPercent) {
  const ModelInfo* model = FindModel(papplPrinterGetDriverName(printer));
  if (!model) return;
  pappl_supply_t supplies[2] = {};
  pappl_supply_t& paper = supplies[0];
  paper.color = PAPPL_SUPPLY_COLOR_NO_COLOR;
  std::snprintf(paper.description, sizeof paper.description, "%s", SupplyDescription(*model));
  paper.is_consumed = true;
  paper.level = -1;  // no printer tells how much is left
  paper.type = PAPPL_SUPPLY_TYPE_OTHER;
  int count = 1;
  if (batteryPercent >= 0 && batteryPercent <= kFullBattery) {
    // A battery drains as the printer works: a supply that is used up,
    // not a receptacle that fills.
    pappl_supply_t& battery = supplies[count++];
    battery.color = PAPPL_SUPPLY_COLOR_NO_COLOR;
    std::snprintf(battery.description, sizeof battery.description, "%s", "Battery");
    battery.is_consumed = true;
    battery.level = batteryPercent;
    battery.type = PAPPL_SUPPLY_TYPE_OTHER;
  }
  papplPrinterSetSupplies(printer, count, supplies);
}

void IdentifyPrinter(pappl_printer_t* printer, pappl_identify_actions_t, const char* message) {
  // At warning level, so that the default log shows it.
  papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN, "Identify-Printer: %s",
                  message && *message ? message : "this printer");
}

}  // namespace tavel
