// CPCL labels: "! offset hres vres height qty" up to PRINT, CR LF ended
// lines, CG followed by its raw graphic bytes. One page per label.
#pragma once

#include "Stream.h"

bool DecodeCpcl(Stream& s);
