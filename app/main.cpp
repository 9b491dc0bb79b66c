// tavelpress: the printer application. IPP Everywhere printing to the
// label, receipt and pocket printers the engine drives, through PAPPL's
// standard sub-commands (server, add, submit, ...).
//
// Server options (-o name=value): listen-hostname (default localhost; "*"
// for every address; but for localhost, with TLS: Tls.h), server-port
// (default 8000), spool-directory, state-file (printers and settings
// survive restarts), log-file, log-level, preview-jobs (jobs whose previews
// each printer keeps, default 5, 0 for none), preview-directory (where
// previews and test pages are written; default the spool directory's
// "previews", else a folder of the user's in /tmp), auth-service,
// admin-group, print-group (the login for administration:
// Authorization.h), config-file (ServerConfig.h),
// file-device-folder (the one folder file: devices may write under;
// without it they are off: FileDevice.h), auto-add ("no": USB printers
// are not added when plugged in: AutoAdd.h).
#include <pappl/pappl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "app/Authorization.h"
#include "app/AutoAdd.h"
#include "app/DeviceIdMatch.h"
#include "app/Discovery.h"
#include "app/FileDevice.h"
#include "app/JobPreview.h"
#include "app/JobQueue.h"
#include "app/Listeners.h"
#include "app/PrinterAttributes.h"
#include "app/PrinterDriver.h"
#include "app/RasterJob.h"
#include "app/RawJob.h"
#include "app/SerialDevice.h"
#include "app/ServerConfig.h"
#include "app/StateFile.h"
#include "app/StatusWatch.h"
#include "app/Tls.h"
#include "app/WebPages.h"
#include "tavelpress/Version.h"

namespace {

constexpr int kDefaultPort = 8000;
#ifdef __GLIBC__
constexpr int kMallocArenas = 2;
#endif  // the application's IPP and web port

const char* OptionOr(int count, cups_option_t* options, const char* name, const char* fallback) {
  const char* value = cupsGetOption(name, count, options);
  return value && *value ? value : fallback;
}

pappl_loglevel_t LogLevel(const char* name) {
  if (!std::strcmp(name, "debug")) return PAPPL_LOGLEVEL_DEBUG;
  if (!std::strcmp(name, "info")) return PAPPL_LOGLEVEL_INFO;
  if (!std::strcmp(name, "error")) return PAPPL_LOGLEVEL_ERROR;
  if (!std::strcmp(name, "fatal")) return PAPPL_LOGLEVEL_FATAL;
  return PAPPL_LOGLEVEL_WARN;
}

// The previews' folder when none is given: beside the spool, or the user's
// own in the temporary folder.
std::string PreviewDirectory(int count, cups_option_t* options, const char* spool) {
  if (const char* dir = OptionOr(count, options, "preview-directory", nullptr)) return dir;
  if (spool) return std::string(spool) + "/previews";
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/tavelpress-previews-" +
         std::to_string(getuid());
}

void PrinterCreated(pappl_printer_t* printer, void*) {
  tavel::AddPreviewPage(printer);
  tavel::AddPrinterPages(printer);
  tavel::AddStatusPage(printer);
  tavel::SetPrinterSupplies(printer);
  tavel::StartStatusCheck(printer);
}

// The folder of the server's certificate, made for the server alone.
void MakeCertificateFolder(pappl_system_t* system) {
  const std::string& folder = tavel::CertificateFolder();
  if (folder.empty()) return;
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to make the TLS folder \"%s\": %s",
             folder.c_str(), std::strerror(errno));
}

bool SaveState(pappl_system_t* system, void* path) {
  return papplSystemSaveState(system, static_cast<const char*>(path));
}

// Job previews as the options ask (how many, and where); a folder that can't
// be used is logged and the server runs without them.
void SetUpPreviews(pappl_system_t* system, int count, cups_option_t* options, const char* spool) {
  tavel::PreviewSettings previews;
  previews.directory = PreviewDirectory(count, options, spool);
  previews.jobs = std::atoi(OptionOr(count, options, "preview-jobs",
                                     std::to_string(tavel::kDefaultPreviewJobs).c_str()));
  tavel::ConfigurePreviews(previews);
  if (previews.jobs > 0 && !tavel::PreviewsOn())
    papplLog(system, PAPPL_LOGLEVEL_WARN, "No job previews: unable to use \"%s\".",
             previews.directory.c_str());
}

// The document formats the application prints, each through its own filter.
void AddDocumentFilters(pappl_system_t* system) {
  // PAPPL prints raster files from its spool (the test page) through a filter.
  papplSystemAddMIMEFilter(system, "image/pwg-raster", "image/pwg-raster",
                           CRasterJob::PrintRasterFile, nullptr);
  papplSystemAddMIMEFilter(system, "application/pdf", "image/pwg-raster",
                           CRasterJob::PrintPdfFile, nullptr);
  // PNG and JPEG are read by the application itself (PAPPL's own readers,
  // which come first for these types, are replaced: app/ImageFilters.cpp).
  papplSystemAddMIMEFilter(system, "image/png", "image/pwg-raster", CRasterJob::PrintImageFile,
                           nullptr);
  papplSystemAddMIMEFilter(system, "image/jpeg", "image/pwg-raster", CRasterJob::PrintImageFile,
                           nullptr);
  tavel::AddRawFilters(system);
}

