#include "app/PrinterDriver.h"

#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "app/JobSettings.h"
#include "app/ModelTable.h"
#include "app/PrinterAttributes.h"
#include "app/RasterJob.h"
#include "app/RawJob.h"
#include "app/StatusWatch.h"
#include "app/TestPage.h"
#include "app/VendorOptions.h"
#include "printers/FamilyTable.h"

namespace tavel {
namespace {

constexpr double kHundredthsMmPerPoint = 2540.0 / 72.0;  // media sizes are in 1/100 mm
constexpr int kPagesPerMinute = 10;  // a label or a receipt every few seconds

int Hundredths(double points) { return static_cast<int>(points * kHundredthsMmPerPoint + 0.5); }

// Millimetres with up to two decimals and no trailing zeros ("48.05", "20").
std::string MmText(double points) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", points / 72.0 * 25.4);
  std::string s = text;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

std::string SizeName(const char* prefix, double widthPt, double lengthPt) {
  return std::string(prefix) + "_" + MmText(widthPt) + "x" + MmText(lengthPt) + "mm";
}

// The media names that give each model's custom size range, made once:
// PAPPL keeps the pointers.
const std::string& CustomSizeName(const ModelInfo& model, bool largest) {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> list;
    for (const ModelInfo& m : Models()) {
      list.push_back(SizeName("custom_min", m.minWidthPt, m.minLengthPt));
      list.push_back(SizeName("custom_max", m.maxWidthPt, m.maxLengthPt));
    }
    return list;
  }();
  const size_t index = static_cast<size_t>(&model - Models().data());
  return names[index * 2 + (largest ? 1 : 0)];
}

void FillMedia(pappl_media_col_t* col, const ModelMedia& media, unsigned tracking,
               const char* type) {
  std::memset(col, 0, sizeof *col);
  std::snprintf(col->size_name, sizeof col->size_name, "%s", media.pwgName);
  // The size the name says (as PAPPL's media page reads it back), so that
  // saving that page unchanged changes nothing: 72.08 mm for the 204.3 pt
  // (72.07 mm) of an 80 mm roll.
  const pwg_media_t* pwg = pwgMediaForPWG(media.pwgName);
  col->size_width = pwg ? pwg->width : Hundredths(media.widthPt);
  col->size_length = pwg ? pwg->length : Hundredths(media.lengthPt);
  std::snprintf(col->source, sizeof col->source, "%s", "main-roll");
  std::snprintf(col->type, sizeof col->type, "%s", type);
  col->tracking = static_cast<pappl_media_tracking_t>(tracking);
}

void AddVendorAttributes(const ModelInfo& model, pappl_pr_driver_data_t* data, ipp_t** attrs) {
  if (!*attrs) *attrs = ippNew();
  data->num_vendor = 0;
  for (const VendorOption* option : VendorOptionsFor(model)) {
    if (data->num_vendor >= PAPPL_MAX_VENDOR) break;
    data->vendor[data->num_vendor++] = option->name;
    const std::string supported = std::string(option->name) + "-supported";
    const std::string dflt = std::string(option->name) + "-default";
    const std::string value = VendorValue(*option, model.Option(option->keyword)->defaultChoice);
    if (option->words.empty()) {
      ippAddRange(*attrs, IPP_TAG_PRINTER, supported.c_str(), option->minimum, option->maximum);
      ippAddInteger(*attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, dflt.c_str(),
                    std::atoi(value.c_str()));
    } else {
      std::vector<const char*> words;
      for (const VendorWord& w : option->words) words.push_back(w.ipp);
      ippAddStrings(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, supported.c_str(),
                    static_cast<int>(words.size()), nullptr, words.data());
      ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, dflt.c_str(), nullptr,
                   value.c_str());
    }
  }
}

// The job callbacks: the raster path prints, a printer-language document goes as it is.
void SetCallbacks(const ModelInfo& model, pappl_pr_driver_data_t* data) {
  data->rstartjob_cb = CRasterJob::StartJob;
  data->rstartpage_cb = CRasterJob::StartPage;
  data->rwriteline_cb = CRasterJob::WriteLine;
  data->rendpage_cb = CRasterJob::EndPage;
  data->rendjob_cb = CRasterJob::EndJob;
  data->testpage_cb = PrintTestPage;
  // A document in the printer's own language goes to it as it is, once
  // the decoder has read it (RawJob.h); an untyped one comes there through
  // the filter of application/octet-stream when it is no picture or PDF.
  data->format = FamilyInfo(model.family).rawDocumentType;
  data->printfile_cb = PrintRawFile;
  data->identify_cb = IdentifyPrinter;
  data->identify_supported = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
  data->identify_default = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
  // What the printer says of itself, when it can be asked.
  data->status_cb = UpdatePrinterStatus;
  data->delete_cb = ForgetPrinter;
}

