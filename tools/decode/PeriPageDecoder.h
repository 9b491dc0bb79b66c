// PeriPage streams: ESC/POS-like commands of their own, GS v 0 rasters and
// zlib-compressed raster blocks. A page ends at each end-of-print command
// (10 FF FE 45); every raster before it since the previous one is stacked.
#pragma once

#include "Stream.h"

bool DecodePeriPage(Stream& s);
