#include "app/DeviceIdMatch.h"

#include <cctype>
#include <cstring>
#include <vector>

namespace tavel {
namespace {

// A device ID is short; a longer one is cut here before it is read.
constexpr size_t kMaxDeviceIdBytes = 1024;

// Printers known by manufacturer and model. The model is matched at its
// start ("TM-T20" takes "TM-T20II" and "TM-T20III"); a blank manufacturer
// matches any, for clones that leave it empty.
struct KnownPrinter {
  const char* manufacturer;
  const char* modelPrefix;
  const char* driver;
};
const KnownPrinter kKnown[] = {
    // Epson's mobile receipt printers print 58 mm; its desk ones 80 mm.
    {"EPSON", "TM-P20", "escpos-58mm"},
    {"EPSON", "TM-", "escpos-80mm"},
    {"Zijiang", "ZJ-58", "escpos-58mm"},
    {"Zijiang", "ZJ-80", "escpos-80mm"},
    // TSC's 300 dpi desktop models; its others are 203 dpi.
    {"TSC", "DA3", "tspl-4in-300"},
    {"TSC", "TE3", "tspl-4in-300"},
    {"TSC", "TTP-345", "tspl-4in-300"},
    {"TSC", "", "tspl-4in-203"},
    // 4-inch label printers that speak TSPL without saying so.
    {"Printer", "Thermal Printer", "tspl-4in-203"},
    {"MARKLIFE", "X4", "tspl-4in-203"},
    {"", "PM-241", "tspl-4in-203"},
    {"VEVOR", "Y428", "tspl-4in-203"},
    {"HPRT", "HM-A300", "cpcl-4in-203"},
};

// Brands whose every model speaks the brand's own language.
struct Brand {
  const char* manufacturer;
  const char* driver;
};
const Brand kBrands[] = {{"Paperang", "paperang-384"}, {"PeriPage", "peripage-384"}};

// Command-set words and the generic model of their family. "XPP,XL" is not
// a language name, but every device ID seen with it (and nothing else) is
// a TSPL label printer's, so that pair alone counts as TSPL.
struct CommandSet {
  const char* word;
  const char* driver;
};
const CommandSet kCommandSets[] = {
    // Narrow paper is the safe guess: a 58 mm page prints on 80 mm paper.
    {"ESC/POS", "escpos-58mm"}, {"ESCPOS", "escpos-58mm"},  {"CPCL", "cpcl-4in-203"},
    {"TSPL", "tspl-4in-203"},   {"TSPL2", "tspl-4in-203"},
};

bool SameText(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

bool StartsWith(const std::string& text, const char* prefix) {
  return strncasecmp(text.c_str(), prefix, std::strlen(prefix)) == 0;
}

std::string Trim(const std::string& text) {
  size_t first = 0, last = text.size();
  while (first < last && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
  while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1]))) --last;
  return text.substr(first, last - first);
}

std::vector<std::string> Words(const std::string& commandSet) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at <= commandSet.size()) {
    size_t comma = commandSet.find(',', at);
    if (comma == std::string::npos) comma = commandSet.size();
    const std::string word = Trim(commandSet.substr(at, comma - at));
    if (!word.empty()) words.push_back(word);
    at = comma + 1;
  }
  return words;
}

}  // namespace

DeviceIdFields ParseDeviceId(const std::string& deviceId) {
  const std::string id = deviceId.substr(0, kMaxDeviceIdBytes);
  DeviceIdFields fields;
  size_t at = 0;
  while (at < id.size()) {
    size_t end = id.find(';', at);
    if (end == std::string::npos) end = id.size();
    const std::string pair = id.substr(at, end - at);
    at = end + 1;
    const size_t colon = pair.find(':');
    if (colon == std::string::npos) continue;
    const std::string key = Trim(pair.substr(0, colon));
    const std::string value = Trim(pair.substr(colon + 1));
    // The first of a key counts, as in PAPPL's and CUPS's readers.
    std::string* field = nullptr;
    if (SameText(key, "MFG") || SameText(key, "MANUFACTURER"))
      field = &fields.manufacturer;
    else if (SameText(key, "MDL") || SameText(key, "MODEL"))
      field = &fields.model;
    else if (SameText(key, "CMD") || SameText(key, "COMMAND SET"))
      field = &fields.commandSet;
    if (field && field->empty()) *field = value;
  }
  return fields;
}

const char* MatchDeviceId(const std::string& deviceId) {
  const DeviceIdFields id = ParseDeviceId(deviceId);
  if (!id.model.empty())
    for (const KnownPrinter& known : kKnown)
      if ((!*known.manufacturer || SameText(id.manufacturer, known.manufacturer)) &&
          StartsWith(id.model, known.modelPrefix) &&
          (*known.modelPrefix || !id.manufacturer.empty()))
        return known.driver;
  for (const Brand& brand : kBrands)
    if (SameText(id.manufacturer, brand.manufacturer)) return brand.driver;
  const std::vector<std::string> words = Words(id.commandSet);
  for (const std::string& word : words)
    for (const CommandSet& set : kCommandSets)
      if (SameText(word, set.word)) return set.driver;
  if (words.size() == 2 && SameText(words[0], "XPP") && SameText(words[1], "XL"))
    return "tspl-4in-203";
  return nullptr;
}

const char* AutoAddDriver(const char*, const char*, const char* deviceId, void*) {
  return deviceId ? MatchDeviceId(deviceId) : nullptr;
}

}  // namespace tavel
