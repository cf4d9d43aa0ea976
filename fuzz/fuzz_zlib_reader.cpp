#include "containers/zlib_container.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzContainer(data, size, readZlibContainer, writeZlibContainer, FormatCode::Zlib);
    return 0;
}
