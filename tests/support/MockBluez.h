// A BlueZ for tests: a private dbus-daemon configured as a system bus, in a
// test's folder, with python3-dbusmock's bluez5 template on it (Debian's
// dbus and python3-dbusmock). Devices are added and paired through the
// template's org.bluez.Mock methods.
#pragma once

#include <string>
#include <vector>

class MockBluez {
 public:
  ~MockBluez() { Stop(); }
  // What this machine lacks to run it ("" when nothing): a reason to skip.
  static std::string Missing();
  // Starts the bus in `dir` and, with `bluez`, the mock BlueZ with one
  // adapter; false with the reason in *why.
  bool Start(const std::string& dir, bool bluez, std::string* why);
  void Stop();
  // The bus address for DBUS_SYSTEM_BUS_ADDRESS.
  std::string Address() const { return "unix:path=" + m_socket; }
  // A device of that address ("AA:BB:CC:DD:EE:FF") and name; paired or
  // not; with these service UUIDs once paired (none: the template's own).
  bool AddDevice(const std::string& address, const std::string& name, bool paired,
                 const std::vector<std::string>& uuids, std::string* why);

 private:
  bool Python(const std::string& statements, std::string* why);

  std::string m_dir, m_socket;
  int m_daemon = -1, m_mock = -1;
};
