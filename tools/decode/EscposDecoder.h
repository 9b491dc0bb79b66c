// ESC/POS receipt streams. A page starts at each ESC @ (init); every
// GS v 0 raster after it, up to the next ESC @, is stacked onto that page.
// Feeds, cuts and drawer pulses are listed but draw nothing.
#pragma once

#include "Stream.h"

bool DecodeEscpos(Stream& s);

// The ESC/POS commands that PeriPage streams use as well: ESC a, ESC J,
// ESC p, GS V, GS FF and the GS v 0 raster, whose rows are stacked onto
// page. Returns 1 when one was parsed (pos moved past it), 0 when the
// bytes at pos are none of them, -1 on a malformed one (error recorded).
int ParseSharedEscpos(Stream& s, size_t& pos, Page& page);
