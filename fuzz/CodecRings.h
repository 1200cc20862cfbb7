// Both codecs keep a ring from call to call, and a match may reach into the
// part a block has not written yet. A fixed input coded by both first makes
// every run start from the same ring, so that a finding replays alone.
#pragma once

#include "LzssReference.h"
#include "archive/Lzss.h"

inline void resetRings() {
    static const unsigned char primer[64] = {};
    static unsigned char scratch[worstCaseBlockSize(sizeof primer)];
    encodeBlock(primer, scratch, sizeof primer);
    referenceEncodeBlock(primer, scratch, sizeof primer);
}
