// TLS for a server that listens on the network: PAPPL offers it through
// libcups, which makes a self-signed certificate for the server's host name
// at the first encrypted connection, in the folder it is given. The
// application names that folder (the server's own, not libcups's default,
// which for root is CUPS's) and keeps PAPPL's printer URIs and their
// security in step.
#pragma once

#include <cups/cups.h>

#include <string>

namespace tavel {

// Whether `host` (the listen-hostname option) names this machine alone,
// where TLS serves no purpose: the names that mean it by convention, so
// that any other name or address, loopback ones included, offers TLS.
bool LoopbackOnly(const char* host);

// The folder the server's certificate and key are kept in
// (HOSTNAME.crt, HOSTNAME.key); empty leaves libcups's default.
void SetCertificateFolder(const std::string& folder);
const std::string& CertificateFolder();

// PAPPL 1.3 lists the secure URIs in printer-uri-supported only for clients
// on another machine, but "none,tls" in uri-security-supported for all. In
// each printer group of `response` with both, uri-security-supported is
// made to pair up with the URIs: "tls" for ipps, "none" for the others.
void MatchUriSecurity(ipp_t* response);

}  // namespace tavel
