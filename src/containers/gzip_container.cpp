#include "containers/gzip_container.h"

#include <algorithm>
#include <array>
#include <new>

#include "io/bytes.h"
#include "stream/checksum.h"

namespace {

constexpr std::array<uint8_t, 2> gzipMagic = {0x1F, 0x8B};
constexpr uint64_t headerLength = 10;
constexpr uint64_t trailerLength = 8;
constexpr uint64_t methodOffset = 2;
constexpr uint64_t flagsOffset = 3;
constexpr uint64_t mtimeOffset = 4;
constexpr uint8_t deflateMethod = 8;
constexpr uint8_t flagsNone = 0x00;
constexpr uint8_t flagHeaderCrc = 0x02;
constexpr uint8_t flagExtra = 0x04;
constexpr uint8_t flagsName = 0x08;
constexpr uint8_t flagComment = 0x10;
constexpr uint8_t flagsReserved = 0xE0;
constexpr uint8_t extraFlagsBest = 0x02;
constexpr uint8_t osUnix = 0x03;
// A name is held in memory; one this long is no file name but a damaged header.
constexpr uint64_t maxNameLength = 1 << 20;

bool methodAccepted(uint8_t method) {
    return method <= 4 || method == deflateMethod;
}

// Reads the zero-terminated field at offset, which must end before limit; end is just past the
// zero. A name is kept (if name isn't null) up to maxNameLength; a comment is only stepped over.
ResultCode readZeroTerminated(InputFile& input, uint64_t offset, uint64_t limit, std::vector<uint8_t>* name,
                              uint64_t& end) {
    std::array<uint8_t, 256> block{};
    while (offset < limit && (!name || name->size() <= maxNameLength)) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(block.size(), limit - offset));
        const ResultCode result = readAt(input, offset, block.data(), count);
        if (failed(result)) return result;
        const auto zero = std::find(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(count), uint8_t{0});
        try {
            if (name) name->insert(name->end(), block.begin(), zero);
        } catch (const std::bad_alloc&) {
            return ResultCode::OutOfMemory;
        }
        if (zero != block.begin() + static_cast<std::ptrdiff_t>(count)) {
            end = offset + static_cast<uint64_t>(zero - block.begin()) + 1;
            return ResultCode::Success;
        }
        offset += count;
    }
    return ResultCode::InputTruncated;
}

// CM 0 to 4 are read as DEFLATE, as old writers meant them; every output names DEFLATE, CM 8.
// FTEXT and every optional field are read; only the reserved bits are refused.
ResultCode readMethodAndFlags(InputFile& input, uint64_t offset, uint8_t& flags) {
    uint8_t method = 0;
    if (failed(readAt(input, offset + methodOffset, &method, 1)) || !methodAccepted(method)) {
        return ResultCode::UnsupportedMethod;
    }
    if (failed(readAt(input, offset + flagsOffset, &flags, 1))) return ResultCode::UnsupportedGzipFlags;
    return (flags & flagsReserved) != 0 ? ResultCode::UnsupportedGzipFlags : ResultCode::Success;
}

// FHCRC: the low 16 bits of the CRC-32 of every header byte before it.
ResultCode headerCrcMatches(InputFile& input, uint64_t offset, uint64_t crcOffset, bool& matches) {
    uint8_t stored[2];
    ResultCode result = readAt(input, crcOffset, stored, sizeof stored);
    uint32_t crc = 0;
    std::array<uint8_t, 4096> block{};
    for (uint64_t at = offset; !failed(result) && at < crcOffset; at += block.size()) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(block.size(), crcOffset - at));
        result = readAt(input, at, block.data(), count);
        crc = updateCrc32(crc, block.data(), count);
    }
    matches = (crc & 0xFFFFu) == (stored[0] | (uint32_t{stored[1]} << 8));
    return failed(result) ? ResultCode::InputTruncated : result;
}

// BGZF (samtools, bgzip) says each member's whole length in the extra field: a subfield BC of two
// bytes, BSIZE, one less than the length. Only a hint: the member's decoded end decides. 0 where
// the field's first bytes hold none.
uint64_t hintedMemberLength(InputFile& input, uint64_t extraOffset, uint64_t extraLength) {
    std::array<uint8_t, 64> extra{};
    const size_t count = static_cast<size_t>(std::min<uint64_t>(extra.size(), extraLength));
    if (failed(readAt(input, extraOffset, extra.data(), count))) return 0;
    for (size_t at = 0; at + 4 <= count;) {
        const size_t length = extra[at + 2] | (size_t{extra[at + 3]} << 8);
        if (extra[at] == 'B' && extra[at + 1] == 'C' && length == 2 && at + 6 <= count) {
            return (extra[at + 4] | (uint64_t{extra[at + 5]} << 8)) + 1;
        }
        at += 4 + length;
    }
    return 0;
}

