// Paperang streams: framed packets with a CRC-32 each; per page a begin
// packet, a Huffman tree, bitmap packets with coded rows and an end packet.
// One page per begin/end pair.
#pragma once

#include "Stream.h"

bool DecodePaperang(Stream& s);
