#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include "stream/checksum.h"

uint32_t updateCrc32(uint32_t crc, const uint8_t* data, uint64_t length) {
    return crc32_gzip_refl(crc, data, length);
}

uint32_t updateAdler32(uint32_t adler, const uint8_t* data, uint64_t length) {
    return isal_adler32(adler, data, length);
}
