// The application's "socket" device scheme: a printer's raw TCP port.
//
//   socket://HOST[:PORT]    HOST a name, an IPv4 address or [IPv6]; PORT
//                           1-65535, 9100 when left out
//
// It takes PAPPL's place for the scheme (FileDevice.h's AddDeviceSchemes)
// so the connection can be read with a time limit (DeviceLink.h). The
// connect waits at most kConnectTimeoutMs over all of the host's
// addresses; a printer that closes the connection fails the write at once
// with "The printer closed the connection." Network printers are still
// listed by PAPPL's dnssd and snmp schemes: this one lists none.
#pragma once

#include <string>

namespace tavel {

constexpr int kSocketDefaultPort = 9100;
constexpr int kConnectTimeoutMs = 10000;
constexpr size_t kMaxHostName = 253;  // the longest DNS name

// Reads a socket: URI's host and port; false, with the reason, when it
// names no host or a port out of range.
bool ParseSocketUri(const char* uri, std::string* host, int* port, std::string* why);

// Registers the scheme with PAPPL (before PAPPL's network schemes).
void AddSocketScheme();

}  // namespace tavel
