#include "containers/png_container.h"
#include "fuzz_support.h"

namespace {

ResultCode readCheckingCrcs(InputFile& input, InputFindings& findings) {
    return readPngContainer(input, true, findings);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzReader(data, size, readCheckingCrcs, pngRegionRules);
    return 0;
}
