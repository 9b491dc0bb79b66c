// The model table. Keep it in step with ppd/tavelpress.drv: the test
// app_model_table compares it with the PPDs ppdc makes from that file.
#include "app/ModelTable.h"

#include <cstring>

namespace tavel {
namespace {

constexpr double kPointsPerMm = 72.0 / 25.4;  // PostScript points per millimetre
constexpr double Mm(double mm) { return mm * kPointsPerMm; }

// Options every family offers (the .drv's "Image" group).
std::vector<ModelOption> ImageOptions() {
  const std::vector<const char*> crop = {"0", "2", "5", "10", "-1"};
  return {
      {"ImageFilter", "3", {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}},
      {"Threshold", "175", {"64", "96", "128", "150", "175", "200", "225"}},
      {"Brightness", "0", {"-100", "-60", "-40", "-20", "0", "20", "40", "60", "100"}},
      {"Contrast", "0", {"-50", "-25", "0", "25", "50", "100"}},
      {"Rotate", "0", {"0", "1", "2", "3"}},
      {"AdjustHoriaontal", "0", {"-2", "-1", "0", "1", "2"}},
      {"AdjustVertical", "0", {"-2", "-1", "0", "1", "2"}},
      {"CropEdgeTop", "0", crop},
      {"CropEdgeBottom", "0", crop},
      {"CropEdgeLeft", "0", crop},
      {"CropEdgeRight", "0", crop},
  };
}

std::vector<ModelOption> With(std::vector<ModelOption> options,
                              const std::vector<ModelOption>& more) {
  options.insert(options.end(), more.begin(), more.end());
  return options;
}

const ModelOption kLabelTracking = {"zeMediaTracking", "Gap", {"Gap", "BLine", "Continuous"}};
const ModelOption kPocketTracking = {"zeMediaTracking", "Continuous",
                                     {"Continuous", "Gap", "BLine"}};
const std::vector<const char*> kCutChoices = {"None", "FullCutDoc", "PartialCutDoc",
                                              "FullCutPage", "PartialCutPage"};
const std::vector<const char*> kMoneyBoxChoices = {"None", "BeforePrint", "AfterPrint"};

std::vector<ModelOption> TsplOptions() {
  return With(ImageOptions(),
              {kLabelTracking,
               {"MediaMethod", "Direct", {"Direct", "Transfer"}},
               {"Darkness", "Default", {"Default", "0", "2", "4", "6", "8", "10", "12", "15"}},
               {"zePrintRate", "Default", {"Default", "1", "2", "3", "4", "5", "6"}},
               {"FeedOffset", "0", {"-3", "-1", "0", "1", "3", "5"}},
               {"PostAction", "None", {"None", "Tear", "Cutter", "Peel", "PartialCutter"}},
               {"ImageCompress", "0", {"0", "1"}}});
}

std::vector<ModelOption> EscposOptions(const char* cutDefault) {
  return With(ImageOptions(), {{"FeedOffset", "10", {"0", "5", "10", "15", "20", "30"}},
                               {"MoneyBox", "None", kMoneyBoxChoices},
                               {"AutoDotted", "0", {"0", "1"}},
                               {"CutType", cutDefault, kCutChoices}});
}

std::vector<ModelOption> PeriPageOptions() {
  const std::vector<const char*> sounds = {"None", "EveryPage", "EveryDoc"};
  return With(ImageOptions(),
              {{"zeMediaTracking",
                "Continuous",
                {"Continuous", "Gap", "BLine", "Perforated", "Recording", "Tattoo"}},
               {"zePrintRate", "Default", {"Default", "0", "2", "4", "6", "8"}},
               {"FeedOffset", "0", {"0", "5", "10", "20"}},
               {"BeginPrintSound", "None", sounds},
               {"EndPrintSound", "None", sounds},
               {"MoneyBox", "None", kMoneyBoxChoices},
               {"CutType", "None", kCutChoices},
               {"ImageCompress", "0", {"0", "1"}},
               {"Darkness", "Default", {"Default", "0", "1", "2", "3", "4", "5"}}});
}

// Label sizes of the 4-inch label printers.
const std::vector<ModelMedia> kFourInchLabels = {
    {"1x4Rotated.Fullbleed", "oe_4x1-label_4x1in", 288, 72},
    {"2x4Rotated.Fullbleed", "oe_4x2-label_4x2in", 288, 144},
    {"3x4Rotated.Fullbleed", "oe_4x3-label_4x3in", 288, 216},
    {"4x4.Fullbleed", "oe_4x4-label_4x4in", 288, 288},
    {"4x6.Fullbleed", "na_index-4x6_4x6in", 288, 432},
    {"50x100mmRotated.Fullbleed", "om_100x50-label_100x50mm", 283.46, 141.73},
    {"100x100mm.Fullbleed", "om_100x100-label_100x100mm", 283.46, 283.46},
    {"100x150mm.Fullbleed", "om_100x150-label_100x150mm", 283.46, 425.2},
    {"40x60mmRotated.Fullbleed", "om_60x40-label_60x40mm", 170.08, 113.39},
    {"30x50mmRotated.Fullbleed", "om_50x30-label_50x30mm", 141.73, 85.04},
};

// 58 mm rolls: one 384-dot head line wide.
const std::vector<ModelMedia> kRolls58 = {
    {"48.05x50mm.Fullbleed", "om_roll-58-50_48.05x50mm", 136.2, 141.73},
    {"48.05x100mm.Fullbleed", "om_roll-58-100_48.05x100mm", 136.2, 283.46},
    {"48.05x150mm.Fullbleed", "om_roll-58-150_48.05x150mm", 136.2, 425.2},
    {"48.05x200mm.Fullbleed", "om_roll-58-200_48.05x200mm", 136.2, 566.93},
};

std::vector<ModelInfo> BuildModels() {
  std::vector<ModelMedia> escpos58 = kRolls58;
  escpos58.push_back({"48.05x297mm.Fullbleed", "om_roll-58-297_48.05x297mm", 136.2, 841.89});
  // 80 mm rolls are 576 dots wide; the IPP width is rounded up so that a
  // width in hundredths of a millimetre still makes 576 dots.
  const std::vector<ModelMedia> escpos80 = {
      {"72.07x100mm.Fullbleed", "om_roll-80-100_72.08x100mm", 204.3, 283.46},
      {"72.07x150mm.Fullbleed", "om_roll-80-150_72.08x150mm", 204.3, 425.2},
      {"72.07x200mm.Fullbleed", "om_roll-80-200_72.08x200mm", 204.3, 566.93},
      {"72.07x297mm.Fullbleed", "om_roll-80-297_72.08x297mm", 204.3, 841.89},
  };
  const std::vector<ModelMedia> tspl2 = {
      {"1x2Rotated.Fullbleed", "oe_2x1-label_2x1in", 144, 72},
      {"2x2.Fullbleed", "oe_2x2-label_2x2in", 144, 144},
      {"2x3.Fullbleed", "oe_2x3-label_2x3in", 144, 216},
      {"20x30mmRotated.Fullbleed", "om_30x20-label_30x20mm", 85.04, 56.69},
      {"30x40mmRotated.Fullbleed", "om_40x30-label_40x30mm", 113.39, 85.04},
      {"25x50mmRotated.Fullbleed", "om_50x25-label_50x25mm", 141.73, 70.87},
      {"30x50mmRotated.Fullbleed", "om_50x30-label_50x30mm", 141.73, 85.04},
      {"50x50mm.Fullbleed", "om_50x50-label_50x50mm", 141.73, 141.73},
  };
  const std::vector<ModelMedia> cpcl = {
      kFourInchLabels[0], kFourInchLabels[1], kFourInchLabels[2], kFourInchLabels[3],
      kFourInchLabels[4], kFourInchLabels[7], kFourInchLabels[9],
  };
  const double kMetre = Mm(1000);
  return {
      {"tspl-2in-203", "Tavelpress TSPL 2-inch label printer 203dpi",
       "tavelpress-tspl-2in-203.ppd",
       Family::kTspl, 20, 203, tspl2, "30x50mmRotated.Fullbleed", Mm(10), Mm(10), Mm(54),
       kMetre, TsplOptions(), {}},
      {"tspl-4in-203", "Tavelpress TSPL 4-inch label printer 203dpi",
       "tavelpress-tspl-4in-203.ppd",
       Family::kTspl, 20, 203, kFourInchLabels, "4x6.Fullbleed", Mm(10), Mm(10), Mm(108),
       kMetre, TsplOptions(), {}},
      {"tspl-4in-300", "Tavelpress TSPL 4-inch label printer 300dpi",
       "tavelpress-tspl-4in-300.ppd",
       Family::kTspl, 20, 300, kFourInchLabels, "4x6.Fullbleed", Mm(10), Mm(10), Mm(108),
       kMetre, TsplOptions(), {}},
      {"escpos-58mm", "Tavelpress ESC/POS 58mm receipt printer",
       "tavelpress-escpos-58mm.ppd",
       Family::kEscpos, 21, 203, escpos58, "48.05x100mm.Fullbleed", 136.2, Mm(20), 136.2,
       kMetre, EscposOptions("None"), {}},
      {"escpos-80mm", "Tavelpress ESC/POS 80mm receipt printer",
       "tavelpress-escpos-80mm.ppd",
       Family::kEscpos, 21, 203, escpos80, "72.07x150mm.Fullbleed", 204.3, Mm(20), 204.3,
       kMetre, EscposOptions("PartialCutDoc"), {}},
      {"cpcl-4in-203", "Tavelpress CPCL 4-inch label printer 203dpi",
       "tavelpress-cpcl-4in-203.ppd",
       Family::kCpcl, 22, 203, cpcl, "4x6.Fullbleed", Mm(10), Mm(10), Mm(104), kMetre,
       With(ImageOptions(), {kLabelTracking}), {}},
      {"paperang-384", "Tavelpress Paperang pocket printer 384 dots",
       "tavelpress-paperang-384.ppd",
       Family::kPaperang, 23, 203, kRolls58, "48.05x100mm.Fullbleed", 136.2, Mm(10), 136.2,
       kMetre, With(ImageOptions(), {kPocketTracking}), {}},
      {"peripage-384", "Tavelpress PeriPage pocket printer 384 dots",
       "tavelpress-peripage-384.ppd",
       Family::kPeriPage, 24, 203, kRolls58, "48.05x100mm.Fullbleed", 136.2, Mm(10), 136.2,
       kMetre, PeriPageOptions(), {{"DensityCommand", "0"}, {"ImageMaxLength", "256"}}},
  };
}

}  // namespace

const ModelOption* ModelInfo::Option(const char* keyword) const {
  for (const ModelOption& option : options)
    if (std::strcmp(option.keyword, keyword) == 0) return &option;
  return nullptr;
}

const ModelMedia* ModelInfo::Media(const char* ppdName) const {
  for (const ModelMedia& m : media)
    if (std::strcmp(m.ppdName, ppdName) == 0) return &m;
  return nullptr;
}

const std::vector<ModelInfo>& Models() {
  static const std::vector<ModelInfo> models = BuildModels();
  return models;
}

const ModelInfo* FindModel(const std::string& driverName) {
  for (const ModelInfo& model : Models())
    if (driverName == model.driverName) return &model;
  return nullptr;
}

}  // namespace tavel
