#include "app/AutoAdd.h"

#include <dirent.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>

#include "app/DeviceIdMatch.h"

namespace tavel {
namespace {

constexpr const char* kPrinterClass = "07";  // USB interface class of printers

void AddName(pappl_printer_t* printer, void* data) {
  static_cast<std::vector<std::string>*>(data)->push_back(papplPrinterGetName(printer));
}

std::vector<std::string> PrinterNames(pappl_system_t* system) {
  std::vector<std::string> names;
  papplSystemIteratePrinters(system, AddName, &names);
  return names;
}

// The watch's state, shared by the system's timer and the listing thread.
// The thread never touches the system (which may be gone when it ends):
// it leaves what it found here, and the timer adds the printers. Never
// freed, for the same reason.
struct Watch {
  std::mutex lock;
  bool listing = false;      // a listing thread runs
  bool found = false;        // it left devices to add
  std::vector<FoundDevice> devices;
  bool looked = false;
  std::string signature;     // of the last listing's start
};
Watch& TheWatch() {
  static Watch* watch = new Watch;
  return *watch;
}

void ListUsbPrinters() {
  std::vector<FoundDevice> devices = ListDevices(PAPPL_DEVTYPE_USB);
  Watch& watch = TheWatch();
  std::lock_guard<std::mutex> hold(watch.lock);
  watch.devices = std::move(devices);
  watch.found = true;
  watch.listing = false;
}

bool Look(pappl_system_t* system, void*) {
  if (papplSystemIsShutdown(system)) return false;
  Watch& watch = TheWatch();
  std::vector<FoundDevice> devices;
  bool found = false;
  {
    std::lock_guard<std::mutex> hold(watch.lock);
    std::swap(found, watch.found);
    devices.swap(watch.devices);
  }
  if (found) AddFoundPrinters(system, devices);
  // A change while a listing runs is seen at a later look.
  const std::string signature = UsbPrintersSignature(kUsbInterfaces);
  std::lock_guard<std::mutex> hold(watch.lock);
  if (watch.listing || (watch.looked && signature == watch.signature)) return true;
  watch.listing = watch.looked = true;
  watch.signature = signature;
  std::thread(ListUsbPrinters).detach();
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
