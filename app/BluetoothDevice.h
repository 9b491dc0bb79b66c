// The "bluetooth" device scheme: pocket printers on a Bluetooth serial port
// (RFCOMM), reached by their address with no set-up beyond pairing (no
// rfcomm bind, no /dev/rfcomm*):
//
//   bluetooth://AA-BB-CC-DD-EE-FF?channel=1&chunk=48&pause=10
//
// The address is six hex pairs joined by "-": PAPPL takes the usual ":"
// for a port number and refuses the URI. channel is the RFCOMM channel, 1
// when not given; chunk and pause pace the writes as on
// the serial scheme (SerialDevice.h: same defaults and limits). The Add
// Printer page lists paired printers (BluetoothDiscovery.h) with their
// family's pacing. As on a serial port, the link (DeviceLink.h) reads the
// printer's answers (status, battery) and a dropped link fails the job.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/BluetoothDiscovery.h"
#include "app/SerialDevice.h"

namespace tavel {

constexpr int kBluetoothDefaultChannel = 1;
constexpr int kBluetoothMaxChannel = 30;        // RFCOMM has channels 1-30
constexpr int kBluetoothConnectLimitMs = 10000;  // a printer switched off never answers
constexpr size_t kMaxBluetoothUri = 1024;

// Pacing the listing puts in a family's URI: a Paperang takes RFCOMM
// packets of 2016 bytes without a pause; a PeriPage wants 10 ms after each
// row of 48 bytes (384 dots).
constexpr size_t kPaperangPacketBytes = 2016;
constexpr int kPaperangPauseMs = 0;
constexpr size_t kPeriPageRowBytes = 48;
constexpr int kPeriPageRowPauseMs = 10;

struct BluetoothSettings {
  std::string address;             // "AA:BB:CC:DD:EE:FF", upper case
  std::array<uint8_t, 6> bytes{};  // the address, first byte first
  int channel = kBluetoothDefaultChannel;
  size_t chunk = kSerialDefaultChunk;
  int pauseMs = kSerialDefaultPauseMs;
};

// Reads a bluetooth: URI; false when the address is not six hex pairs
// joined by "-" or the channel is not 1-30.
bool ParseBluetoothUri(const char* uri, BluetoothSettings* settings);
// What is said of a URI that ParseBluetoothUri refuses.
std::string BadBluetoothUri(const char* uri);

// What the Add Printer page and `tavelpress devices` show for a paired
// printer: its description, URI (with its family's pacing) and IEEE 1284
// device ID. False when BlueZ's address for it is unusable.
struct BluetoothListing {
  std::string info, uri, id;
};
bool ListingOf(const PairedPrinter& printer, BluetoothListing* listing);

// Registers the scheme with PAPPL (FileDevice.h's AddDeviceSchemes does).
void AddBluetoothScheme();

}  // namespace tavel