// Reads the member header at offset, every field RFC 1952 names; the stream starts at streamOffset.
// The name is kept where name isn't null; a wrong FHCRC is noted in the facts, to be judged later;
// BGZF's hint of the member's length where hinted isn't null.
ResultCode readMemberHeader(InputFile& input, uint64_t offset, uint64_t& streamOffset, CarriedFacts& member,
                            std::vector<uint8_t>* name, uint64_t* hinted = nullptr) {
    uint8_t flags = 0;
    ResultCode result = readMethodAndFlags(input, offset, flags);
    if (failed(result)) return result;
    const uint64_t limit = input.size >= trailerLength ? input.size - trailerLength : 0;
    if (offset + headerLength > limit) return ResultCode::InputTruncated;
    uint8_t mtime[4];
    result = readAt(input, offset + mtimeOffset, mtime, sizeof mtime);
    if (failed(result)) return result;
    if (loadLe32(mtime) != 0) member.unixTime = loadLe32(mtime);  // unsigned: MTIME runs to 2106
    uint64_t at = offset + headerLength;
    if (flags & flagExtra) {
        uint8_t length[2];
        if (failed(readAt(input, at, length, sizeof length))) return ResultCode::InputTruncated;
        const uint64_t extraLength = length[0] | (uint32_t{length[1]} << 8);
        if (hinted && at + sizeof length + extraLength <= limit) *hinted = hintedMemberLength(input, at + sizeof length, extraLength);
        at += sizeof length + extraLength;
        if (at > limit) return ResultCode::InputTruncated;
    }
    if (flags & flagsName) result = readZeroTerminated(input, at, limit, name, at);
    if (!failed(result) && (flags & flagComment)) result = readZeroTerminated(input, at, limit, nullptr, at);
    if (!failed(result) && (flags & flagHeaderCrc)) {
        bool matches = false;
        result = headerCrcMatches(input, offset, at, matches);
        member.framingCrcWrong = !matches;
        at += 2;
    }
    streamOffset = at;
    return failed(result) ? result : (at > limit ? ResultCode::InputTruncated : ResultCode::Success);
}

void parseGzipTrailer(const uint8_t* bytes, CarriedFacts& carried) {
    const uint32_t crc32 = loadLe32(bytes);
    const uint32_t size = loadLe32(bytes + 4);
    if (crc32 != 0) carried.crc32 = crc32;
    if (size != 0) carried.size = size;
}

// RFC 1952: the name of the original file "with any directory components removed", and zero-
// terminated, so it ends at its first zero byte (a ZIP entry name may hold one).
std::vector<uint8_t> fnameOf(const std::vector<uint8_t>& name) {
    const auto end = std::find(name.begin(), name.end(), uint8_t{0});
    const auto slash = std::find(std::make_reverse_iterator(end), name.rend(), '/');
    return std::vector<uint8_t>(slash.base(), end);
}

// A later member, read for the check that joins it: where its stream starts, its FHCRC, its length
// where BGZF hints it.
ResultCode readLaterMember(InputFile& input, uint64_t offset, MemberStart& start) {
    // The file cut short inside the header (before its CM or FLG even): a truncated file, not a method.
    if (offset > input.size || input.size - offset < headerLength) return ResultCode::InputTruncated;
    CarriedFacts member;
    const ResultCode result = readMemberHeader(input, offset, start.streamOffset, member, nullptr, &start.hintedLength);
    start.headerCrcWrong = member.framingCrcWrong;
    return result;
}

}  // namespace

const RegionRules gzipRegionRules = {.parseTrailer = parseGzipTrailer,
                                       .trailerHoldsCrc32 = true,
                                       .readMember = readLaterMember};

bool claimsGzipContainer(const uint8_t* head, size_t headLength) {
    return headLength >= 2 && head[0] == gzipMagic[0] && head[1] == gzipMagic[1];
}

ResultCode readGzipContainer(InputFile& input, InputFindings& findings) {
    CarriedFacts& carried = findings.carried;
    uint8_t flags = 0;
    ResultCode result = readMethodAndFlags(input, 0, flags);
    if (failed(result)) return result;
    if (input.size < headerLength + trailerLength) return ResultCode::InputTruncated;
    if (flags & flagsName) carried.name.emplace();
    uint64_t streamOffset = 0;
    result = readMemberHeader(input, 0, streamOffset, carried, carried.name ? &*carried.name : nullptr);
    if (failed(result)) return result;
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
    if (failed(result) || !withName) return result;
    std::vector<uint8_t> name;
    try {
        name = fnameOf(facts.name);
        name.push_back(0);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
    return writeBytes(output, name.data(), name.size());
}

ResultCode writeGzipTail(const OutputFacts& facts, OutputFile& output) {
    FieldBuffer trailer;
    putLe32(trailer, facts.crc32);
    putLe32(trailer, static_cast<uint32_t>(facts.size));  // ISIZE is the size modulo 2^32
    return writeFields(output, trailer);
}
