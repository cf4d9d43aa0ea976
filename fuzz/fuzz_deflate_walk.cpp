// Arbitrary bytes as a raw DEFLATE stream: the decoder gives zlib's verdict, output and end bit,
// and reports a block start wherever zlib's inflate stops between blocks (Z_BLOCK).
#include <cstdlib>

#include "support/zlib_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bool accepted = false;
    if (!walkerAgreesWithZlib(data, size, accepted)) std::abort();
    return 0;
}
