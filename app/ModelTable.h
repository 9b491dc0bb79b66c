// The printer models of the printer application, made at build time from
// ppd/tavelpress.drv (cmake/ModelTable.cmake), the file ppdc makes the PPDs
// from: both offer the same models, page sizes and option choices. Sizes
// are in PostScript points as the PPDs give them; every option is the PPD's
// keyword with its choices and default, exactly as the engine reads them.
// The IPP name of each size comes from ppd/ipp-media-names.txt.
#pragma once

#include <string>
#include <vector>

#include "printers/Family.h"

namespace tavel {

struct ModelMedia {
  const char* ppdName;  // the PPD's PageSize choice
  const char* pwgName;  // the IPP media name
  double widthPt;       // exact PostScript size of the PPD
  double lengthPt;
};

struct ModelOption {
  const char* keyword;  // the PPD keyword the engine reads
  const char* defaultChoice;
  std::vector<const char*> choices;
};

struct ModelAttribute {
  const char* name;
  const char* value;
};

struct ModelInfo {
  const char* driverName;  // the application's driver name
  const char* modelName;   // the PPD's ModelName (with the manufacturer)
  const char* ppdFile;     // the PPD's PCFileName
  Family family;
  int modelNumber;         // the PPD's cupsModelNumber: which driver prints
  int dpi;
  std::vector<ModelMedia> media;
  const char* defaultMedia;  // ppdName of the default size
  double minWidthPt, minLengthPt, maxWidthPt, maxLengthPt;  // custom sizes
  std::vector<ModelOption> options;
  std::vector<ModelAttribute> attributes;

  const ModelOption* Option(const char* keyword) const;
  const ModelMedia* Media(const char* ppdName) const;
};

// The models, in the .drv's order.
const std::vector<ModelInfo>& Models();
// The model of a driver name, or null.
const ModelInfo* FindModel(const std::string& driverName);

}  // namespace tavel
