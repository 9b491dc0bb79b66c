#include "app/WebPages.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/DeviceIdMatch.h"
#include "app/Discovery.h"
#include "app/JobSettings.h"
#include "app/ModelTable.h"
#include "app/PrinterDriver.h"
#include "app/VendorOptions.h"

namespace tavel {

void ClientPrintf(pappl_client_t* client, const char* format, ...) {
  char text[kPageTextBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  papplClientHTMLPuts(client, text);
}

namespace {

constexpr const char* kSaved = "Changes saved.";
constexpr const char* kBadForm = "Invalid form submission.";
constexpr const char* kOwnDarkness = "own";  // the darkness select's "printer's own"

// A keyword of a PAPPL bit field with the words shown for it.
struct Named {
  unsigned bit;
  const char* keyword;
  const char* label;
};

const Named kColorModes[] = {
    {PAPPL_COLOR_MODE_AUTO, "auto", "Automatic"},
    {PAPPL_COLOR_MODE_AUTO_MONOCHROME, "auto-monochrome", "Automatic monochrome"},
    {PAPPL_COLOR_MODE_BI_LEVEL, "bi-level", "Text (black and white)"},
    {PAPPL_COLOR_MODE_COLOR, "color", "Color"},
    {PAPPL_COLOR_MODE_MONOCHROME, "monochrome", "Grayscale"},
    {PAPPL_COLOR_MODE_PROCESS_MONOCHROME, "process-monochrome", "Process grayscale"}};
const Named kContents[] = {{PAPPL_CONTENT_AUTO, "auto", "Automatic"},
                           {PAPPL_CONTENT_GRAPHIC, "graphic", "Graphics"},
                           {PAPPL_CONTENT_PHOTO, "photo", "Photo"},
                           {PAPPL_CONTENT_TEXT, "text", "Text"},
                           {PAPPL_CONTENT_TEXT_AND_GRAPHIC, "text-and-graphic",
                            "Text and graphics"}};
const Named kScalings[] = {{PAPPL_SCALING_AUTO, "auto", "Automatic"},
                           {PAPPL_SCALING_AUTO_FIT, "auto-fit", "Auto-fit"},
                           {PAPPL_SCALING_FILL, "fill", "Fill"},
                           {PAPPL_SCALING_FIT, "fit", "Fit"},
                           {PAPPL_SCALING_NONE, "none", "None"}};
const Named kQualities[] = {{IPP_QUALITY_DRAFT, "draft", "Draft"},
                            {IPP_QUALITY_NORMAL, "normal", "Normal"},
                            {IPP_QUALITY_HIGH, "high", "High"}};
const Named kOrientations[] = {{IPP_ORIENT_NONE, "none", "Automatic"},
                               {IPP_ORIENT_PORTRAIT, "portrait", "Portrait"},
                               {IPP_ORIENT_LANDSCAPE, "landscape", "Landscape"},
                               {IPP_ORIENT_REVERSE_LANDSCAPE, "reverse-landscape",
                                "Reverse landscape"},
                               {IPP_ORIENT_REVERSE_PORTRAIT, "reverse-portrait",
                                "Reverse portrait"}};
const Named kLabelModes[] = {{PAPPL_LABEL_MODE_APPLICATOR, "applicator", "Nothing"},
                             {PAPPL_LABEL_MODE_TEAR_OFF, "tear-off", "Stop at the tear bar"},
                             {PAPPL_LABEL_MODE_PEEL_OFF, "peel-off", "Peel off"},
                             {PAPPL_LABEL_MODE_CUTTER, "cutter", "Cut"},
                             {PAPPL_LABEL_MODE_CUTTER_DELAYED, "cutter-delayed", "Cut partly"}};
constexpr unsigned kAnyBit = ~0u;

struct Choice {
  std::string value, label;
};

std::string Html(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

void SelectRow(pappl_client_t* client, const std::string& label, const char* name,
               const std::vector<Choice>& choices, const std::string& current) {
  ClientPrintf(client, "<tr><th>%s:</th><td><select name=\"%s\">", Html(label).c_str(), name);
  for (const Choice& c : choices)
    ClientPrintf(client, "<option value=\"%s\"%s>%s</option>", Html(c.value).c_str(),
        c.value == current ? " selected" : "", Html(c.label).c_str());
  papplClientHTMLPuts(client, "</select></td></tr>\n");
}

void InputRow(pappl_client_t* client, const char* label, const char* type, const char* name,
              const std::string& value, const char* extra = "") {
  ClientPrintf(client, "<tr><th>%s:</th><td><input type=\"%s\" name=\"%s\" value=\"%s\"%s></td></tr>\n",
      label, type, name, Html(value).c_str(), extra);
}

template <size_t N>
std::vector<Choice> BitChoices(const Named (&table)[N], unsigned allowed) {
  std::vector<Choice> choices;
  for (const Named& n : table)
    if (allowed & n.bit) choices.push_back({n.keyword, n.label});
  return choices;
}

template <size_t N>
const char* Keyword(const Named (&table)[N], unsigned bit) {
  for (const Named& n : table)
    if (n.bit == bit) return n.keyword;
  return "";
}

// Sets *field to the bit of the form's keyword when it is one allowed.
template <size_t N, typename T>
void PickBit(const char* value, const Named (&table)[N], unsigned allowed, T* field) {
  if (!value) return;
  for (const Named& n : table)
    if (std::strcmp(value, n.keyword) == 0 && (allowed & n.bit)) *field = static_cast<T>(n.bit);
}

bool ParseInt(const char* text, long lo, long hi, int* value) {
  if (!text || !*text) return false;
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (*end || v < lo || v > hi) return false;
  *value = static_cast<int>(v);
  return true;
}

class Form {
 public:
  explicit Form(pappl_client_t* client) { m_count = papplClientGetForm(client, &m_options); }
  ~Form() { cupsFreeOptions(m_count, m_options); }
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;
  bool Valid(pappl_client_t* client) { return papplClientIsValidForm(client, m_count, m_options); }
  const char* Get(const char* name) const { return cupsGetOption(name, m_count, m_options); }

 private:
  int m_count = 0;
  cups_option_t* m_options = nullptr;
};

pappl_printer_t* PrinterOf(pappl_client_t* client, void* data) {
  const int id = static_cast<int>(reinterpret_cast<intptr_t>(data));
  return papplSystemFindPrinter(papplClientGetSystem(client), nullptr, id, nullptr);
}

void Replace(pappl_system_t* system, const char* path, pappl_resource_cb_t cb, void* data) {
  papplSystemRemoveResource(system, path);
  papplSystemAddResourceCallback(system, path, "text/html", cb, data);
}

void Banner(pappl_client_t* client, const std::string& status) {
  if (!status.empty()) ClientPrintf(client, "<div class=\"banner\">%s</div>\n", Html(status).c_str());
}

// ---- Printing defaults ----------------------------------------------------

// The darkness as the page shows it: -1 for the printer's own, else the
// level the printer prints with.
int ShownDarkness(int levels, int configured) {
  return configured == kDarknessAsInstalled ? -1 : DarknessLevel(levels, configured);
}

// The percentage standing for level i of n in the select; never the value
// that means "the printer's own".
int LevelPercent(int i, int levels) {
  const int percent = levels > 1 ? 100 * i / (levels - 1) : 0;
  return percent == kDarknessAsInstalled ? percent + 1 : percent;
}

std::string SpeedLabel(int speed) {
  char text[64];
  if (speed % kSpeedPerInch == 0)
    std::snprintf(text, sizeof text, "%d inch%s/s", speed / kSpeedPerInch,
                  speed == kSpeedPerInch ? "" : "es");
  else
    std::snprintf(text, sizeof text, "%d mm/s", speed / 100);
  return text;
}

std::string VendorDefault(ipp_t* attrs, const ModelInfo& model, const VendorOption& option) {
  const std::string name = std::string(option.name) + "-default";
  if (ipp_attribute_t* a = attrs ? ippFindAttribute(attrs, name.c_str(), IPP_TAG_ZERO) : nullptr)
    return ippGetValueTag(a) == IPP_TAG_INTEGER ? std::to_string(ippGetInteger(a, 0))
                                                : std::string(ippGetString(a, 0, nullptr));
  const ModelOption* ppd = model.Option(option.keyword);
  return ppd ? VendorValue(option, ppd->defaultChoice) : "";
}

void ShowPrinting(pappl_client_t* client, pappl_printer_t* printer, const ModelInfo* model,
                  const std::string& status) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  char self[256], media[256];
  papplPrinterGetPath(printer, "printing", self, sizeof self);
  papplPrinterGetPath(printer, "media", media, sizeof media);
  papplClientHTMLPrinterHeader(client, printer, "Printing Defaults", 0, nullptr, nullptr);
  Banner(client, status);
  papplClientHTMLStartForm(client, self, false);
  papplClientHTMLPuts(client, "<table class=\"form\"><tbody>\n");
  const pappl_media_col_t& m = data.media_default;
  ClientPrintf(client,
      "<tr><th>Media:</th><td>%s, %.1f x %.1f mm, %s <a class=\"btn\" href=\"%s\">"
      "Configure Media</a></td></tr>\n",
      Html(m.size_name).c_str(), m.size_width / 100.0, m.size_length / 100.0,
      Html(m.type).c_str(), media);
  SelectRow(client, "Orientation", "orientation-requested",
            BitChoices(kOrientations, kAnyBit),
            Keyword(kOrientations, data.orient_default));
  SelectRow(client, "Print Mode", "print-color-mode",
            BitChoices(kColorModes, data.color_supported),
            Keyword(kColorModes, data.color_default));
  SelectRow(client, "Print Quality", "print-quality", BitChoices(kQualities, kAnyBit),
            Keyword(kQualities, data.quality_default));
  if (data.darkness_supported > 0) {
    const int levels = data.darkness_supported;
    std::vector<Choice> choices = {{kOwnDarkness, "The printer's own"}};
    std::string current = kOwnDarkness;
    for (int i = 0; i < levels; ++i) {
      const std::string value = std::to_string(LevelPercent(i, levels));
      choices.push_back({value, "Level " + std::to_string(i) + " (" + value + " %)"});
      if (ShownDarkness(levels, data.darkness_configured) == i) current = value;
    }
    SelectRow(client, "Darkness", "print-darkness", choices, current);
  }
  if (model && data.speed_supported[1] > 0) {
    std::vector<Choice> choices = {{"0", "The printer's own"}};
    std::string current = "0";
    const int step = SpeedStep(*model);
    for (int v = data.speed_supported[0]; v <= data.speed_supported[1] && step > 0; v += step) {
      choices.push_back({std::to_string(v), SpeedLabel(v)});
      if (data.speed_default > 0 && SpeedLevel(*model, v) == SpeedLevel(*model, data.speed_default))
        current = std::to_string(v);
    }
    SelectRow(client, "Speed", "print-speed", choices, current);
  }
  SelectRow(client, "Optimize For", "print-content-optimize",
            BitChoices(kContents, kAnyBit), Keyword(kContents, data.content_default));
  SelectRow(client, "Scaling", "print-scaling", BitChoices(kScalings, kAnyBit),
            Keyword(kScalings, data.scaling_default));
  ClientPrintf(client, "<tr><th>Resolution:</th><td>%d dpi</td></tr>\n", data.x_default);
  if (data.mode_supported)
    SelectRow(client, "After each label", "label-mode-configured",
              BitChoices(kLabelModes, data.mode_supported),
              Keyword(kLabelModes, data.mode_configured));
  if (model) {
    ipp_t* attrs = papplPrinterGetDriverAttributes(printer);
    for (const VendorOption* option : VendorOptionsFor(*model)) {
      const std::string current = VendorDefault(attrs, *model, *option);
      const std::string label = option->label;
      if (option->words.empty()) {
        char range[64];
        std::snprintf(range, sizeof range, " min=\"%d\" max=\"%d\"", option->minimum,
                      option->maximum);
        InputRow(client, Html(label).c_str(), "number", option->name, current, range);
        continue;
      }
      std::vector<Choice> choices;
      for (const VendorWord& w : option->words) choices.push_back({w.ipp, VendorWordLabel(w)});
      SelectRow(client, label, option->name, choices, current);
    }
    ippDelete(attrs);
  }
  papplClientHTMLPuts(client,
                      "<tr><th></th><td><input type=\"submit\" value=\"Save Changes\"></td></tr>\n"
                      "</tbody></table></form>\n");
  papplClientHTMLPrinterFooter(client);
}

bool SavePrinting(pappl_printer_t* printer, const ModelInfo* model, const Form& form) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  PickBit(form.Get("orientation-requested"), kOrientations, kAnyBit, &data.orient_default);
  PickBit(form.Get("print-color-mode"), kColorModes, data.color_supported,
          &data.color_default);
  PickBit(form.Get("print-quality"), kQualities, kAnyBit, &data.quality_default);
  PickBit(form.Get("print-content-optimize"), kContents, kAnyBit, &data.content_default);
  PickBit(form.Get("print-scaling"), kScalings, kAnyBit, &data.scaling_default);
  if (data.mode_supported)
    PickBit(form.Get("label-mode-configured"), kLabelModes, data.mode_supported,
            &data.mode_configured);
  // A value that means what the current one means leaves it as it is (a
  // darkness or speed set over IPP between two levels stays).
  const char* darkness = form.Get("print-darkness");
  int wanted = 0;
  if (data.darkness_supported > 0 && darkness) {
    if (std::strcmp(darkness, kOwnDarkness) == 0) wanted = kDarknessAsInstalled;
    else if (!ParseInt(darkness, 0, 100, &wanted)) wanted = data.darkness_configured;
    if (ShownDarkness(data.darkness_supported, wanted) !=
        ShownDarkness(data.darkness_supported, data.darkness_configured))
      data.darkness_configured = wanted;
  }
  if (model && data.speed_supported[1] > 0 &&
      ParseInt(form.Get("print-speed"), 0, data.speed_supported[1], &wanted) &&
      (wanted == 0 || wanted >= data.speed_supported[0]) &&
      SpeedLevel(*model, wanted) != SpeedLevel(*model, data.speed_default))
    data.speed_default = wanted;

  int count = 0;
  cups_option_t* vendor = nullptr;
  if (model) {
    ipp_t* attrs = papplPrinterGetDriverAttributes(printer);
    for (const VendorOption* option : VendorOptionsFor(*model)) {
      const char* value = form.Get(option->name);
      std::string choice;
      const std::string kept = value && VendorChoice(*option, value, &choice)
                                   ? std::string(value)
                                   : VendorDefault(attrs, *model, *option);
      count = cupsAddOption(option->name, kept.c_str(), count, &vendor);
    }
    ippDelete(attrs);
  }
  const bool ok = papplPrinterSetDriverDefaults(printer, &data, count, vendor);
  cupsFreeOptions(count, vendor);
  return ok;
}

bool ServePrinting(pappl_client_t* client, void* data) {
  pappl_printer_t* printer = PrinterOf(client, data);
  if (!printer) return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
  if (!papplClientHTMLAuthorize(client)) return true;
  const ModelInfo* model = FindModel(papplPrinterGetDriverName(printer));
  std::string status;
  if (papplClientGetMethod(client) == HTTP_STATE_POST) {
    Form form(client);
    if (!form.Valid(client)) status = kBadForm;
    else status = SavePrinting(printer, model, form) ? kSaved : "Unable to save the changes.";
  }
  ShowPrinting(client, printer, model, status);
  return true;
}

// ---- Configuration (the system's and each printer's) ----------------------

struct Identity {
  std::string dnssdName, location, geo, organization, unit;
  pappl_contact_t contact;
};

Identity GetIdentity(pappl_system_t* system, pappl_printer_t* printer) {
  Identity id;
  char text[1024];
  auto str = [&text](const char* value) { return std::string(value ? value : ""); };
  std::memset(&id.contact, 0, sizeof id.contact);
  if (printer) {
    id.dnssdName = str(papplPrinterGetDNSSDName(printer, text, sizeof text));
    id.location = str(papplPrinterGetLocation(printer, text, sizeof text));
    id.geo = str(papplPrinterGetGeoLocation(printer, text, sizeof text));
    id.organization = str(papplPrinterGetOrganization(printer, text, sizeof text));
    id.unit = str(papplPrinterGetOrganizationalUnit(printer, text, sizeof text));
    papplPrinterGetContact(printer, &id.contact);
  } else {
    id.dnssdName = str(papplSystemGetDNSSDName(system, text, sizeof text));
    id.location = str(papplSystemGetLocation(system, text, sizeof text));
    id.geo = str(papplSystemGetGeoLocation(system, text, sizeof text));
    id.organization = str(papplSystemGetOrganization(system, text, sizeof text));
    id.unit = str(papplSystemGetOrganizationalUnit(system, text, sizeof text));
    papplSystemGetContact(system, &id.contact);
  }
  return id;
}

// "geo:46.52,6.63" (maybe with an altitude or parameters) as its latitude
// and longitude texts; both empty when unset.
void SplitGeo(const std::string& geo, std::string* lat, std::string* lon) {
  lat->clear();
  lon->clear();
  if (geo.compare(0, 4, "geo:") != 0) return;
  const std::string rest = geo.substr(4, geo.find(';') == std::string::npos
                                             ? std::string::npos
                                             : geo.find(';') - 4);
  const size_t comma = rest.find(',');
  if (comma == std::string::npos) return;
  *lat = rest.substr(0, comma);
  *lon = rest.substr(comma + 1, rest.find(',', comma + 1) - comma - 1);
}

bool InRange(const char* text, double limit) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  return end != text && !*end && v >= -limit && v <= limit;
}

// Applies what changed; false and why when a value is not one to take.
bool SaveIdentity(pappl_system_t* system, pappl_printer_t* printer, const Form& form,
                  std::string* why) {
  const Identity now = GetIdentity(system, printer);
  auto changed = [&form](const char* name, const std::string& current) {
    const char* v = form.Get(name);
    return v && current != v ? v : nullptr;
  };
  const char* lat = form.Get("geo_location_lat");
  const char* lon = form.Get("geo_location_lon");
  std::string geo, nowLat, nowLon;
  SplitGeo(now.geo, &nowLat, &nowLon);
  bool setGeo = false;
  if (lat && lon && (nowLat != lat || nowLon != lon)) {
    setGeo = true;
    if (*lat || *lon) {
      if (!InRange(lat, 90) || !InRange(lon, 180)) {
        *why = "Bad latitude or longitude.";
        return false;
      }
      geo = std::string("geo:") + lat + "," + lon;
    }
  }
  pappl_contact_t contact = now.contact;
  bool setContact = false;
  const struct {
    const char* name;
    char* field;
    size_t size;
  } contactFields[] = {{"contact_name", contact.name, sizeof contact.name},
                       {"contact_email", contact.email, sizeof contact.email},
                       {"contact_telephone", contact.telephone, sizeof contact.telephone}};
  for (const auto& f : contactFields)
    if (const char* v = changed(f.name, f.field)) {
      std::snprintf(f.field, f.size, "%s", v);
      setContact = true;
    }
  const char* dnssd = changed("dns_sd_name", now.dnssdName);
  if (dnssd && !*dnssd) dnssd = nullptr;  // a service needs a name
  const char* location = changed("location", now.location);
  const char* organization = changed("organization", now.organization);
  const char* unit = changed("organizational_unit", now.unit);
  const char* geoValue = geo.empty() ? nullptr : geo.c_str();
  if (printer) {
    if (dnssd) papplPrinterSetDNSSDName(printer, dnssd);
    if (location) papplPrinterSetLocation(printer, location);
    if (setGeo) papplPrinterSetGeoLocation(printer, geoValue);
    if (organization) papplPrinterSetOrganization(printer, organization);
    if (unit) papplPrinterSetOrganizationalUnit(printer, unit);
    if (setContact) papplPrinterSetContact(printer, &contact);
  } else {
    if (dnssd) papplSystemSetDNSSDName(system, dnssd);
    if (location) papplSystemSetLocation(system, location);
    if (setGeo) papplSystemSetGeoLocation(system, geoValue);
    if (organization) papplSystemSetOrganization(system, organization);
    if (unit) papplSystemSetOrganizationalUnit(system, unit);
    if (setContact) papplSystemSetContact(system, &contact);
  }
  return true;
}

void ShowIdentity(pappl_client_t* client, const Identity& id, const char* self) {
  papplClientHTMLStartForm(client, self, false);
  papplClientHTMLPuts(client, "<table class=\"form\"><tbody>\n");
  std::string lat, lon;
  SplitGeo(id.geo, &lat, &lon);
  InputRow(client, "Name", "text", "dns_sd_name", id.dnssdName,
           " placeholder=\"DNS-SD Service Name\" required");
  InputRow(client, "Location", "text", "location", id.location,
           " placeholder=\"Human-Readable Location\"");
  InputRow(client, "Latitude", "number", "geo_location_lat", lat,
           " min=\"-90\" max=\"90\" step=\"any\" placeholder=\"not set\"");
  InputRow(client, "Longitude", "number", "geo_location_lon", lon,
           " min=\"-180\" max=\"180\" step=\"any\" placeholder=\"not set\"");
  InputRow(client, "Organization", "text", "organization", id.organization,
           " placeholder=\"Organization Name\"");
  InputRow(client, "Organizational Unit", "text", "organizational_unit", id.unit,
           " placeholder=\"Organizational Unit\"");
  InputRow(client, "Contact", "text", "contact_name", id.contact.name, " placeholder=\"Name\"");
  InputRow(client, "Email", "email", "contact_email", id.contact.email,
           " placeholder=\"name@domain\"");
  InputRow(client, "Telephone", "tel", "contact_telephone", id.contact.telephone,
           " placeholder=\"Telephone\"");
  papplClientHTMLPuts(client,
                      "<tr><th></th><td><input type=\"submit\" value=\"Save Changes\"></td></tr>\n"
                      "</tbody></table></form>\n");
}

std::string HandleIdentityPost(pappl_client_t* client, pappl_printer_t* printer) {
  if (papplClientGetMethod(client) != HTTP_STATE_POST) return "";
  Form form(client);
  if (!form.Valid(client)) return kBadForm;
  std::string why;
  return SaveIdentity(papplClientGetSystem(client), printer, form, &why) ? kSaved : why;
}

bool ServePrinterConfig(pappl_client_t* client, void* data) {
  pappl_printer_t* printer = PrinterOf(client, data);
  if (!printer) return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
  if (!papplClientHTMLAuthorize(client)) return true;
  const std::string status = HandleIdentityPost(client, printer);
  char self[256];
  papplPrinterGetPath(printer, "config", self, sizeof self);
  papplClientHTMLPrinterHeader(client, printer, "Configuration", 0, nullptr, nullptr);
  Banner(client, status);
  ShowIdentity(client, GetIdentity(papplClientGetSystem(client), printer), self);
  papplClientHTMLPrinterFooter(client);
  return true;
}

// Unlike the printer header, the system one leaves the HTTP answer to us.
bool SystemHeader(pappl_client_t* client, const char* title) {
  if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/html", 0, 0)) return false;
  papplClientHTMLHeader(client, title, 0);
  ClientPrintf(client,
      "<div class=\"content\"><div class=\"row\"><div class=\"col-12\">"
      "<h1 class=\"title\">%s</h1>\n",
      title);
  return true;
}

void SystemFooter(pappl_client_t* client) {
  papplClientHTMLPuts(client, "</div></div></div>\n");
  papplClientHTMLFooter(client);
}

bool ServeSystemConfig(pappl_client_t* client, void*) {
  if (!papplClientHTMLAuthorize(client)) return true;
  const std::string status = HandleIdentityPost(client, nullptr);
  if (!SystemHeader(client, "Configuration")) return false;
  Banner(client, status);
  ShowIdentity(client, GetIdentity(papplClientGetSystem(client), nullptr), "/config");
  SystemFooter(client);
  return true;
}

// ---- Add Printer ----------------------------------------------------------

constexpr const char* kSocketChoice = "socket";  // "a network printer at this address"
constexpr const char* kAutoDriver = "auto";      // the model the device's ID names

// The device URI the form names; "" and why when none.
std::string ChosenDevice(const Form& form, std::string* deviceId, std::string* why) {
  const char* typed = form.Get("device_uri_text");
  if (typed && *typed) return typed;
  const std::string chosen = form.Get("device_uri") ? form.Get("device_uri") : "";
  if (chosen == kSocketChoice) {
    const char* host = form.Get("hostname");
    if (!host || !*host || std::strpbrk(host, "/?#@ ")) {
      *why = "Enter the network printer's host name or address.";
      return "";
    }
    return std::string("socket://") + host;
  }
  const size_t bar = chosen.find('|');
  if (bar != std::string::npos) *deviceId = chosen.substr(bar + 1);
  if (chosen.empty()) *why = "Select a device or enter a device URI.";
  return chosen.substr(0, bar);
}

bool ShowAddPrinter(pappl_client_t* client, const std::string& status, const std::string& name);

// The model a found device's ID names, or null.
const ModelInfo* NamedModel(const FoundDevice& device) {
  const char* driver = MatchDeviceId(device.id);
  return driver ? FindModel(driver) : nullptr;
}

// The devices whose ID names a model, each with the model and the printer
// that uses it, if any (a USB printer gets one by itself: AutoAdd.h).
void ShowFoundPrinters(pappl_client_t* client, pappl_system_t* system,
                       const std::vector<FoundDevice>& found) {
  bool any = false;
  for (const FoundDevice& d : found) {
    const ModelInfo* model = NamedModel(d);
    if (!model) continue;
    if (!any)
      papplClientHTMLPuts(client, "<h2 class=\"title\">Printers found</h2>\n"
                                  "<table class=\"found\"><thead><tr><th>Device</th>"
                                  "<th>Model</th><th>Printer</th></tr></thead><tbody>\n");
    any = true;
    papplClientHTMLPuts(client, "<tr><td>");
    papplClientHTMLEscape(client, d.info.c_str(), 0);
    papplClientHTMLPuts(client, "</td><td>");
    papplClientHTMLEscape(client, model->modelName, 0);
    papplClientHTMLPuts(client, "</td><td>");
    pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, 0, d.uri.c_str());
    papplClientHTMLEscape(client, printer ? papplPrinterGetName(printer) : "not added yet", 0);
    papplClientHTMLPuts(client, "</td></tr>\n");
  }
  if (any) papplClientHTMLPuts(client, "</tbody></table>\n<h2 class=\"title\">Add</h2>\n");
}

