// The printer languages by model number: the one place where a front end's
// model number becomes a driver object.
#pragma once

#include "render/BaseRender.h"

namespace tavel {

struct DriverRow {
  int modelNumber;       // the PPD's cupsModelNumber
  const char* language;  // for messages and listings
  CBaseRender* (*create)();
};

// The row of a model number, or null for a model no driver serves.
const DriverRow* FindDriver(int modelNumber);

// A new driver for the model (one reference, owned by the caller), or null
// when the model is unknown or there is no memory.
CBaseRender* CreateDriver(int modelNumber);

}  // namespace tavel
