#include "app/SerialDevice.h"

#include <dirent.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <pappl/pappl.h>

#include "app/DeviceLink.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace tavel {
namespace {

constexpr int kReadWaitMs = 1000;  // what PAPPL's reads of the port wait for

struct SerialPort {
  LinkEnd end;  // the port's descriptor, chunk and pause
  SerialSettings settings;
};

speed_t BaudConstant(int baud) {
  switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 230400: return B230400;
    default: return B115200;
  }
}

// Serial ports a printer may be on: Bluetooth serial ports (rfcomm), USB
// serial adapters (ttyUSB) and USB printers that present themselves as a
// modem (ttyACM), and built-in ports (ttyS) that have a UART behind them.
struct PortKind {
  const char* prefix;
  const char* info;
};
const PortKind kPortKinds[] = {{"rfcomm", "Bluetooth serial port"},
                               {"ttyUSB", "USB serial port"},
                               {"ttyACM", "USB serial device"},
                               {"ttyS", "Serial port"}};

// Most machines have ttyS0-ttyS31 whether or not there is a port behind
// them; the kernel knows the UART of those that have one.
bool HasUart(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct serial_struct info;
  const bool uart = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
  close(fd);
  return uart;
}

bool ListPorts(pappl_device_cb_t cb, void* data, pappl_deverror_cb_t, void*) {
  std::vector<std::pair<std::string, const char*>> ports;
  if (DIR* dir = opendir("/dev")) {
    while (struct dirent* entry = readdir(dir))
      for (const PortKind& kind : kPortKinds) {
        const size_t n = std::strlen(kind.prefix);
        if (std::strncmp(entry->d_name, kind.prefix, n) == 0 && entry->d_name[n] >= '0' &&
            entry->d_name[n] <= '9')
          ports.emplace_back(std::string("/dev/") + entry->d_name, kind.info);
      }
    closedir(dir);
  }
  std::sort(ports.begin(), ports.end());
  for (const auto& port : ports) {
    if (port.first.compare(0, 9, "/dev/ttyS") == 0 && !HasUart(port.first)) continue;
    const std::string info = std::string(port.second) + " " + port.first;
    const std::string uri = "serial://" + port.first;
    if (cb(info.c_str(), uri.c_str(), "", data)) return true;
  }
  return false;
}

bool OpenPort(pappl_device_t* device, const char* uri, const char*) {
  SerialPort* port = new (std::nothrow) SerialPort;
  if (!port) return false;
  if (!ParseSerialUri(uri, &port->settings)) {
    papplDeviceError(device, "Bad serial device URI \"%s\".", uri);
    delete port;
    return false;
  }
  port->end.fd = open(port->settings.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  port->end.chunk = port->settings.chunk;
  port->end.pauseMs = port->settings.pauseMs;
  if (port->end.fd < 0) {
    papplDeviceError(device, "Unable to open \"%s\": %s", port->settings.path.c_str(),
                     std::strerror(errno));
    delete port;
    return false;
  }
  struct termios tio;
  if (tcgetattr(port->end.fd, &tio) == 0) {
    // Raw bytes: no line editing or newline translation of printer data.
    cfmakeraw(&tio);
    cfsetspeed(&tio, BaudConstant(port->settings.baud));
    tcsetattr(port->end.fd, TCSANOW, &tio);
  }
  papplDeviceSetData(device, port);
  RegisterLink(device, &port->end);
  return true;
}

void ClosePort(pappl_device_t* device) {
  SerialPort* port = static_cast<SerialPort*>(papplDeviceGetData(device));
  if (!port) return;
  ForgetLink(device);
  if (port->end.fd >= 0) {
    tcdrain(port->end.fd);
    close(port->end.fd);
  }
  delete port;
  papplDeviceSetData(device, nullptr);
}

ssize_t ReadPort(pappl_device_t* device, void* buffer, size_t bytes) {
  SerialPort* port = static_cast<SerialPort*>(papplDeviceGetData(device));
  if (!port) return -1;
  return ReadWithin(&port->end, buffer, bytes, kReadWaitMs);
}

ssize_t WritePort(pappl_device_t* device, const void* buffer, size_t bytes) {
  SerialPort* port = static_cast<SerialPort*>(papplDeviceGetData(device));
  if (!port) return -1;
  int error = 0;
  if (!WriteAll(&port->end, buffer, bytes, &error)) {
    papplDeviceError(device, "The serial port %s went away: %s", port->settings.path.c_str(),
                     std::strerror(error));
    return -1;
  }
  return static_cast<ssize_t>(bytes);
}

pappl_preason_t PortStatus(pappl_device_t*) { return PAPPL_PREASON_NONE; }

}  // namespace

bool QueryValue(const std::string& query, const char* name, std::string* value) {
  const std::string key = std::string(name) + "=";
  size_t at = 0;
  while (at < query.size()) {
    size_t end = query.find('&', at);
    if (end == std::string::npos) end = query.size();
    if (query.compare(at, key.size(), key) == 0) {
      *value = query.substr(at + key.size(), end - at - key.size());
      return true;
    }
    at = end + 1;
  }
  return false;
}

bool WholeNumber(const std::string& text, long* value) {
  char* stop = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &stop, 10);
  if (errno || stop == text.c_str() || *stop) return false;
  *value = v;
  return true;
}

long QueryNumber(const std::string& query, const char* name, long fallback, long lo, long hi) {
  std::string text;
  long v = 0;
  if (!QueryValue(query, name, &text) || !WholeNumber(text, &v)) return fallback;
  return std::clamp(v, lo, hi);
}

void ReadPacing(const std::string& query, size_t* chunk, int* pauseMs) {
  *chunk = static_cast<size_t>(QueryNumber(query, "chunk", static_cast<long>(kSerialDefaultChunk),
                                           1, static_cast<long>(kSerialMaxChunk)));
  *pauseMs =
      static_cast<int>(QueryNumber(query, "pause", kSerialDefaultPauseMs, 0, kSerialMaxPauseMs));
}

bool ParseSerialUri(const char* uri, SerialSettings* settings) {
  const char kPrefix[] = "serial://";
  if (!uri || std::strncmp(uri, kPrefix, sizeof kPrefix - 1) != 0) return false;
  std::string rest = uri + sizeof kPrefix - 1;
  std::string query;
  const size_t q = rest.find('?');
  if (q != std::string::npos) {
    query = rest.substr(q + 1);
    rest.resize(q);
  }
  if (rest.empty() || rest[0] != '/') return false;
  settings->path = rest;
  ReadPacing(query, &settings->chunk, &settings->pauseMs);
  settings->baud = static_cast<int>(QueryNumber(query, "baud", 115200, 1200, 4000000));
  return true;
}

void AddSerialScheme() {
  papplDeviceAddScheme("serial", PAPPL_DEVTYPE_CUSTOM_LOCAL, ListPorts, OpenPort, ClosePort,
                       ReadPort, WritePort, PortStatus, nullptr);
}

}  // namespace tavel