bool ServeAddPrinter(pappl_client_t* client, void*) {
  if (!papplClientHTMLAuthorize(client)) return true;
  pappl_system_t* system = papplClientGetSystem(client);
  std::string status, name;
  if (papplClientGetMethod(client) == HTTP_STATE_POST) {
    Form form(client);
    std::string deviceId;
    name = form.Get("printer_name") ? form.Get("printer_name") : "";
    const char* driver = form.Get("driver_name");
    if (!form.Valid(client)) {
      status = kBadForm;
    } else if (name.empty()) {
      status = "Enter a name for the printer.";
    } else if (!driver || (!FindModel(driver) && std::strcmp(driver, kAutoDriver) != 0)) {
      status = "Select a driver.";
    } else {
      const std::string uri = ChosenDevice(form, &deviceId, &status);
      if (!uri.empty() && std::strcmp(driver, kAutoDriver) == 0) {
        driver = MatchDeviceId(deviceId);
        if (!driver) {
          status = "The device does not say which model it is: select a driver.";
          return ShowAddPrinter(client, status, name);
        }
      }
      if (!uri.empty()) {
        pappl_printer_t* printer = papplPrinterCreate(
            system, 0, name.c_str(), driver, deviceId.empty() ? nullptr : deviceId.c_str(),
            uri.c_str());
        if (printer) {
          char path[256];
          papplPrinterGetPath(printer, nullptr, path, sizeof path);
          return papplClientRespondRedirect(client, HTTP_STATUS_FOUND, path);
        }
        status = "Unable to add the printer \"" + name + "\" on " + uri +
                 " (the log says why).";
      }
    }
  }
  return ShowAddPrinter(client, status, name);
}

