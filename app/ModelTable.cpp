// The model table: its rows are made from ppd/tavelpress.drv at build time.
#include "app/ModelTable.h"

#include <cstring>

namespace tavel {
namespace {

constexpr double kPointsPerMm = 72.0 / 25.4;  // PostScript points per millimetre
constexpr double Mm(double mm) { return mm * kPointsPerMm; }

// The family of a .drv ModelNumber, or no build.
template <int kModelNumber>
constexpr Family ModelFamily() {
  static_assert(kModelNumber >= static_cast<int>(kFirstFamily) &&
                    kModelNumber <= static_cast<int>(kLastFamily),
                "ppd/tavelpress.drv: a ModelNumber that no printer family has");
  return static_cast<Family>(kModelNumber);
}

std::vector<ModelInfo> BuildModels() {
  return {
#include "tavelpress/Models.inc"
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
