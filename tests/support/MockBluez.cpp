// The mock BlueZ of MockBluez.h: the bus daemon and dbusmock as processes
// of the test, and short Python scripts (dbus-python, which dbusmock
// brings) that call the mock's methods.
#include "support/MockBluez.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/CupsChain.h"

namespace {

// Debian's python, which has dbusmock (a python of its own in PATH may not).
constexpr const char* kPython = "/usr/bin/python3";
constexpr int kStartWaits = 100;  // 100 ms each

// A system bus as strict as none: anyone may own, send and receive (the
// tests run as one user), but it is of type "system" as BlueZ's bus is.
std::string BusConfig(const std::string& socket) {
  return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n  <type>system</type>\n  <listen>unix:path=" + socket + "</listen>\n"
         "  <auth>EXTERNAL</auth>\n  <policy context=\"default\">\n"
         "    <allow user=\"*\"/>\n    <allow own=\"*\"/>\n"
         "    <allow send_type=\"method_call\"/>\n    <allow send_type=\"signal\"/>\n"
         "    <allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
         "    <allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
         "    <allow receive_type=\"method_call\"/>\n    <allow receive_type=\"method_return\"/>\n"
         "    <allow receive_type=\"error\"/>\n    <allow receive_type=\"signal\"/>\n"
         "  </policy>\n</busconfig>\n";
}

// Every script first waits (bounded) for the mock to own its name.
const char kPrelude[] =
    "import dbus, sys, time\n"
    "bus = dbus.bus.BusConnection(sys.argv[1])\n"
    "for _ in range(100):\n"
    "    if bus.name_has_owner('org.bluez'): break\n"
    "    time.sleep(0.1)\n"
    "mock = dbus.Interface(bus.get_object('org.bluez', '/'), 'org.bluez.Mock')\n";

}  // namespace

std::string MockBluez::Missing() {
  if (FindProgram("dbus-daemon").empty()) return "no dbus-daemon (Debian's dbus)";
  if (RunCommand({kPython, "-c", "import dbusmock"}, 30).status != 0)
    return std::string("no python3-dbusmock for ") + kPython;
  return "";
}

bool MockBluez::Start(const std::string& dir, bool bluez, std::string* why) {
  m_dir = dir;
  m_socket = dir + "/system_bus_socket";
  const std::string config = dir + "/bus.conf";
  if (!WriteFile(config, BusConfig(m_socket))) {
    *why = "cannot write " + config;
    return false;
  }
  m_daemon = StartProcess({"dbus-daemon", "--config-file=" + config, "--nofork"},
                          dir + "/bus.log");
  struct stat st;
  for (int i = 0; i < kStartWaits && stat(m_socket.c_str(), &st) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (m_daemon < 0 || stat(m_socket.c_str(), &st) != 0) {
    *why = "the bus does not start: " + ReadFile(dir + "/bus.log");
    return false;
  }
  if (!bluez) return true;
  // The mock reads the bus address from the variable, as a system service.
  setenv("DBUS_SYSTEM_BUS_ADDRESS", Address().c_str(), 1);
  m_mock = StartProcess({kPython, "-m", "dbusmock", "--system", "--template", "bluez5"},
                        dir + "/bluez.log");
  if (m_mock < 0) {
    *why = "dbusmock does not start";
    return false;
  }
  return Python("mock.AddAdapter('hci0', 'test-host')\n", why);
}

void MockBluez::Stop() {
  if (m_mock > 0) StopProcess(m_mock, 5);
  if (m_daemon > 0) StopProcess(m_daemon, 5);
  m_mock = m_daemon = -1;
}

bool MockBluez::AddDevice(const std::string& address, const std::string& name, bool paired,
                          const std::vector<std::string>& uuids, std::string* why) {
  std::string script = "mock.AddDevice('hci0', '" + address + "', '" + name + "')\n";
  if (paired) script += "mock.PairDevice('hci0', '" + address + "', dbus.Int32(1536))\n";
  if (!uuids.empty()) {
    std::string list;
    for (const std::string& uuid : uuids) list += "'" + uuid + "',";
    std::string path = address;
    for (char& c : path)
      if (c == ':') c = '_';
    script += "dbus.Interface(bus.get_object('org.bluez', '/org/bluez/hci0/dev_" + path +
              "'), 'org.freedesktop.DBus.Properties').Set('org.bluez.Device1', 'UUIDs', "
              "dbus.Array([" + list + "], signature='s'))\n";
  }
  return Python(script, why);
}

bool MockBluez::Python(const std::string& statements, std::string* why) {
  const CommandResult r = RunCommand({kPython, "-c", kPrelude + statements, Address()}, 60);
  if (r.status != 0) *why = r.Describe() + ReadFile(m_dir + "/bluez.log");
  return r.status == 0;
}
