// Job settings of the printer application: what a job's IPP attributes and
// the printer's configuration ask for, turned into the PPD keywords and
// choices the engine reads. Every option starts at the model's PPD default,
// as the filter's marked PPD does, so a setting means the same in both.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "app/ModelTable.h"
#include "render/MapOptionSource.h"

namespace tavel {

// media-tracking values (PAPPL's bits).
constexpr unsigned kTrackingContinuous = 0x01;
constexpr unsigned kTrackingGap = 0x02;
constexpr unsigned kTrackingMark = 0x04;

// Continuous media (any printer but a label printer's, or labels of no
// gap or mark): the page is as long as the document.
bool RollMedia(const ModelInfo& model, unsigned tracking, const char* mediaType);

// label-mode values (PAPPL's bits) that TSPL printers finish with.
constexpr unsigned kLabelApplicator = 0x0001;
constexpr unsigned kLabelCutter = 0x0002;
constexpr unsigned kLabelCutterDelayed = 0x0004;
constexpr unsigned kLabelPeelOff = 0x0010;
constexpr unsigned kLabelTearOff = 0x0100;

// print-speed is in hundredths of a millimetre per second.
constexpr int kSpeedPerInch = 2540;      // one inch per second (TSPL's unit)

// printer-darkness-configured as installed: with no print-darkness either,
// the printer keeps its own darkness.
constexpr int kDarknessAsInstalled = 50;

// The ranges of printer-darkness-configured and print-darkness (IPP's).
constexpr int kMaxDarknessConfigured = 100;
constexpr int kMinPrintDarkness = -100;
constexpr int kMaxPrintDarkness = 100;

// The job's darkness, 0-100: the printer's configured darkness plus the
// job's print-darkness, each held to its range first.
int JobDarkness(int configured, int printDarkness);

struct JobRequest {
  std::string mediaType;  // media-col's media-type
  unsigned tracking = 0;  // a kTracking* value; 0 for none
  bool darknessSet = false;
  int darkness = 0;       // 0-100: printer-darkness-configured + print-darkness
  int speed = 0;          // print-speed; 0 for the printer's own
  unsigned labelMode = 0; // label-mode-configured
  std::vector<std::pair<std::string, std::string>> vendor;  // vendor attributes
};

// Fills `settings` for the model; unknown or out-of-range values keep the
// default and are named in `ignored` for the job log.
void BuildJobSettings(const ModelInfo& model, const JobRequest& request,
                      CMapOptionSource* settings, std::vector<std::string>* ignored);

// The model's darkness levels (TSPL 16, PeriPage 6); 0 when it has none.
int DarknessLevels(const ModelInfo& model);
// The model's print-speed range, {0, 0} when it has none.
std::pair<int, int> SpeedRange(const ModelInfo& model);
// One speed level of the model, in print-speed's unit; and the level (the
// zePrintRate choice) a print-speed gives, -1 for the printer's own.
int SpeedStep(const ModelInfo& model);
int SpeedLevel(const ModelInfo& model, int speed);
// The darkness level (the Darkness choice) printer-darkness-configured plus
// print-darkness give on a model of `levels` levels.
int DarknessLevel(int levels, int darkness);
// The media types the model takes, its usual one first: labels on a label
// printer, paper on the others, then the papers its zeMediaTracking names.
std::vector<const char*> MediaTypes(const ModelInfo& model);
// media-tracking values the model supports, and its default.
unsigned TrackingSupported(const ModelInfo& model);
unsigned TrackingDefault(const ModelInfo& model);

}  // namespace tavel