bool ShowAddPrinter(pappl_client_t* client, const std::string& status, const std::string& name) {
  pappl_system_t* system = papplClientGetSystem(client);
  bool networkOff = false;
  const std::vector<FoundDevice> found = FindDevices(system, &networkOff);
  if (!SystemHeader(client, "Add Printer")) return false;
  Banner(client, status);
  if (networkOff) ClientPrintf(client, "<p class=\"discovery-off\">%s</p>\n", kNetworkDiscoveryOff);
  ShowFoundPrinters(client, system, found);
  papplClientHTMLStartForm(client, "/addprinter", false);
  papplClientHTMLPuts(client, "<table class=\"form\"><tbody>\n");
  InputRow(client, "Name", "text", "printer_name", name,
           " placeholder=\"Name of printer\" required");
  std::vector<Choice> devices = {{"", "Select Device"}};
  // A device whose ID names a model says which.
  for (const FoundDevice& d : found) {
    const ModelInfo* model = NamedModel(d);
    devices.push_back({d.uri + "|" + d.id, model ? d.info + " (" + model->modelName + ")" : d.info});
  }
  devices.push_back({kSocketChoice, "Network printer (at the address below)"});
  SelectRow(client, "Device", "device_uri", devices, "");
  InputRow(client, "Hostname/IP Address", "text", "hostname", "",
           " placeholder=\"IP address or hostname\"");
  InputRow(client, "Or device URI", "text", "device_uri_text", "",
           " placeholder=\"serial:///dev/rfcomm0?chunk=128&amp;pause=20, file:///folder\"");
  std::vector<Choice> drivers = {{"", "Select Driver"},
                                 {kAutoDriver, "The model the device names"}};
  for (const pappl_pr_driver_t& d : DriverList()) drivers.push_back({d.name, d.description});
  SelectRow(client, "Driver", "driver_name", drivers, "");
  papplClientHTMLPuts(client,
                      "<tr><th></th><td><input type=\"submit\" value=\"Add Printer\"></td></tr>\n"
                      "</tbody></table></form>\n");
  SystemFooter(client);
  return true;
}

}  // namespace

void AddSystemPages(pappl_system_t* system) {
  Replace(system, "/config", ServeSystemConfig, nullptr);
  Replace(system, "/addprinter", ServeAddPrinter, nullptr);
}

void AddPrinterPages(pappl_printer_t* printer) {
  // PAPPL calls for a new printer, also for each printer of the state file;
  // the application once more (for each printer, holding the system's lock,
  // where replacing a page would wait for ever). Once each.
  static std::mutex lock;
  static std::set<int> added;
  {
    std::lock_guard<std::mutex> hold(lock);
    if (!added.insert(papplPrinterGetID(printer)).second) return;
  }
  pappl_system_t* system = papplPrinterGetSystem(printer);
  void* data = reinterpret_cast<void*>(static_cast<intptr_t>(papplPrinterGetID(printer)));
  char path[256];
  papplPrinterGetPath(printer, "printing", path, sizeof path);
  Replace(system, path, ServePrinting, data);
  papplPrinterGetPath(printer, "config", path, sizeof path);
  Replace(system, path, ServePrinterConfig, data);
}

}  // namespace tavel
