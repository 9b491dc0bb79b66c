// Finding printers for the Add Printer page and `tavelpress devices`.
// PAPPL's DNS-SD listing asserts (and so aborts the whole process) when no
// DNS-SD daemon answers: it makes its Avahi client anew at each listing and
// uses it unchecked. So each listing first asks whether the daemon is
// there (its socket and the system bus both take a connection); without
// it, only what needs no daemon is listed (USB and serial ports, no
// network discovery) and the caller says so. The daemon may come and go
// while the server runs, hence the check at every listing.
#pragma once

#include <pappl/pappl.h>

#include <string>
#include <vector>

namespace tavel {

// Where the daemons answer (Debian's paths).
constexpr const char* kAvahiSocket = "/run/avahi-daemon/socket";
constexpr const char* kSystemBusSocket = "/run/dbus/system_bus_socket";

constexpr const char* kNetworkDiscoveryOff =
    "Network discovery is off: no DNS-SD daemon (avahi-daemon) is running. "
    "USB and serial printers are listed; a network printer can be added by its address.";

struct FoundDevice {
  std::string info, uri, id;
};

// True when a DNS-SD daemon takes connections now.
bool DnssdDaemonRunning();

// The devices that can be found now; `networkOff` tells whether network
// discovery was left out. `system` (may be null) gets a log line then.
std::vector<FoundDevice> FindDevices(pappl_system_t* system, bool* networkOff);

// PAPPL's listing of the devices of these types, as it stands.
std::vector<FoundDevice> ListDevices(pappl_devtype_t types);

// The "devices" sub-command: one device a line ("URI (description)", and
// " driver NAME" when its device ID says which model it is) on
// standard output, the note on standard error when network discovery is
// off. The exit status.
int ShowDevices();

}  // namespace tavel
