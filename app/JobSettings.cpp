#include "app/JobSettings.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "app/VendorOptions.h"
#include "printers/FamilyTable.h"

namespace tavel {
namespace {

int HighestNumber(const ModelOption* option) {
  int highest = -1;
  if (!option) return highest;
  for (const char* choice : option->choices)
    if (std::strcmp(choice, "Default") != 0) highest = std::max(highest, std::atoi(choice));
  return highest;
}

struct Word {
  unsigned bit;
  const char* choice;
};

const Word kTrackingChoices[] = {
    {kTrackingContinuous, "Continuous"}, {kTrackingGap, "Gap"}, {kTrackingMark, "BLine"}};
const Word kLabelModeChoices[] = {{kLabelApplicator, "None"},
                                  {kLabelTearOff, "Tear"},
                                  {kLabelCutter, "Cutter"},
                                  {kLabelPeelOff, "Peel"},
                                  {kLabelCutterDelayed, "PartialCutter"}};
// PeriPage papers that are media types rather than a way of tracking.
const std::pair<const char*, const char*> kPaperTypes[] = {
    {"perforated", "Perforated"}, {"recording", "Recording"}, {"tattoo", "Tattoo"}};

bool Offers(const ModelOption* option, const char* choice) {
  if (!option) return false;
  for (const char* c : option->choices)
    if (std::strcmp(c, choice) == 0) return true;
  return false;
}

}  // namespace

int JobDarkness(int configured, int printDarkness) {
  return std::clamp(std::clamp(configured, 0, kMaxDarknessConfigured) +
                        std::clamp(printDarkness, kMinPrintDarkness, kMaxPrintDarkness),
                    0, kMaxDarknessConfigured);
}

int DarknessLevels(const ModelInfo& model) { return HighestNumber(model.Option("Darkness")) + 1; }

std::pair<int, int> SpeedRange(const ModelInfo& model) {
  const ModelOption* rate = model.Option("zePrintRate");
  if (!rate) return {0, 0};
  int lowest = 1 << 30;
  for (const char* choice : rate->choices)
    if (std::strcmp(choice, "Default") != 0) lowest = std::min(lowest, std::atoi(choice));
  const int highest = HighestNumber(rate);
  const SpeedSteps steps = FamilyInfo(model.family).speed;
  return {(lowest + steps.levelOffset) * steps.perLevel,
          (highest + steps.levelOffset) * steps.perLevel};
}

int SpeedStep(const ModelInfo& model) { return FamilyInfo(model.family).speed.perLevel; }

int SpeedLevel(const ModelInfo& model, int speed) {
  const std::pair<int, int> speeds = SpeedRange(model);
  if (speeds.second <= 0 || speed <= 0) return -1;
  const int step = SpeedStep(model);
  const int level = (std::clamp(speed, speeds.first, speeds.second) + step / 2) / step;
  return level - FamilyInfo(model.family).speed.levelOffset;
}

int DarknessLevel(int levels, int darkness) {
  return (std::clamp(darkness, 0, kMaxDarknessConfigured) * (levels - 1) + 50) / 100;
}

unsigned TrackingSupported(const ModelInfo& model) {
  const ModelOption* tracking = model.Option("zeMediaTracking");
  if (!tracking) return kTrackingContinuous;
  unsigned bits = 0;
  for (const Word& w : kTrackingChoices)
    if (Offers(tracking, w.choice)) bits |= w.bit;
  return bits;
}

unsigned TrackingDefault(const ModelInfo& model) {
  const ModelOption* tracking = model.Option("zeMediaTracking");
  if (!tracking) return kTrackingContinuous;
  for (const Word& w : kTrackingChoices)
    if (std::strcmp(tracking->defaultChoice, w.choice) == 0) return w.bit;
  return kTrackingContinuous;
}

std::vector<const char*> MediaTypes(const ModelInfo& model) {
  const bool labels = FamilyInfo(model.family).kind == PrinterKind::kLabel;
  std::vector<const char*> types = {labels ? "labels" : "continuous",
                                    labels ? "continuous" : "labels"};
  const ModelOption* tracking = model.Option("zeMediaTracking");
  for (const auto& type : kPaperTypes)
    if (Offers(tracking, type.second)) types.push_back(type.first);
  return types;
}

void BuildJobSettings(const ModelInfo& model, const JobRequest& request,
                      CMapOptionSource* settings, std::vector<std::string>* ignored) {
  for (const ModelOption& option : model.options)
    settings->SetChoice(option.keyword, option.defaultChoice);
  for (const ModelAttribute& attribute : model.attributes)
    settings->SetAttribute(attribute.name, attribute.value);

  if (const ModelOption* tracking = model.Option("zeMediaTracking")) {
    for (const Word& w : kTrackingChoices)
      if (request.tracking == w.bit && Offers(tracking, w.choice))
        settings->SetChoice("zeMediaTracking", w.choice);
    for (const auto& type : kPaperTypes)
      if (request.mediaType == type.first && Offers(tracking, type.second))
        settings->SetChoice("zeMediaTracking", type.second);
  }

  const int levels = DarknessLevels(model);
  if (levels > 0 && request.darknessSet)
    settings->SetChoice("Darkness", std::to_string(DarknessLevel(levels, request.darkness)));

  const int speedLevel = SpeedLevel(model, request.speed);
  if (speedLevel >= 0) settings->SetChoice("zePrintRate", std::to_string(speedLevel));

  if (model.Option("PostAction")) {
    for (const Word& w : kLabelModeChoices)
      if (request.labelMode == w.bit) settings->SetChoice("PostAction", w.choice);
  }

  for (const auto& value : request.vendor) {
    const VendorOption* option = FindVendorOption(value.first);
    std::string choice;
    if (!option || !model.Option(option->keyword) ||
        !VendorChoice(*option, value.second, &choice)) {
      // Named in the job log, cut to a readable length.
      if (ignored)
        ignored->push_back(value.first.substr(0, kMaxVendorValueBytes) + "=" +
                           value.second.substr(0, kMaxVendorValueBytes));
      continue;
    }
    settings->SetChoice(option->keyword, choice);
  }
}

bool RollMedia(const ModelInfo& model, unsigned tracking, const char* mediaType) {
  if (FamilyInfo(model.family).kind != PrinterKind::kLabel) return true;
  return (tracking & kTrackingContinuous) != 0 ||
         std::strncmp(mediaType, "continuous", std::strlen("continuous")) == 0;
}

}  // namespace tavel
