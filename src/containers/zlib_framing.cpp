#include "containers/zlib_framing.h"

#include "io/bytes.h"

void parseZlibTrailer(const uint8_t* bytes, CarriedFacts& carried) {
    const uint32_t adler32 = loadBe32(bytes);
    if (adler32 != 0) carried.adler32 = adler32;
}

bool isZlibHeader(const uint8_t* head, size_t length) {
    if (length < 2) return false;
    const bool deflate = (head[0] & 0x0F) == 8 && (head[0] >> 4) <= 7;
    const bool checked = (head[0] * 256 + head[1]) % 31 == 0;
    const bool presetDictionary = (head[1] & 0x20) != 0;
    return deflate && checked && !presetDictionary;
}

const RegionRules zlibRegionRules = {.parseTrailer = parseZlibTrailer, .trailerHoldsAdler32 = true};

void storeZlibTrailer(uint8_t* bytes, uint32_t adler32) {
    storeBe32(bytes, adler32);
}
