#include "containers/gzip_container.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzReader(data, size, readGzipContainer, gzipRegionRules);
    return 0;
}
