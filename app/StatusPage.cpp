// A printer's "Supplies" page (/PRINTER/supplies): what the printer last
// said of itself, in words, and each supply with its level (the roll's is
// never known; a pocket printer's battery is). Showing the page asks an
// idle printer first, as PAPPL's own pages do.
#include <cstdint>
#include <mutex>
#include <set>

#include "app/StatusWatch.h"
#include "app/WebPages.h"

namespace tavel {
namespace {

constexpr int kMaxShownSupplies = 8;

bool ServeStatus(pappl_client_t* client, void* data) {
  const int id = static_cast<int>(reinterpret_cast<intptr_t>(data));
  pappl_printer_t* printer =
      papplSystemFindPrinter(papplClientGetSystem(client), nullptr, id, nullptr);
  if (!printer) return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
  UpdatePrinterStatus(printer);
  papplClientHTMLPrinterHeader(client, printer, "Supplies", 0, nullptr, nullptr);
  papplClientHTMLPuts(client, "<div class=\"row\"><div class=\"col-12\">\n"
                              "<p class=\"printer-says\">");
  papplClientHTMLEscape(client, StatusInWords(printer).c_str(), 0);
  papplClientHTMLPuts(client, "</p>\n<table class=\"form\"><tbody>\n");
  pappl_supply_t supplies[kMaxShownSupplies];
  const int count = papplPrinterGetSupplies(printer, kMaxShownSupplies, supplies);
  for (int i = 0; i < count && i < kMaxShownSupplies; ++i) {
    papplClientHTMLPuts(client, "<tr><th>");
    papplClientHTMLEscape(client, supplies[i].description, 0);
    if (supplies[i].level >= 0)
      ClientPrintf(client,
                   ":</th><td><meter min=\"0\" max=\"100\" value=\"%d\"></meter> %d %%</td>"
                   "</tr>\n",
                   supplies[i].level, supplies[i].level);
    else
      papplClientHTMLPuts(client, ":</th><td>level not known</td></tr>\n");
  }
  papplClientHTMLPuts(client, "</tbody></table>\n</div></div>\n");
  papplClientHTMLPrinterFooter(client);
  return true;
}

}  // namespace

void AddStatusPage(pappl_printer_t* printer) {
  static std::mutex lock;
  static std::set<int> added;
  {
    std::lock_guard<std::mutex> hold(lock);
    if (!added.insert(papplPrinterGetID(printer)).second) return;
  }
  char path[256];
  papplPrinterGetPath(printer, "supplies", path, sizeof path);
  void* data = reinterpret_cast<void*>(static_cast<intptr_t>(papplPrinterGetID(printer)));
  papplSystemAddResourceCallback(papplPrinterGetSystem(printer), path, "text/html", ServeStatus,
                                 data);
  papplPrinterAddLink(printer, SuppliesLabel(-1).c_str(), path, PAPPL_LOPTIONS_STATUS);
}

}  // namespace tavel
