// Arbitrary bytes as a raw DEFLATE stream: the walker gives zlib's verdict, output length and end
// bit, and reports a block start wherever zlib's inflate stops between blocks (Z_BLOCK).
#include <cstdlib>

#include "fuzz_support.h"
#include "support/zlib_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputFile input;
    openMemoryInput(data, size, input);
    bool accepted = false;
    if (!walkerAgreesWithZlib(input, data, size, accepted)) std::abort();
    return 0;
}
