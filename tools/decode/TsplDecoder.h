// TSPL label programs: CR LF ended command lines, the BITMAP command with
// its raw (mode 1) or zlib (mode 3) payload. One page per PRINT.
#pragma once

#include "Stream.h"

bool DecodeTspl(Stream& s);
