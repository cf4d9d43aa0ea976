#include "containers/zip_container.h"
#include "fuzz_support.h"

namespace {

// The first file entry, as a conversion without --entry reads it.
ResultCode readFirstZipEntry(InputFile& input, InputFindings& findings) {
    return readZipContainer(input, nullptr, findings);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzReader(data, size, readFirstZipEntry, zipRegionRules);
    return 0;
}