pappl_system_t* CreateSystem(int count, cups_option_t* options, void*) {
  // The configuration file's options under the command line's; they live
  // as long as the server (the state file's name is kept).
  static tavel::ServerOptions merged;
  std::string error;
  if (!merged.Load(count, options, &error)) {
    std::fprintf(stderr, "tavelpress: %s\n", error.c_str());
    return nullptr;
  }
  count = merged.Count();
  options = merged.Options();
  const tavel::LoginSettings login = tavel::LoginFromOptions(count, options);
  const char* host = OptionOr(count, options, "listen-hostname", "localhost");
  const int port = std::atoi(OptionOr(count, options, "server-port", "0"));
  const char* spool = OptionOr(count, options, "spool-directory", nullptr);
  const char* logFile = OptionOr(count, options, "log-file", "-");
  const char* state = OptionOr(count, options, "state-file", nullptr);
  const pappl_loglevel_t level = LogLevel(OptionOr(count, options, "log-level", "warn"));

  // A server for this machine alone has no use for TLS. With it, the
  // certificate is kept in the spool directory's "tls" (without one, in
  // libcups's default folder); PAPPL names it while it is being created.
  const bool tlsOn = !tavel::LoopbackOnly(host);
  if (tlsOn && spool) tavel::SetCertificateFolder(std::string(spool) + "/tls");
  const unsigned tls = tlsOn ? 0 : PAPPL_SOPTIONS_NO_TLS;
  pappl_system_t* system = papplSystemCreate(
      static_cast<pappl_soptions_t>(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE |
                                    PAPPL_SOPTIONS_WEB_LOG | tls),
      "Tavelpress", port > 0 ? port : kDefaultPort, "_print,_universal", spool, logFile, level,
      login.On() ? login.service.c_str() : nullptr, false);
  if (!system) return nullptr;
  MakeCertificateFolder(system);
  if (!tavel::ConfigureLogin(system, login, &error)) {
    std::fprintf(stderr, "tavelpress: %s\n", error.c_str());
    papplSystemDelete(system);
    return nullptr;
  }
  // Before the state file: its printers are made through the same check.
  if (!tavel::SetFileDeviceFolder(OptionOr(count, options, "file-device-folder", ""), &error)) {
    std::fprintf(stderr, "tavelpress: %s\n", error.c_str());
    papplSystemDelete(system);
    return nullptr;
  }
  if (!tavel::JobQueueInPlace())
    papplLog(system, PAPPL_LOGLEVEL_WARN,
             "This PAPPL has no job thread entry point to queue jobs at: a printer may be "
             "handed two jobs at once.");
  // A server that can't have every address it was asked for stops here,
  // before it touches the state file of the server that has them.
  const char* listen = std::strcmp(host, "*") == 0 ? nullptr : host;
  std::string why;
  if (!papplSystemAddListeners(system, listen) ||
      !tavel::NoListenerConflict(listen, port > 0 ? port : kDefaultPort, &why)) {
    if (why.empty()) why = std::string("Unable to listen on \"") + host + "\".";
    papplLog(system, PAPPL_LOGLEVEL_FATAL, "%s", why.c_str());
    std::fprintf(stderr, "tavelpress: %s\n", why.c_str());
    papplSystemDelete(system);
    return nullptr;
  }
  tavel::AddSystemPages(system);
  std::vector<pappl_pr_driver_t>& drivers = tavel::DriverList();
  SetUpPreviews(system, count, options, spool);
  papplSystemSetPrinterDrivers(system, static_cast<int>(drivers.size()), drivers.data(),
                               tavel::AutoAddDriver, PrinterCreated, tavel::SetupDriver, nullptr);
  AddDocumentFilters(system);
  // The web pages name the vendor options from the option table, with no
  // strings file: with one, PAPPL 1.3.1 adds its language once more to the
  // printer's printer-strings-languages-supported at every request.
  papplSystemSetFooterHTML(system, "tavelpress: labels, receipts and pocket printers");
  if (state) {
    if (spool) tavel::CleanJobFiles(spool, system);
    papplSystemLoadState(system, state);
    papplSystemIteratePrinters(system, PrinterCreated, nullptr);
    papplSystemSetSaveCallback(system, SaveState, const_cast<char*>(state));
  }
  if (std::strcmp(OptionOr(count, options, "auto-add", "usb"), "no") != 0)
    tavel::StartUsbAutoAdd(system);
  return system;
}

}  // namespace

int main(int argc, char* argv[]) {
#ifdef __GLIBC__
  // PAPPL gives every job and every client a thread; glibc would give many
  // of them a heap of their own and keep what each one freed, so that a
  // server printing all day grows by tens of megabytes. Two heaps are plenty
  // for a print server.
  mallopt(M_ARENA_MAX, kMallocArenas);
#endif
  tavel::AddDeviceSchemes();
  if (argc == 2 && std::strcmp(argv[1], "devices") == 0) return tavel::ShowDevices();
  std::vector<pappl_pr_driver_t>& drivers = tavel::DriverList();
  return papplMainloop(argc, argv, kTavelVersion, nullptr, static_cast<int>(drivers.size()),
                       drivers.data(), tavel::AutoAddDriver, tavel::SetupDriver, nullptr, nullptr,
                       CreateSystem, nullptr, nullptr);
}
