// The IPP attributes and answers of a printer that PAPPL leaves to the
// application: the printing capabilities IPP Everywhere clients ask for,
// the supplies (the paper or label roll, a pocket printer's battery), the identify action, and the
// refusal of a document no path can print.
#pragma once

#include <pappl/pappl.h>

#include "app/ModelTable.h"

namespace tavel {

// A bordered twin of each media size, with the smallest margin IPP can
// state (hundredths of a millimetre): less than a dot, so that it prints
// edge to edge as well, but CUPS's driverless PPD gets a size of the name
// it gives its default (it names zero-margin sizes "<size>.Borderless",
// its default never).
constexpr int kBorderedMarginHundredthsMm = 1;

// The attributes PAPPL does not make from the driver data, into the
// driver's extra attributes.
void AddConformanceAttributes(ipp_t* attrs);

// The printer's supplies: its paper or label roll, level unknown, and
// its battery when `batteryPercent` (0 to 100) is known. For every new
// printer and every printer of the state file, and each status answer.
void SetPrinterSupplies(pappl_printer_t* printer, int batteryPercent = -1);

// The description of that supply for the model.
const char* SupplyDescription(const ModelInfo& model);

// Identify-Printer: the printer application shows the message in its log.
void IdentifyPrinter(pappl_printer_t* printer, pappl_identify_actions_t actions,
                     const char* message);

}  // namespace tavel
