// zlib's verdict on DEFLATE is the reference, and the walker must give it on every stream: mutated
// streams of every kind of data and block (bit flips, changed bytes, cuts anywhere, flips at later
// block headers) must get zlib's verdict, output length, end bit and block starts.
// QUORVEXA_DIFFERENTIAL_STREAMS sets how many (a million takes a minute or two).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include <sys/mman.h>
#include <unistd.h>

#include "support/test_support.h"
#include "support/zlib_reference.h"

namespace {

std::vector<Bytes> sourceStreams() {
    std::vector<Bytes> streams;
    std::mt19937 random(7);
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        Bytes text = sampleData(3000 * seed, seed);
        Bytes binary(4000 * seed), runs(5000 * seed, 'a');
        for (auto& b : binary) b = static_cast<uint8_t>(random() % (seed == 1 ? 256 : 4 * seed));
        for (size_t i = 0; i < runs.size(); i += 1 + random() % 500) runs[i] = 'b';
        for (const Bytes* data : {&text, &binary, &runs}) {
            streams.push_back(deflateRaw(*data, 1 + int(seed % 9)));
            streams.push_back(deflateRaw(*data, 6, 1));  // blocks of a few hundred symbols
            streams.push_back(deflateRaw(*data, 6, 2, 4));  // fixed codes
            streams.push_back(deflateRaw(Bytes(data->begin(), data->begin() + 700), 0));  // stored
        }
    }
    return streams;
}

}  // namespace

TEST(EngineDifferential, WalkerGivesZlibsVerdictOnEveryMutatedStream) {
    InputFile file;
    file.handle = memfd_create("differential", MFD_CLOEXEC);
    const std::vector<Bytes> sources = sourceStreams();
    const char* wanted = std::getenv("QUORVEXA_DIFFERENTIAL_STREAMS");
    const long total = wanted ? std::atol(wanted) : 30000;
    std::mt19937 random(12345);
    long accepted = 0;
    for (long i = 0; i < total; ++i) {
        Bytes stream = sources[static_cast<size_t>(i) % sources.size()];
        const ZlibVerdict original = zlibVerdict(stream.data(), stream.size());
        const size_t at = random() % stream.size();
        switch (i % 4) {
        case 0: for (int flips = 1 + int(random() % 3); flips > 0; --flips) stream[random() % stream.size()] ^= uint8_t(1 << (random() % 8)); break;
        case 1: stream[at] = static_cast<uint8_t>(random()); break;
        case 2: stream.resize(at); break;
        default: {  // a bit near a later block's header
            const uint64_t bit = original.blockStarts.empty() ? 0 : original.blockStarts[random() % original.blockStarts.size()];
            stream[std::min<uint64_t>(stream.size() - 1, (bit + random() % 24) / 8)] ^= uint8_t(1 << (random() % 8));
        }
        }
        ASSERT_EQ(pwrite(file.handle, stream.data(), stream.size(), 0), static_cast<ssize_t>(stream.size()));
        file.size = stream.size();
        bool verdict = false;
        ASSERT_TRUE(walkerAgreesWithZlib(file, stream.data(), stream.size(), verdict)) << i;
        accepted += verdict;
    }
    std::printf("%ld streams: %ld accepted, %ld refused, all as zlib\n", total, accepted, total - accepted);
}