pappl_kind_t PapplKind(const ModelInfo& model) {
  switch (FamilyInfo(model.family).kind) {
    case PrinterKind::kLabel: return PAPPL_KIND_LABEL | PAPPL_KIND_ROLL;
    case PrinterKind::kReceipt: return PAPPL_KIND_RECEIPT | PAPPL_KIND_ROLL;
    case PrinterKind::kPocket: return PAPPL_KIND_ROLL | PAPPL_KIND_PHOTO;
  }
  return PAPPL_KIND_ROLL;  // not reached: every kind has its case
}

}  // namespace

std::vector<pappl_pr_driver_t>& DriverList() {
  static std::vector<pappl_pr_driver_t> drivers = [] {
    std::vector<pappl_pr_driver_t> list;
    for (const ModelInfo& model : Models())
      list.push_back({model.driverName, model.modelName, nullptr, nullptr});
    return list;
  }();
  return drivers;
}

bool SetupDriver(pappl_system_t* system, const char* driverName, const char*, const char*,
                 pappl_pr_driver_data_t* data, ipp_t** attrs, void*) {
  const ModelInfo* found = FindModel(driverName ? driverName : "");
  if (!found) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unknown driver \"%s\".", driverName);
    return false;
  }
  const ModelInfo& model = *found;
  data->extension = const_cast<ModelInfo*>(&model);
  SetCallbacks(model, data);
  std::snprintf(data->make_and_model, sizeof data->make_and_model, "%s", model.modelName);
  data->ppm = kPagesPerMinute;
  data->kind = PapplKind(model);
  // The engine makes the one-bit page itself from 8-bit gray, with the
  // job's halftoning; one-bit input is printed as it is.
  data->color_supported = PAPPL_COLOR_MODE_MONOCHROME | PAPPL_COLOR_MODE_BI_LEVEL;
  data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
  data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8 | PAPPL_PWG_RASTER_TYPE_BLACK_1;
  data->content_default = PAPPL_CONTENT_AUTO;
  data->quality_default = IPP_QUALITY_NORMAL;
  data->scaling_default = PAPPL_SCALING_AUTO;
  // What IPP clients see as the default; a job that names no orientation
  // is still turned to fit the label.
  data->orient_default = IPP_ORIENT_PORTRAIT;
  data->duplex = PAPPL_DUPLEX_NONE;
  data->sides_supported = PAPPL_SIDES_ONE_SIDED;
  data->sides_default = PAPPL_SIDES_ONE_SIDED;
  data->num_resolution = 1;
  data->x_resolution[0] = data->y_resolution[0] = model.dpi;
  data->x_default = data->y_default = model.dpi;
  // Thermal heads print to the paper's edge; every size also comes with a
  // margin too small to see, for CUPS's driverless default size.
  data->borderless = true;
  data->left_right = kBorderedMarginHundredthsMm;
  data->bottom_top = kBorderedMarginHundredthsMm;

  data->num_media = 0;
  for (const ModelMedia& media : model.media)
    if (data->num_media < PAPPL_MAX_MEDIA - 2) data->media[data->num_media++] = media.pwgName;
  data->media[data->num_media++] = CustomSizeName(model, false).c_str();
  data->media[data->num_media++] = CustomSizeName(model, true).c_str();

  data->num_source = 1;
  data->source[0] = "main-roll";
  data->tracking_supported = static_cast<pappl_media_tracking_t>(TrackingSupported(model));
  data->num_type = 0;
  for (const char* type : MediaTypes(model))
    if (data->num_type < PAPPL_MAX_TYPE) data->type[data->num_type++] = type;
  const ModelMedia* dflt = model.Media(model.defaultMedia);
  FillMedia(&data->media_default, dflt ? *dflt : model.media[0], TrackingDefault(model),
            data->type[0]);
  data->media_ready[0] = data->media_default;

  if (model.Option("PostAction")) {
    data->mode_supported = static_cast<pappl_label_mode_t>(
        kLabelApplicator | kLabelTearOff | kLabelCutter | kLabelPeelOff | kLabelCutterDelayed);
    data->mode_configured = static_cast<pappl_label_mode_t>(kLabelApplicator);
  }
  const std::pair<int, int> speeds = SpeedRange(model);
  data->speed_supported[0] = speeds.first;
  data->speed_supported[1] = speeds.second;
  data->speed_default = 0;
  data->darkness_supported = DarknessLevels(model);
  data->darkness_default = 0;
  data->darkness_configured = kDarknessAsInstalled;

  AddVendorAttributes(model, data, attrs);
  AddConformanceAttributes(*attrs);
  return true;
}

}  // namespace tavel
