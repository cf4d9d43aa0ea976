#include "containers/gzip_container.h"

#include <algorithm>
#include <array>

#include "io/bytes.h"

namespace {

constexpr std::array<uint8_t, 2> gzipMagic = {0x1F, 0x8B};
constexpr uint64_t headerLength = 10;
constexpr uint64_t trailerLength = 8;
constexpr uint64_t methodOffset = 2;
constexpr uint64_t flagsOffset = 3;
constexpr uint64_t mtimeOffset = 4;
constexpr uint8_t deflateMethod = 8;
constexpr uint8_t flagsNone = 0x00;
constexpr uint8_t flagsName = 0x08;
constexpr uint8_t extraFlagsBest = 0x02;
constexpr uint8_t osUnix = 0x03;
// A name is held in memory; one this long is no file name but a damaged header.
constexpr uint64_t maxNameLength = 1 << 20;

bool methodAccepted(uint8_t method) {
    return method <= 4 || method == deflateMethod;
}

// Reads the zero-terminated name at offset, which must end before limit; end is just past the zero.
ResultCode readName(InputFile& input, uint64_t offset, uint64_t limit, std::vector<uint8_t>& name, uint64_t& end) {
    std::array<uint8_t, 256> block{};
    while (offset < limit && name.size() <= maxNameLength) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(block.size(), limit - offset));
        const ResultCode result = readAt(input, offset, block.data(), count);
        if (failed(result)) return result;
        const auto zero = std::find(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(count), uint8_t{0});
        name.insert(name.end(), block.begin(), zero);
        if (zero != block.begin() + static_cast<std::ptrdiff_t>(count)) {
            end = offset + static_cast<uint64_t>(zero - block.begin()) + 1;
            return ResultCode::Success;
        }
        offset += count;
    }
    return ResultCode::InputTruncated;
}

// CM 0 to 4 are read as DEFLATE, as old writers meant them; every output names DEFLATE, CM 8.
ResultCode readMethodAndFlags(InputFile& input, bool& hasName) {
    uint8_t method = 0;
    if (failed(readAt(input, methodOffset, &method, 1)) || !methodAccepted(method)) return ResultCode::UnsupportedMethod;
    uint8_t flags = 0;
    if (failed(readAt(input, flagsOffset, &flags, 1))) return ResultCode::UnsupportedGzipFlags;
    if (flags != flagsNone && flags != flagsName) return ResultCode::UnsupportedGzipFlags;
    hasName = flags == flagsName;
    return ResultCode::Success;
}

void parseGzipTrailer(const uint8_t* bytes, CarriedFacts& carried) {
    const uint32_t crc32 = loadLe32(bytes);
    const uint32_t size = loadLe32(bytes + 4);
    if (crc32 != 0) carried.crc32 = crc32;
    if (size != 0) carried.size = size;
}

ResultCode refuseSecondMember(const uint8_t* head, size_t length) {
    const bool member = length >= 2 && head[0] == gzipMagic[0] && head[1] == gzipMagic[1];
    return member ? ResultCode::SeveralGzipMembers : ResultCode::Success;
}

// RFC 1952: the name of the original file "with any directory components removed", and zero-
// terminated, so it ends at its first zero byte (a ZIP entry name may hold one).
std::vector<uint8_t> fnameOf(const std::vector<uint8_t>& name) {
    const auto end = std::find(name.begin(), name.end(), uint8_t{0});
    const auto slash = std::find(std::make_reverse_iterator(end), name.rend(), '/');
    return std::vector<uint8_t>(slash.base(), end);
}

}  // namespace

const RegionRules gzipRegionRules = {.parseTrailer = parseGzipTrailer,
                                       .judgeTrailingBytes = refuseSecondMember,
                                       .trailerHoldsCrc32 = true};

bool claimsGzipContainer(const uint8_t* head, size_t headLength) {
    return headLength >= 2 && head[0] == gzipMagic[0] && head[1] == gzipMagic[1];
}

ResultCode readGzipContainer(InputFile& input, InputFindings& findings) {
    CarriedFacts& carried = findings.carried;
    bool hasName = false;
    ResultCode result = readMethodAndFlags(input, hasName);
    if (failed(result)) return result;
    if (input.size < headerLength + trailerLength) return ResultCode::InputTruncated;

    uint8_t mtime[4];
    result = readAt(input, mtimeOffset, mtime, sizeof mtime);
    if (failed(result)) return result;
    if (loadLe32(mtime) != 0) carried.unixTime = loadLe32(mtime);  // unsigned: MTIME runs to 2106

    uint64_t streamOffset = headerLength;
    if (hasName) {
        carried.name.emplace();
        result = readName(input, headerLength, input.size - trailerLength, *carried.name, streamOffset);
        if (failed(result)) return result;
    }
    carried.sizeIsModulo2To32 = true;
    findings.region.extents = {Extent{streamOffset, input.size - streamOffset}};
    findings.region.length = input.size - streamOffset;
    findings.region.trailerLength = trailerLength;
    return ResultCode::Success;
}

ResultCode writeGzipHead(const OutputFacts& facts, OutputFile& output) {
    const bool withName = facts.format == FormatCode::GzipWithName;
    FieldBuffer header;
    putBytes(header, gzipMagic);
    putByte(header, deflateMethod);
    putByte(header, withName ? flagsName : flagsNone);
    putLe32(header, static_cast<uint32_t>(facts.unixTime));
    putByte(header, extraFlagsBest);
    putByte(header, osUnix);
    ResultCode result = writeFields(output, header);
    if (!failed(result) && withName) {
        std::vector<uint8_t> name = fnameOf(facts.name);
        name.push_back(0);
        result = writeBytes(output, name.data(), name.size());
    }
    return result;
}

ResultCode writeGzipTail(const OutputFacts& facts, OutputFile& output) {
    FieldBuffer trailer;
    putLe32(trailer, facts.crc32);
    putLe32(trailer, static_cast<uint32_t>(facts.size));  // ISIZE is the size modulo 2^32
    return writeFields(output, trailer);
}
