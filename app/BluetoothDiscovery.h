// Finding paired pocket printers through BlueZ: one question on the system
// bus (ObjectManager.GetManagedObjects on org.bluez) lists the devices
// BlueZ knows; those that are paired and whose name says which printer
// they are become the bluetooth:// devices of the Add Printer page
// (BluetoothDevice.h). Pairing is left to the administrator (bluetoothctl):
// the application never pairs, scans or changes anything in BlueZ.
//
// Each listing opens a private connection to the bus and closes it again:
// the bus and BlueZ may come and go while the server runs, and a
// connection shared with PAPPL's DNS-SD client could be closed under it.
// No bus, no BlueZ, a BlueZ that does not answer within the limit or
// answers nonsense: no printers, never a hang.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "printers/Family.h"

namespace tavel {

constexpr const char* kSystemBusVariable = "DBUS_SYSTEM_BUS_ADDRESS";
constexpr const char* kSystemBusDefault = "unix:path=/run/dbus/system_bus_socket";
constexpr int kBlueZAnswerLimitMs = 2000;  // what a listing waits for BlueZ
// The Serial Port Profile, as BlueZ lists it in a device's UUIDs.
constexpr const char* kSerialPortUuid = "00001101-0000-1000-8000-00805f9b34fb";

// The family of a Bluetooth device by its name (case and surrounding
// space aside), or none. `uuids` are the services BlueZ knows of it: when
// it knows some and the serial port is not among them (a Bluetooth LE
// pairing), the printer can't be reached over RFCOMM and is none either.
// A serial port alone names no printer.
std::optional<Family> BluetoothFamily(const std::string& name,
                                      const std::vector<std::string>& uuids);

struct PairedPrinter {
  std::string address;  // as BlueZ gives it, "AA:BB:CC:DD:EE:FF"
  std::string name;     // the name (or alias) that says which printer it is
  Family family;
};

// The paired printers, by address. `why` (may be null) gets what went
// wrong when BlueZ was there but gave no usable answer; it stays empty
// when there is simply no bus or no BlueZ.
std::vector<PairedPrinter> FindPairedPrinters(std::string* why,
                                              int limitMs = kBlueZAnswerLimitMs);

}  // namespace tavel
