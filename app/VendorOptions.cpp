#include "app/VendorOptions.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tavel {

const std::vector<VendorOption>& VendorOptions() {
  static const std::vector<VendorWord> trim = {
      {"none", "0"}, {"2mm", "2"}, {"5mm", "5"}, {"10mm", "10"}, {"all", "-1"}};
  static const std::vector<VendorWord> onOff = {{"off", "0"}, {"on", "1"}};
  static const std::vector<VendorWord> sounds = {
      {"none", "None"}, {"every-page", "EveryPage"}, {"every-document", "EveryDoc"}};
  static const std::vector<VendorWord> cutter = {{"none", "None"},
                                                 {"full-after-document", "FullCutDoc"},
                                                 {"partial-after-document", "PartialCutDoc"},
                                                 {"full-after-page", "FullCutPage"},
                                                 {"partial-after-page", "PartialCutPage"}};
  static const std::vector<VendorOption> options = {
      {"halftoning", "ImageFilter", "Halftoning for photos",
       {{"threshold", "0"}, {"floyd-steinberg", "1"}, {"bayer-4x4", "2"}, {"burkes", "3"},
        {"stucki", "4"}, {"jarvis-judice-ninke", "5"}, {"sierra", "6"},
        {"stevenson-arce", "7"}, {"ordered-4x4", "8"}, {"bayer-8x8", "9"},
        {"ordered-16x16", "10"}},
       0, 0},
      {"threshold-level", "Threshold", "Threshold level (1-254)", {}, 1, 254},
      {"brightness", "Brightness", "Brightness (-100 to 100)", {}, -100, 100},
      {"contrast", "Contrast", "Contrast (-50 to 100)", {}, -50, 100},
      {"page-rotation", "Rotate", "Turn the page",
       {{"none", "0"}, {"upside-down", "1"}, {"counter-clockwise", "2"}, {"clockwise", "3"}},
       0, 0},
      {"shift-horizontal", "AdjustHoriaontal", "Horizontal shift (8 mm steps, + is left)", {}, -2,
       2},
      {"shift-vertical", "AdjustVertical", "Vertical shift (8 mm steps, + is down)", {}, -2, 2},
      {"trim-top", "CropEdgeTop", "Trim white space at the top", trim, 0, 0},
      {"trim-bottom", "CropEdgeBottom", "Trim white space at the bottom", trim, 0, 0},
      {"trim-left", "CropEdgeLeft", "Trim white space at the left", trim, 0, 0},
      {"trim-right", "CropEdgeRight", "Trim white space at the right", trim, 0, 0},
      {"print-method", "MediaMethod", "Printing method",
       {{"direct-thermal", "Direct"}, {"thermal-transfer", "Transfer"}}, 0, 0},
      {"feed-offset", "FeedOffset", "Feed after the page (mm)", {}, -3, 30},
      {"send-compressed", "ImageCompress", "Send compressed", onOff, 0, 0},
      {"cutter", "CutType", "Cutter", cutter, 0, 0},
      {"cash-drawer", "MoneyBox", "Cash drawer",
       {{"none", "None"}, {"before-printing", "BeforePrint"}, {"after-printing", "AfterPrint"}},
       0, 0},
      {"tear-line", "AutoDotted", "Dotted tear line", onOff, 0, 0},
      {"sound-before", "BeginPrintSound", "Sound before printing", sounds, 0, 0},
      {"sound-after", "EndPrintSound", "Sound after printing", sounds, 0, 0},
  };
  return options;
}

std::vector<const VendorOption*> VendorOptionsFor(const ModelInfo& model) {
  std::vector<const VendorOption*> offered;
  for (const VendorOption& option : VendorOptions())
    if (model.Option(option.keyword)) offered.push_back(&option);
  return offered;
}

const VendorOption* FindVendorOption(const std::string& name) {
  for (const VendorOption& option : VendorOptions())
    if (name == option.name) return &option;
  return nullptr;
}

bool VendorChoice(const VendorOption& option, const std::string& value, std::string* choice) {
  if (value.size() > kMaxVendorValueBytes) return false;
  if (option.words.empty()) {
    errno = 0;
    char* end = nullptr;
    const long n = std::strtol(value.c_str(), &end, 10);
    if (errno || end == value.c_str() || *end || n < option.minimum || n > option.maximum)
      return false;
    *choice = std::to_string(n);
    return true;
  }
  for (const VendorWord& word : option.words) {
    if (value == word.ipp) {
      *choice = word.choice;
      return true;
    }
  }
  return false;
}

std::string VendorValue(const VendorOption& option, const std::string& choice) {
  for (const VendorWord& word : option.words)
    if (choice == word.choice) return word.ipp;
  return choice;
}

std::string VendorWordLabel(const VendorWord& word) {
  std::string label = word.ipp;
  for (char& c : label)
    if (c == '-') c = ' ';
  if (!label.empty())
    label[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(label[0])));
  return label;
}

}  // namespace tavel
