// The socket scheme: resolve the host, connect to each of its addresses in
// turn without blocking, within one time limit, then write blocking with
// TCP_NODELAY (PAPPL hands over whole buffers already). The open device's
// LinkEnd is registered for DeviceLink.
#include "app/NetworkDevice.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <pappl/pappl.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "app/DeviceLink.h"

namespace tavel {
namespace {

constexpr int kReadWaitMs = 1000;  // what PAPPL's reads of the device wait for

struct OpenSocket {
  LinkEnd end;
  std::string host;
};

// Connects within the time left; the socket or -1 with errno.
int ConnectTo(const struct addrinfo* ai, long leftMs) {
  const int fd = ConnectWithin(ai->ai_family, ai->ai_protocol, ai->ai_addr,
                               static_cast<unsigned>(ai->ai_addrlen), leftMs);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Each address of the host in turn, all within kConnectTimeoutMs.
int Connect(pappl_device_t* device, const std::string& host, int port) {
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  struct addrinfo* list = nullptr;
  const int found = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (found != 0) {
    papplDeviceError(device, "Unable to find the printer \"%s\": %s", host.c_str(),
                     gai_strerror(found));
    return -1;
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
  int fd = -1;
  int error = ETIMEDOUT;
  for (const struct addrinfo* ai = list; ai && fd < 0; ai = ai->ai_next) {
    const long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) break;
    fd = ConnectTo(ai, left);
    if (fd < 0) error = errno;
  }
  freeaddrinfo(list);
  if (fd < 0)
    papplDeviceError(device, "Unable to connect to the printer %s:%d: %s", host.c_str(), port,
                     std::strerror(error));
  return fd;
}

bool OpenDevice(pappl_device_t* device, const char* uri, const char*) {
  std::string host, why;
  int port = 0;
  if (!ParseSocketUri(uri, &host, &port, &why)) {
    papplDeviceError(device, "%s", why.c_str());
    return false;
  }
  OpenSocket* open = new (std::nothrow) OpenSocket;
  if (!open) return false;
  open->host = host;
  open->end.socket = true;
  open->end.fd = Connect(device, host, port);
  if (open->end.fd < 0) {
    delete open;
    return false;
  }
  papplDeviceSetData(device, open);
  RegisterLink(device, &open->end);
  return true;
}

void CloseDevice(pappl_device_t* device) {
  OpenSocket* open = static_cast<OpenSocket*>(papplDeviceGetData(device));
  if (!open) return;
  ForgetLink(device);
  close(open->end.fd);
  delete open;
  papplDeviceSetData(device, nullptr);
}

ssize_t ReadDevice(pappl_device_t* device, void* buffer, size_t bytes) {
  OpenSocket* open = static_cast<OpenSocket*>(papplDeviceGetData(device));
  return open ? ReadWithin(&open->end, buffer, bytes, kReadWaitMs) : -1;
}

ssize_t WriteDevice(pappl_device_t* device, const void* buffer, size_t bytes) {
  OpenSocket* open = static_cast<OpenSocket*>(papplDeviceGetData(device));
  if (!open) return -1;
  int error = 0;
  if (!WriteAll(&open->end, buffer, bytes, &error)) {
    if (error == EPIPE || error == ECONNRESET)
      papplDeviceError(device, "The printer closed the connection.");
    else
      papplDeviceError(device, "Unable to write to the printer %s: %s", open->host.c_str(),
                       std::strerror(error));
    return -1;
  }
  return static_cast<ssize_t>(bytes);
}

pappl_preason_t DeviceStatus(pappl_device_t*) { return PAPPL_PREASON_NONE; }

bool ParsePort(const char* text, size_t length, int* port) {
  if (length == 0 || length > 5) return false;
  long value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  *port = static_cast<int>(value);
  return value >= 1 && value <= 65535;
}

}  // namespace

bool ParseSocketUri(const char* uri, std::string* host, int* port, std::string* why) {
  const char kPrefix[] = "socket://";
  const std::string shown = uri ? uri : "";
  if (!uri || std::strncmp(uri, kPrefix, sizeof kPrefix - 1) != 0) {
    *why = "\"" + shown + "\" is not a socket:// device URI.";
    return false;
  }
  const char* p = uri + sizeof kPrefix - 1;
  const char* end = p;
  if (*p == '[') {  // an IPv6 address
    end = std::strchr(p, ']');
    if (!end) {
      *why = "\"" + shown + "\" has an unclosed [IPv6 address].";
      return false;
    }
    host->assign(p + 1, static_cast<size_t>(end - p - 1));
    ++end;
  } else {
    end = p + std::strcspn(p, ":/?#");
    host->assign(p, static_cast<size_t>(end - p));
  }
  if (host->empty() || host->size() > kMaxHostName) {
    *why = "\"" + shown + "\" names no printer host (1 to " + std::to_string(kMaxHostName) +
           " characters).";
    return false;
  }
  *port = kSocketDefaultPort;
  if (*end == ':') {
    const size_t length = std::strcspn(end + 1, "/?#");
    if (!ParsePort(end + 1, length, port)) {
      *why = "\"" + shown + "\" has no port from 1 to 65535.";
      return false;
    }
    end += 1 + length;
  }
  if (*end && *end != '/' && *end != '?' && *end != '#') {
    *why = "\"" + shown + "\" is not socket://HOST[:PORT].";
    return false;
  }
  return true;
}

void AddSocketScheme() {
  papplDeviceAddScheme("socket", PAPPL_DEVTYPE_SOCKET, nullptr, OpenDevice, CloseDevice,
                       ReadDevice, WriteDevice, DeviceStatus, nullptr);
}

}  // namespace tavel
