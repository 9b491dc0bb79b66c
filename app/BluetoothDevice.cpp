// The bluetooth:// scheme: an RFCOMM socket to a paired printer, written
// and read like the serial scheme's port (DeviceLink.h), and the listing of
// the paired printers BlueZ knows.
#include "app/BluetoothDevice.h"

#include <sys/socket.h>
#include <unistd.h>

#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <pappl/pappl.h>

#include "app/DeviceLink.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>

namespace tavel {
namespace {

constexpr char kPrefix[] = "bluetooth://";
constexpr int kReadWaitMs = 1000;  // what PAPPL's reads of the link wait for
// Closing waits this long for the last bytes of a job to leave: a closed
// RFCOMM socket may otherwise drop what is still queued.
constexpr int kLingerSeconds = 5;
constexpr size_t kAddressLength = 17;  // "AA:BB:CC:DD:EE:FF"

struct BluetoothLink {
  LinkEnd end;
  BluetoothSettings settings;
};

struct FamilyListing {
  Family family;
  const char* manufacturer;  // the device ID's MFG, which picks the driver
  size_t chunk;
  int pauseMs;
};
const FamilyListing kFamilyListings[] = {
    {Family::kPaperang, "Paperang", kPaperangPacketBytes, kPaperangPauseMs},
    {Family::kPeriPage, "PeriPage", kPeriPageRowBytes, kPeriPageRowPauseMs},
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// Six hex pairs joined by `separator`.
bool ParseAddress(const std::string& text, char separator, BluetoothSettings* settings) {
  if (text.size() != kAddressLength) return false;
  std::string normal;
  for (size_t i = 0; i < settings->bytes.size(); ++i) {
    const size_t at = i * 3;
    if (i > 0 && text[at - 1] != separator) return false;
    const int high = HexDigit(text[at]), low = HexDigit(text[at + 1]);
    if (high < 0 || low < 0) return false;
    settings->bytes[i] = static_cast<uint8_t>(high * 16 + low);
    if (i > 0) normal += ':';
    normal += static_cast<char>(std::toupper(static_cast<unsigned char>(text[at])));
    normal += static_cast<char>(std::toupper(static_cast<unsigned char>(text[at + 1])));
  }
  settings->address = normal;
  return true;
}

// A name as a device ID value: no field or list separators, no controls.
std::string IdValue(const std::string& name) {
  std::string out = name;
  for (char& c : out)
    if (c == ';' || c == ':' || c == '|' || std::iscntrl(static_cast<unsigned char>(c))) c = '_';
  return out;
}

// The connected socket, or -1 with the reason in *error; *noSocket when
// this machine could not even make one.
int Connect(const BluetoothSettings& settings, int* error, bool* noSocket) {
  struct sockaddr_rc address;
  std::memset(&address, 0, sizeof address);
  address.rc_family = AF_BLUETOOTH;
  // bdaddr_t holds the address last byte first.
  for (size_t i = 0; i < settings.bytes.size(); ++i)
    address.rc_bdaddr.b[settings.bytes.size() - 1 - i] = settings.bytes[i];
  address.rc_channel = static_cast<uint8_t>(settings.channel);
  const int fd = ConnectWithin(AF_BLUETOOTH, BTPROTO_RFCOMM,
                               reinterpret_cast<struct sockaddr*>(&address), sizeof address,
                               kBluetoothConnectLimitMs, noSocket);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  // Best effort: without it a close may drop the end of a job.
  const struct linger linger = {1, kLingerSeconds};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &linger, sizeof linger);
  return fd;
}

// What the job's message and the log say of a connection that failed.
std::string ConnectFailure(const BluetoothSettings& s, int error, bool noSocket) {
  const std::string why = std::string(" (") + std::strerror(error) + ").";
  const std::string printer = "The Bluetooth printer " + s.address;
  if (noSocket && (error == EAFNOSUPPORT || error == EPROTONOSUPPORT))
    return "There is no Bluetooth on this machine: the system offers no Bluetooth (RFCOMM) "
           "connections" + why;
  if (noSocket) return "Unable to make a Bluetooth connection" + why;
  switch (error) {
    case ETIMEDOUT:
    case EHOSTDOWN:
    case ECONNREFUSED:
    case ECONNRESET:
    case ECONNABORTED:
      return printer + " does not answer on channel " + std::to_string(s.channel) +
             ": it is switched off or out of reach" + why;
    case EHOSTUNREACH:
    case ENETDOWN:
    case ENETUNREACH:
    case ENODEV:
      return printer + " can't be reached: no Bluetooth adapter is switched on, or the printer "
             "is out of reach" + why;
    case EACCES:
    case EPERM:
      return printer + " refused the connection: pair it again" + why;
    default:
      return "Unable to connect to the Bluetooth printer " + s.address + why;
  }
}

bool ListPrinters(pappl_device_cb_t cb, void* data, pappl_deverror_cb_t errCb, void* errData) {
  std::string why;
  const std::vector<PairedPrinter> printers = FindPairedPrinters(&why);
  if (!why.empty() && errCb) errCb(why.c_str(), errData);
  for (const PairedPrinter& printer : printers) {
    BluetoothListing listing;
    if (ListingOf(printer, &listing) &&
        cb(listing.info.c_str(), listing.uri.c_str(), listing.id.c_str(), data))
      return true;
  }
  return false;
}

bool OpenLink(pappl_device_t* device, const char* uri, const char*) {
  BluetoothLink* link = new (std::nothrow) BluetoothLink;
  if (!link) return false;
  if (!ParseBluetoothUri(uri, &link->settings)) {
    papplDeviceError(device, "%s", BadBluetoothUri(uri).c_str());
    delete link;
    return false;
  }
  int error = 0;
  bool noSocket = false;
  link->end.fd = Connect(link->settings, &error, &noSocket);
  if (link->end.fd < 0) {
    // Opened all the same, without a connection: PAPPL 1.3 answers a failed
    // open by pausing the queue and trying again every few seconds for
    // ever, the job "printing" with no word of why. This way the job's
    // first question or write fails and the job ends with this message.
    link->end.failure = ConnectFailure(link->settings, error, noSocket);
    papplDeviceError(device, "%s", link->end.failure.c_str());
  }
  link->end.socket = true;
  link->end.chunk = link->settings.chunk;
  link->end.pauseMs = link->settings.pauseMs;
  papplDeviceSetData(device, link);
  RegisterLink(device, &link->end);
  return true;
}

void CloseLink(pappl_device_t* device) {
  BluetoothLink* link = static_cast<BluetoothLink*>(papplDeviceGetData(device));
  if (!link) return;
  ForgetLink(device);
  if (link->end.fd >= 0) close(link->end.fd);
  delete link;
  papplDeviceSetData(device, nullptr);
}

ssize_t ReadLink(pappl_device_t* device, void* buffer, size_t bytes) {
  BluetoothLink* link = static_cast<BluetoothLink*>(papplDeviceGetData(device));
  if (!link) return -1;
  return ReadWithin(&link->end, buffer, bytes, kReadWaitMs);
}

ssize_t WriteLink(pappl_device_t* device, const void* buffer, size_t bytes) {
  BluetoothLink* link = static_cast<BluetoothLink*>(papplDeviceGetData(device));
  if (!link) return -1;
  if (link->end.fd < 0) {
    papplDeviceError(device, "%s", link->end.failure.c_str());
    return -1;
  }
  int error = 0;
  if (!WriteAll(&link->end, buffer, bytes, &error)) {
    papplDeviceError(device, "The Bluetooth link to the printer %s went away: %s",
                     link->settings.address.c_str(), std::strerror(error));
    return -1;
  }
  return static_cast<ssize_t>(bytes);
}

pappl_preason_t LinkStatus(pappl_device_t*) { return PAPPL_PREASON_NONE; }

}  // namespace

bool ParseBluetoothUri(const char* uri, BluetoothSettings* settings) {
  if (!uri || std::strncmp(uri, kPrefix, sizeof kPrefix - 1) != 0 ||
      std::strlen(uri) >= kMaxBluetoothUri)
    return false;
  std::string rest = uri + sizeof kPrefix - 1;
  std::string query;
  const size_t q = rest.find('?');
  if (q != std::string::npos) {
    query = rest.substr(q + 1);
    rest.resize(q);
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (!ParseAddress(rest, '-', settings)) return false;
  std::string text;
  long channel = kBluetoothDefaultChannel;
  // A channel out of range is refused, not clamped: another channel is
  // another service, or another printer's.
  if (QueryValue(query, "channel", &text) &&
      (!WholeNumber(text, &channel) || channel < 1 || channel > kBluetoothMaxChannel))
    return false;
  settings->channel = static_cast<int>(channel);
  ReadPacing(query, &settings->chunk, &settings->pauseMs);
  return true;
}

std::string BadBluetoothUri(const char* uri) {
  return std::string("Bad Bluetooth device URI \"") + (uri ? uri : "") +
         "\": it takes the form bluetooth://AA-BB-CC-DD-EE-FF?channel=1 (the address's hex "
         "pairs joined by \"-\", channels 1-30).";
}

bool ListingOf(const PairedPrinter& printer, BluetoothListing* listing) {
  BluetoothSettings settings;
  if (!ParseAddress(printer.address, ':', &settings)) return false;
  for (const FamilyListing& family : kFamilyListings) {
    if (family.family != printer.family) continue;
    std::string hyphens = settings.address;
    for (char& c : hyphens)
      if (c == ':') c = '-';
    listing->info = "Bluetooth printer " + printer.name + " (" + settings.address + ")";
    listing->uri = kPrefix + hyphens + "?channel=" + std::to_string(kBluetoothDefaultChannel) +
                   "&chunk=" + std::to_string(family.chunk) +
                   "&pause=" + std::to_string(family.pauseMs);
    listing->id = std::string("MFG:") + family.manufacturer + ";MDL:" + IdValue(printer.name) +
                  ";CLS:PRINTER;";
    return true;
  }
  return false;
}

void AddBluetoothScheme() {
  papplDeviceAddScheme("bluetooth", PAPPL_DEVTYPE_CUSTOM_LOCAL, ListPrinters, OpenLink, CloseLink,
                       ReadLink, WriteLink, LinkStatus, nullptr);
}

}  // namespace tavel
