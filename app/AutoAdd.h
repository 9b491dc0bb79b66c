// USB printers added by themselves: a printer plugged into the server
// whose IEEE-1284 device ID names one of the application's models
// (DeviceIdMatch.h) gets a printer of that model, once. The server looks
// when it starts and whenever the USB printers on the machine change. That
// check only reads the kernel's list of USB interfaces (sysfs), every few
// seconds; the printers themselves are asked for their IDs (PAPPL's USB
// listing) only after a change, on a thread of its own, so no request
// waits for it.
//
// Each printer is named after its device description; a second printer
// of the same model gets " 2" after the name, and so on. A device that a
// printer already uses (by its URI, which for USB holds the serial number)
// is left alone, as is one removed by the administrator while it stays
// plugged in: it is found again only when plugged in anew, or when the
// server starts (auto-add=no keeps it out for good).
#pragma once

#include <pappl/pappl.h>

#include <functional>
#include <string>
#include <vector>

#include "app/Discovery.h"

namespace tavel {

constexpr int kUsbWatchSeconds = 5;        // how often the USB interfaces are read
constexpr int kMaxSameNamePrinters = 99;   // "Name 2" ... "Name 99", then none
constexpr const char* kUsbInterfaces = "/sys/bus/usb/devices";

// `wanted`, or `wanted` with " 2", " 3", ... when taken; "" when all are.
std::string DistinctName(const std::string& wanted,
                         const std::function<bool(const std::string&)>& taken);

// What is plugged in: the printer-class interfaces (class 07) under
// `folder`, as one string that changes when one comes or goes.
std::string UsbPrintersSignature(const char* folder);

// Adds a printer for each device whose ID names a model and that no
// printer has yet; the names of the printers made.
std::vector<std::string> AddFoundPrinters(pappl_system_t* system,
                                          const std::vector<FoundDevice>& devices);

// Starts the watch (a timer of the system); call before the system runs.
void StartUsbAutoAdd(pappl_system_t* system);

}  // namespace tavel
