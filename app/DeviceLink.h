// The printer link (render/PrinterLink.h) of a job's or a status check's
// device: the application's own device schemes (socket://, serial://)
// can be read with a time limit, so their printers can be asked how they
// are. PAPPL's own devices (USB, file) are never read here: a USB read
// waits for seconds on a printer that does not answer.
//
// The link sends what PAPPL still buffers for the device first, so a
// question never overtakes the page bytes before it.
#pragma once

#include <pappl/pappl.h>

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <string>

#include "render/PrinterLink.h"

namespace tavel {

// The link of an open device, or null when the device can't answer (a
// scheme that is not the application's own). The link lives as long as
// the device stays open.
IPrinterLink* DeviceLink(pappl_device_t* device);

// For the application's own schemes: the two-way end of an open device.
// Its writes go out in chunks of `chunk` bytes with `pauseMs` after each
// (a serial printer's small buffer); a socket's with send(MSG_NOSIGNAL),
// so a closed connection is an error, not a SIGPIPE.
struct LinkEnd {
  int fd = -1;
  bool socket = false;
  size_t chunk = static_cast<size_t>(-1);
  int pauseMs = 0;
  std::atomic<bool> lost{false};  // a write failed: the connection is gone
  // Set (with fd -1) by a scheme whose device opened without a connection:
  // why there is none, for the job's message.
  std::string failure;
};

// Writes all bytes; false with errno-style `*error` when the end fails
// (then `lost` is set).
bool WriteAll(LinkEnd* end, const void* data, size_t length, int* error);
// Reads what arrives within timeoutMs: bytes, 0 (nothing), -1 (closed).
long ReadWithin(LinkEnd* end, void* buffer, size_t size, int timeoutMs);

// A stream socket of `family` and `protocol` connected to `address` within
// `limitMs` (a printer switched off never answers), blocking again once
// connected; -1 with errno when it fails, `*noSocket` set when not even
// the socket could be made.
int ConnectWithin(int family, int protocol, const struct sockaddr* address, unsigned size,
                  long limitMs, bool* noSocket = nullptr);

// An own scheme's open callback registers its device's end, its close
// callback forgets it before the end goes away.
void RegisterLink(pappl_device_t* device, LinkEnd* end);
void ForgetLink(pappl_device_t* device);

// The failure of the device's end ("" when it has none or is not one of
// the application's own).
std::string LinkFailure(pappl_device_t* device);

}  // namespace tavel
