#include "app/AutoAdd.h"

#include <dirent.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "app/DeviceIdMatch.h"

namespace tavel {
namespace {

constexpr const char* kPrinterClass = "07";  // USB interface class of printers

bool CollectUsb(const char* info, const char* uri, const char* id, void* data) {
  static_cast<std::vector<FoundDevice>*>(data)->push_back(
      {info ? info : "", uri ? uri : "", id ? id : ""});
  return false;
}

void LogListError(const char* message, void* data) {
  papplLog(static_cast<pappl_system_t*>(data), PAPPL_LOGLEVEL_DEBUG, "USB listing: %s", message);
}

void AddName(pappl_printer_t* printer, void* data) {
  static_cast<std::vector<std::string>*>(data)->push_back(papplPrinterGetName(printer));
}

std::vector<std::string> PrinterNames(pappl_system_t* system) {
  std::vector<std::string> names;
  papplSystemIteratePrinters(system, AddName, &names);
  return names;
}

// One pass at a time; a change during a pass is seen at the next look.
std::atomic<bool> g_passRunning{false};
std::string g_lastSignature;
bool g_looked = false;

void Pass(pappl_system_t* system) {
  std::vector<FoundDevice> devices;
  papplDeviceList(PAPPL_DEVTYPE_USB, CollectUsb, &devices, LogListError, system);
  if (!papplSystemIsShutdown(system)) AddFoundPrinters(system, devices);
  g_passRunning = false;
}

bool Look(pappl_system_t* system, void*) {
  if (papplSystemIsShutdown(system)) return false;
  const std::string signature = UsbPrintersSignature(kUsbInterfaces);
  if (g_looked && signature == g_lastSignature) return true;
  if (g_passRunning.exchange(true)) return true;  // looked at again after it
  g_looked = true;
  g_lastSignature = signature;
  std::thread(Pass, system).detach();
  return true;
}

}  // namespace

std::string DistinctName(const std::string& wanted,
                         const std::function<bool(const std::string&)>& taken) {
  if (!taken(wanted)) return wanted;
  for (int n = 2; n <= kMaxSameNamePrinters; ++n) {
    const std::string name = wanted + " " + std::to_string(n);
    if (!taken(name)) return name;
  }
  return "";
}

std::string UsbPrintersSignature(const char* folder) {
  std::vector<std::string> found;
  if (DIR* dir = opendir(folder)) {
    while (const dirent* entry = readdir(dir)) {
      // Interfaces are named "bus-port:config.interface".
      if (!std::strchr(entry->d_name, ':')) continue;
      std::ifstream in(std::string(folder) + "/" + entry->d_name + "/bInterfaceClass");
      std::string cls;
      if (in >> cls && cls == kPrinterClass) found.push_back(entry->d_name);
    }
    closedir(dir);
  }
  std::sort(found.begin(), found.end());
  std::string signature;
  for (const std::string& name : found) signature += name + "\n";
  return signature;
}

std::vector<std::string> AddFoundPrinters(pappl_system_t* system,
                                          const std::vector<FoundDevice>& devices) {
  std::vector<std::string> added;
  for (const FoundDevice& device : devices) {
    const char* driver = MatchDeviceId(device.id);
    if (!driver || device.uri.empty() ||
        papplSystemFindPrinter(system, nullptr, 0, device.uri.c_str()))
      continue;
    std::string wanted = device.info;
    wanted.erase(std::remove_if(wanted.begin(), wanted.end(),
                                [](char c) { return static_cast<unsigned char>(c) < ' '; }),
                 wanted.end());
    if (wanted.empty()) wanted = driver;
    const std::vector<std::string> names = PrinterNames(system);
    const std::string name = DistinctName(wanted, [&](const std::string& candidate) {
      return std::any_of(names.begin(), names.end(), [&](const std::string& taken) {
        return strcasecmp(taken.c_str(), candidate.c_str()) == 0;
      });
    });
    if (name.empty()) continue;
    if (papplPrinterCreate(system, 0, name.c_str(), driver, device.id.c_str(), device.uri.c_str())) {
      papplLog(system, PAPPL_LOGLEVEL_INFO, "Added printer \"%s\" (%s) on %s.", name.c_str(),
               driver, device.uri.c_str());
      added.push_back(name);
    } else {
      papplLog(system, PAPPL_LOGLEVEL_WARN, "Unable to add a printer for %s.", device.uri.c_str());
    }
  }
  return added;
}

void StartUsbAutoAdd(pappl_system_t* system) {
  papplSystemAddTimerCallback(system, 0, kUsbWatchSeconds, Look, nullptr);
}

}  // namespace tavel
