#include "app/Discovery.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/DeviceIdMatch.h"

namespace tavel {
namespace {

constexpr const char* kBusAddressVariable = "DBUS_SYSTEM_BUS_ADDRESS";

bool Answers(const std::string& path) {
  sockaddr_un addr{};
  if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// The system bus's socket: the variable's "unix:path=..." when set.
std::string SystemBusPath() {
  const char* address = std::getenv(kBusAddressVariable);
  const char kPrefix[] = "unix:path=";
  if (!address || std::strncmp(address, kPrefix, sizeof kPrefix - 1) != 0)
    return kSystemBusSocket;
  std::string path = address + sizeof kPrefix - 1;
  const size_t comma = path.find(',');
  if (comma != std::string::npos) path.resize(comma);
  return path;
}

bool Collect(const char* info, const char* uri, const char* id, void* data) {
  static_cast<std::vector<FoundDevice>*>(data)->push_back(
      {info ? info : "", uri ? uri : "", id ? id : ""});
  return false;
}

void IgnoreError(const char*, void*) {}

}  // namespace

bool DnssdDaemonRunning() { return Answers(kAvahiSocket) && Answers(SystemBusPath()); }

std::vector<FoundDevice> FindDevices(pappl_system_t* system, bool* networkOff) {
  *networkOff = !DnssdDaemonRunning();
  if (*networkOff && system) papplLog(system, PAPPL_LOGLEVEL_WARN, "%s", kNetworkDiscoveryOff);
  return ListDevices(*networkOff ? PAPPL_DEVTYPE_LOCAL : PAPPL_DEVTYPE_ALL);
}

std::vector<FoundDevice> ListDevices(pappl_devtype_t types) {
  std::vector<FoundDevice> found;
  papplDeviceList(types, Collect, &found, IgnoreError, nullptr);
  return found;
}

int ShowDevices() {
  bool networkOff = false;
  const std::vector<FoundDevice> found = FindDevices(nullptr, &networkOff);
  if (networkOff) std::fprintf(stderr, "%s\n", kNetworkDiscoveryOff);
  for (const FoundDevice& device : found) {
    const char* driver = MatchDeviceId(device.id);
    std::printf("%s (%s)%s%s\n", device.uri.c_str(), device.info.c_str(),
                driver ? " driver " : "", driver ? driver : "");
  }
  return 0;
}

}  // namespace tavel
