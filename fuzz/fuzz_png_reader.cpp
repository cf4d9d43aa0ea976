#include "containers/png_container.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Every chunk's CRC checked, as a conversion does.
    fuzzReader(data, size, [](InputFile& input, InputFindings& findings) { return readPngContainer(input, true, findings); }, pngRegionRules);
    return 0;
}
