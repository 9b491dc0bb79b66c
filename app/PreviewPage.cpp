// The "Previews" page of a printer in the web interface: its kept jobs,
// newest first, each with its byte count, every page as a picture at its
// size in dots (one screen pixel per dot) with its size in millimetres, and
// the commands the decoder found, with what they make the printer do. The
// same address serves the pictures: ?job=ID&page=N.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>

#include "app/JobPreview.h"
#include "app/WebPages.h"

namespace tavel {
namespace {

constexpr double kMmPerInch = 25.4;

pappl_printer_t* PrinterOf(pappl_client_t* client, void* data) {
  const int id = static_cast<int>(reinterpret_cast<intptr_t>(data));
  return papplSystemFindPrinter(papplClientGetSystem(client), nullptr, id, nullptr);
}

// A number of the query, 1 to INT_MAX (job ids and page numbers); the text
// after it in *end.
bool QueryNumber(const char* text, const char* name, int* value, const char** end) {
  const size_t length = std::strlen(name);
  if (std::strncmp(text, name, length) != 0 || !std::isdigit(static_cast<unsigned char>(
                                                    text[length])))
    return false;
  errno = 0;
  char* stop = nullptr;
  const long n = std::strtol(text + length, &stop, 10);
  if (errno || n < 1 || n > INT_MAX) return false;
  *value = static_cast<int>(n);
  *end = stop;
  return true;
}

// "job=12&page=3" from the request's query; false when it is not that.
bool PictureWanted(const char* query, int* job, int* page) {
  if (!query) return false;
  const char* rest = nullptr;
  return QueryNumber(query, "job=", job, &rest) && QueryNumber(rest, "&page=", page, &rest) &&
         !*rest;
}

bool SendPicture(pappl_client_t* client, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string png((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (path.empty() || png.empty())
    return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
  if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "image/png", 0, png.size()))
    return false;
  http_t* http = papplClientGetHTTP(client);
  return httpWrite2(http, png.data(), png.size()) == static_cast<ssize_t>(png.size()) &&
         httpFlushWrite(http) >= 0;
}

std::string Mm(uint64_t dots, int dpi) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(dots) * kMmPerInch / dpi);
  return text;
}

bool ServePreviews(pappl_client_t* client, void* data) {
  pappl_printer_t* printer = PrinterOf(client, data);
  if (!printer) return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
  // The pictures are what was printed: shown only to those the web
  // interface lets administer (local users; others with the password).
  if (!papplClientHTMLAuthorize(client)) return true;
  const std::string folder = PreviewFolder(printer);
  int jobId = 0, page = 0;
  if (PictureWanted(papplClientGetOptions(client), &jobId, &page))
    return SendPicture(client, folder.empty() ? "" : PreviewPngPath(folder, jobId, page));

  char self[256];
  papplPrinterGetPath(printer, "previews", self, sizeof self);
  papplClientHTMLPrinterHeader(client, printer, "Previews", 0, nullptr, nullptr);
  ClientPrintf(client,
                        "<div class=\"row\"><div class=\"col-12\">\n"
                        "<p>The last %d jobs as the printer got them: the bytes sent, "
                        "decoded back into pages and commands. One screen pixel is one "
                        "dot.</p>\n",
                        Previews().jobs);
  const std::vector<JobPreview> jobs = folder.empty() ? std::vector<JobPreview>()
                                                      : ListPreviews(folder);
  if (jobs.empty()) papplClientHTMLPuts(client, "<p>No jobs yet.</p>\n");
  for (const JobPreview& job : jobs) {
    char when[64] = "";
    const time_t t = static_cast<time_t>(job.time);
    struct tm tm;
    if (localtime_r(&t, &tm)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    ClientPrintf(client, "<h2 class=\"title\" id=\"job-%d\">Job %d: ", job.id, job.id);
    papplClientHTMLEscape(client, job.name.c_str(), 0);
    ClientPrintf(client,
                          "</h2>\n<p class=\"preview-summary\">%llu bytes of %s at %d dpi, "
                          "%zu page(s), %s</p>\n",
                          static_cast<unsigned long long>(job.bytes), job.language.c_str(),
                          job.dpi, job.pages.size(), when);
    if (!job.skipped.empty()) {
      papplClientHTMLPuts(client, "<p class=\"preview-skipped\"><b>No preview:</b> ");
      papplClientHTMLEscape(client, job.skipped.c_str(), 0);
      papplClientHTMLPuts(client, "</p>\n");
      continue;
    }
    if (!job.error.empty()) {
      papplClientHTMLPuts(client, "<p><b>The decoder stopped:</b> ");
      papplClientHTMLEscape(client, job.error.c_str(), 0);
      papplClientHTMLPuts(client, "</p>\n");
    }
    for (size_t i = 0; i < job.pages.size(); ++i) {
      const PreviewPage& p = job.pages[i];
      const int dpi = job.dpi > 0 ? job.dpi : 203;
      ClientPrintf(client,
                            "<h3 class=\"preview-page\">Page %zu: %llu x %llu dots "
                            "(%s x %s mm)</h3>\n",
                            i + 1, static_cast<unsigned long long>(p.width),
                            static_cast<unsigned long long>(p.height),
                            Mm(p.width, dpi).c_str(), Mm(p.height, dpi).c_str());
      if (p.width && p.height)
        ClientPrintf(client,
                              "<p><img src=\"%s?job=%d&amp;page=%zu\" width=\"%llu\" "
                              "height=\"%llu\" alt=\"page %zu\" style=\"image-rendering: "
                              "pixelated; max-width: none; border: 1px solid #888;\"></p>\n",
                              self, job.id, i + 1, static_cast<unsigned long long>(p.width),
                              static_cast<unsigned long long>(p.height), i + 1);
    }
    papplClientHTMLPuts(client, "<details open><summary>Commands</summary>"
                                "<pre class=\"preview-commands\">");
    papplClientHTMLEscape(client, job.commands.c_str(), 0);
    papplClientHTMLPuts(client, "</pre></details>\n");
  }
  papplClientHTMLPuts(client, "</div></div>\n");
  papplClientHTMLPrinterFooter(client);
  return true;
}

}  // namespace

void AddPreviewPage(pappl_printer_t* printer) {
  // PAPPL calls for a new printer; the application also for each printer
  // of the state file. Once each.
  static std::mutex lock;
  static std::set<int> added;
  {
    std::lock_guard<std::mutex> hold(lock);
    if (!added.insert(papplPrinterGetID(printer)).second) return;
  }
  char path[256];
  papplPrinterGetPath(printer, "previews", path, sizeof path);
  void* data = reinterpret_cast<void*>(static_cast<intptr_t>(papplPrinterGetID(printer)));
  papplSystemAddResourceCallback(papplPrinterGetSystem(printer), path, "text/html",
                                 ServePreviews, data);
  papplPrinterAddLink(printer, "Previews", path,
                      static_cast<pappl_loptions_t>(PAPPL_LOPTIONS_NAVIGATION |
                                                    PAPPL_LOPTIONS_STATUS));
}

}  // namespace tavel
