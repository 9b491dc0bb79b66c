// The application's own pages of the web interface, in place of PAPPL's
// pages at the same addresses:
//
// - a printer's Printing Defaults (/PRINTER/printing): every default with
//   its current value shown and selected, darkness with "the printer's own"
//   (PAPPL's page lists only levels, so a saved form set the darkness to
//   0 %), speed with the printer's own selected, the label mode (tear,
//   peel, cut) where the model has one, and the vendor settings;
// - the Configuration pages of the system (/config) and of each printer
//   (/PRINTER/config): an unset geo-location stays unset (PAPPL's page
//   showed and saved 0, 0);
// - Add Printer (/addprinter): the devices found without aborting when no
//   DNS-SD daemon runs (see Discovery.h), saying so, serial ports included,
//   and a device URI typed in (file:, serial: with its settings, ...).
//
// Saving a page changes only what was changed on it: a value equal to the
// current one (or meaning the same level) leaves the setting as it is.
// Every form carries PAPPL's form token and is checked with it.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>

namespace tavel {

// Once per system, before it runs.
void AddSystemPages(pappl_system_t* system);
// For each printer, when PAPPL creates it (and for those of the state file).
void AddPrinterPages(pappl_printer_t* printer);

// printf into the page being sent: papplClientHTMLPrintf knows few
// conversions (no %zu, %llu, widths). A text longer than kPageTextBytes is
// cut there.
constexpr size_t kPageTextBytes = 4096;
void ClientPrintf(pappl_client_t* client, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace tavel
