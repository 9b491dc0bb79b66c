// Which of the application's models a printer is, from the IEEE-1284
// device ID it reports (USB printers; the Bluetooth listing makes one of
// the same form). Cheap printers share generic USB chip ids, and clones
// rarely say "TSPL", so the rules are, in order:
//
//   1. a known manufacturer and model (the table in the .cpp);
//   2. a pocket printer brand (Paperang, PeriPage), whose models all speak
//      the brand's language;
//   3. a known command set (CMD), which gives the family's generic model;
//
// and never the USB vendor and product id alone. Keys are read as printers
// write them: case aside, with the long spellings (MANUFACTURER, MODEL,
// COMMAND SET) and blanks around values.
#pragma once

#include <string>

namespace tavel {

struct DeviceIdFields {
  std::string manufacturer, model, commandSet;  // trimmed; "" when absent
};

DeviceIdFields ParseDeviceId(const std::string& deviceId);

// The driver name of the printer, or null when it is none the application
// drives.
const char* MatchDeviceId(const std::string& deviceId);

// PAPPL's auto-add callback (pappl_pr_autoadd_cb_t).
const char* AutoAddDriver(const char* info, const char* uri, const char* deviceId, void* data);

}  // namespace tavel
