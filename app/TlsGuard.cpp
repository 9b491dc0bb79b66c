// The application stands in for three functions its libraries reach
// through the dynamic linker, and calls theirs:
// - libcups's cupsSetServerCredentials, which PAPPL calls with no folder
//   whenever it sets the host name: the certificate then goes to the
//   server's own folder (Tls.h) rather than the user's ~/.cups/ssl or, for
//   root, CUPS's /etc/cups/ssl;
// - PAPPL's handlers of printer and system requests: the answer's
//   uri-security-supported is made to pair up with printer-uri-supported
//   before PAPPL sends it (see MatchUriSecurity), a printer's state
//   reasons get those PAPPL has no bit for (AddStateKeywords), and a job
//   waiting for its printer shows as processing-stopped (ShowStoppedJobs).
#include <dlfcn.h>

#include <pappl/pappl.h>

#include "app/StatusWatch.h"
#include "app/Tls.h"

namespace {

using Credentials = int (*)(const char*, const char*, int);
using Handler = void (*)(pappl_client_t*);

template <typename Fn>
Fn LibraryFunction(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

void Answer(Handler handler, pappl_client_t* client) {
  if (!handler) return;
  handler(client);
  ipp_t* response = papplClientGetResponse(client);
  if (!response) return;
  tavel::MatchUriSecurity(response);
  if (papplClientGetOperation(client) == IPP_OP_GET_PRINTER_ATTRIBUTES)
    tavel::AddStateKeywords(papplClientGetPrinter(client), response);
  pappl_job_t* job = papplClientGetJob(client);
  tavel::ShowStoppedJobs(response, job ? papplJobGetID(job) : 0);
}

}  // namespace

extern "C" {

int cupsSetServerCredentials(const char* path, const char* commonName, int autoCreate) {
  static const Credentials cups = LibraryFunction<Credentials>(__func__);
  if (!cups) return 0;
  const std::string& own = tavel::CertificateFolder();
  return cups(!path && !own.empty() ? own.c_str() : path, commonName, autoCreate);
}

void _papplPrinterProcessIPP(pappl_client_t* client) {
  static const Handler pappl = LibraryFunction<Handler>(__func__);
  Answer(pappl, client);
}

void _papplJobProcessIPP(pappl_client_t* client) {
  static const Handler pappl = LibraryFunction<Handler>(__func__);
  Answer(pappl, client);
}

void _papplSystemProcessIPP(pappl_client_t* client) {
  static const Handler pappl = LibraryFunction<Handler>(__func__);
  Answer(pappl, client);
}

}  // extern "C"
