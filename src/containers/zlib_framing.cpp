#include "containers/zlib_framing.h"

#include "io/bytes.h"

void parseZlibTrailer(const uint8_t* bytes, CarriedFacts& carried) {
    const uint32_t adler32 = loadBe32(bytes);
    if (adler32 != 0) carried.adler32 = adler32;
}

bool isZlibHeader(const uint8_t* head, size_t length) {
    return length >= 2 && head[0] == 0x78 && (head[1] == 0x01 || head[1] == 0x5E || head[1] == 0x9C || head[1] == 0xDA);
}

const RegionRules zlibRegionRules = {.parseTrailer = parseZlibTrailer, .trailerHoldsAdler32 = true};

void storeZlibTrailer(uint8_t* bytes, uint32_t adler32) {
    storeBe32(bytes, adler32);
}
