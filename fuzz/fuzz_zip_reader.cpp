#include "containers/zip_container.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first file entry, as a conversion without --entry reads it.
    fuzzReader(data, size, [](InputFile& input, InputFindings& findings) { return readZipContainer(input, nullptr, findings); }, zipRegionRules);
    return 0;
}
