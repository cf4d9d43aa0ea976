#include "containers/zlib_container.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzReader(data, size, readZlibContainer, zlibRegionRules);
    return 0;
}
