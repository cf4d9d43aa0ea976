#include "stream/deflate_walk.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

namespace {

// A decode table entry, one 32-bit word:
//   bits 0-7   bits to drop: the code's and its extra bits' (for a subtable pointer: the primary
//              index's width; in a subtable, a code counts only its bits past the primary index)
//   bits 8-11  kind: literal, subtable pointer, end of block, or a symbol zlib refuses
//   bits 12-15 the code's length, where its extra bits start (for a subtable pointer: the
//              subtable's index bits)
//   bits 16-31 length or distance base, code-length symbol, or the subtable's offset
// One shift drops a code with its extra bits, and the extra bits' value comes off the side.

constexpr uint32_t literalKind = 0x100;
constexpr uint32_t subtableKind = 0x200;
constexpr uint32_t endKind = 0x400;
constexpr uint32_t refusedKind = 0x800;

constexpr unsigned litBits = 11;
constexpr unsigned distBits = 8;
constexpr unsigned codeLengthBits = 7;
// The largest tables complete codes can need with these primary sizes (zlib's `enough` program:
// 288 symbols, 11 bits, 15 at most: 2342; 32 symbols, 8 bits: 402). A build never writes past them.
constexpr unsigned litCapacity = 2342;
constexpr unsigned distCapacity = 402;
constexpr unsigned maxCodeLength = 15;

constexpr std::array<uint16_t, 29> lengthBase = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<uint8_t, 29> lengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<uint16_t, 30> distBase = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,    65,    97,    129,
                                               193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<uint8_t, 30> distExtra = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                               6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order the code-length code's lengths are sent in.
constexpr std::array<uint8_t, 19> codeLengthOrder = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// What a symbol decodes to, before its code length is added.
uint32_t litEntry(unsigned symbol) {
    if (symbol < 256) return literalKind;
    if (symbol == 256) return endKind;
    if (symbol > 285) return refusedKind;
    return uint32_t{lengthBase[symbol - 257]} << 16 | uint32_t{lengthExtra[symbol - 257]};
}
uint32_t distEntry(unsigned symbol) {
    if (symbol >= 30) return refusedKind;
    return uint32_t{distBase[symbol]} << 16 | uint32_t{distExtra[symbol]};
}
uint32_t codeLengthEntry(unsigned symbol) {
    return uint32_t{symbol} << 16;
}

// The next canonical code after code (both bit-reversed, as the stream sends them first bit
// first), of the given length: zlib's increment.
unsigned nextReversed(unsigned code, unsigned length) {
    unsigned step = 1u << (length - 1);
    while (code & step) step >>= 1;
    return step ? (code & (step - 1)) + step : 0;
}

struct TableKind {
    unsigned rootBits;
    unsigned capacity;
    uint32_t (*entry)(unsigned symbol);
    bool mayBeIncomplete;  // the 1-bit exception; the code-length code must be complete
};
constexpr TableKind litTable{litBits, litCapacity, litEntry, true};
constexpr TableKind distTable{distBits, distCapacity, distEntry, true};
constexpr TableKind codeLengthTable{codeLengthBits, 1u << codeLengthBits, codeLengthEntry, false};

// Sizes a subtable as zlib does: wide enough for the codes that share its prefix.
unsigned subtableBits(unsigned length, unsigned root, unsigned longest, const std::array<unsigned, 16>& left) {
    unsigned bits = length - root;
    int room = 1 << bits;
    while (bits + root < longest) {
        room -= static_cast<int>(left[bits + root]);
        if (room <= 0) break;
        ++bits;
        room <<= 1;
    }
    return bits;
}

// A code's length, in the two places an entry holds it.
uint32_t codeBits(unsigned length) {
    return length | length << 12;
}

// A length's or distance's value: its base plus the extra bits behind its code.
uint64_t valueOf(uint32_t entry, uint64_t bits) {
    return (entry >> 16) + ((bits & ((uint64_t{1} << (entry & 0xFF)) - 1)) >> ((entry >> 12) & 15));
}

// Fills a code's entries in a subtable, every 2^length entries.
void place(uint32_t* entries, unsigned first, unsigned step, unsigned size, uint32_t entry) {
    for (unsigned i = first; i < size; i += step) entries[i] = entry;
}

// Builds a decode table from code lengths, refusing what zlib refuses: an over-subscribed set, an
// incomplete one (save a set whose longest code is 1 bit, where the kind of table allows it). An empty set
// builds a table in which every code is refused. False when the set is refused.
bool buildTable(const uint8_t* lengths, unsigned count, const TableKind& kind, uint32_t* table) {
    std::array<unsigned, 16> perLength{};
    for (unsigned s = 0; s < count; ++s) ++perLength[lengths[s]];
    perLength[0] = 0;
    unsigned longest = maxCodeLength;
    while (longest > 0 && perLength[longest] == 0) --longest;
    int room = 1;
    for (unsigned len = 1; len <= maxCodeLength; ++len) {
        room = (room << 1) - static_cast<int>(perLength[len]);
        if (room < 0) return false;
    }
    if (room > 0 && longest != 0 && !(kind.mayBeIncomplete && longest == 1)) return false;
    std::array<uint16_t, 288> sorted{};  // symbols by code length, then by value: canonical order
    std::array<unsigned, 17> offset{};
    for (unsigned len = 1; len <= maxCodeLength; ++len) offset[len + 1] = offset[len] + perLength[len];
    for (unsigned s = 0; s < count; ++s) {
        if (lengths[s] != 0) sorted[offset[lengths[s]]++] = static_cast<uint16_t>(s);
    }
    // Codes up to the primary index's width: each written once into a table as wide as the code,
    // which doubles (a copy) before the next length. Unused entries of an incomplete set refuse.
    table[0] = table[1] = refusedKind + codeBits(1);
    unsigned code = 0, placed = 0, size = 2;
    for (unsigned len = 1; len <= kind.rootBits; ++len) {
        for (unsigned n = 0; n < perLength[len]; ++n, code = nextReversed(code, len)) {
            table[code] = kind.entry(sorted[placed++]) + codeBits(len);
        }
        if (len == kind.rootBits) break;
        std::memcpy(table + size, table, size * sizeof *table);
        size *= 2;
    }
    // Longer codes: in subtables sized as zlib sizes them, wide enough for the codes that share
    // their prefix.
    std::array<unsigned, 16> left = perLength;
    unsigned used = size, prefix = size, subOffset = 0, subBits = 0;
    for (unsigned len = kind.rootBits + 1; len <= longest; ++len) {
        for (unsigned n = 0; n < perLength[len]; ++n, --left[len], code = nextReversed(code, len)) {
            if ((code & (size - 1)) != prefix) {
                prefix = code & (size - 1);
                subBits = subtableBits(len, kind.rootBits, longest, left);
                subOffset = used;
                used += 1u << subBits;
                if (used > kind.capacity) return false;  // never for a set that passed the checks above
                table[prefix] = subtableKind | kind.rootBits | subBits << 12 | subOffset << 16;
            }
            place(table + subOffset, code >> kind.rootBits, 1u << (len - kind.rootBits), 1u << subBits,
                  kind.entry(sorted[placed++]) + codeBits(len - kind.rootBits));
        }
    }
    return true;
}

constexpr size_t bufferSize = 128 * 1024;

// The stream's bits, least significant first, in a 64-bit buffer refilled 8 bytes at a time. Past
// the stream's last byte it is fed zero bytes (counted in overread), so that decoding needs no test
// per byte; consuming any of them means the stream ended too early.
struct BitSource {
    RegionReader* reader = nullptr;
    uint64_t limit = 0;
    uint64_t fed = 0;           // bytes taken from the reader
    uint64_t bufferStart = 0;   // stream offset of buffer[0]
    uint8_t* buffer = nullptr;  // bufferSize bytes
    const uint8_t* next = nullptr;
    const uint8_t* end = nullptr;
    uint64_t bits = 0;
    unsigned count = 0;     // valid bits in bits (those above are the next bytes, or zero)
    unsigned overread = 0;  // zero bytes fed past the stream's end
    bool exhausted = false;
    ResultCode readFailure = ResultCode::Success;
};

uint64_t bitPosition(const BitSource& s) {
    return (s.bufferStart + static_cast<uint64_t>(s.next - s.buffer) + s.overread) * 8 - s.count;
}

bool pastEnd(const BitSource& s) {
    return s.count < s.overread * 8;
}

// Eight bytes, least significant first: one load on little-endian machines.
uint64_t load64(const uint8_t* bytes) {
    uint64_t word = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&word, bytes, sizeof word);
    } else {
        for (unsigned i = 0; i < 8; ++i) word |= uint64_t{bytes[i]} << (8 * i);
    }
    return word;
}

// Keeps the unread bytes and reads the next piece behind them.
void readMore(BitSource& s) {
    const size_t kept = static_cast<size_t>(s.end - s.next);
    std::memmove(s.buffer, s.next, kept);
    s.bufferStart += static_cast<uint64_t>(s.next - s.buffer);
    s.next = s.buffer;
    s.end = s.buffer + kept;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(bufferSize - kept, s.limit - s.fed));
    size_t got = 0;
    const ResultCode result = want == 0 ? ResultCode::Success : readRegion(*s.reader, s.buffer + kept, want, got);
    if (failed(result)) s.readFailure = result;
    s.fed += got;
    s.end += got;
    if (failed(result) || got < want || s.fed == s.limit) s.exhausted = true;
}

void refillFast(uint64_t& bits, unsigned& count, const uint8_t*& next) {
    bits |= load64(next) << count;
    next += (63 - count) >> 3;
    count |= 56;
}

// Refills to at least 56 bits where fewer than 8 bytes are at hand.
void refillSlow(BitSource& s) {
    if (!s.exhausted) readMore(s);
    if (s.end - s.next >= 8) return refillFast(s.bits, s.count, s.next);
    while (s.count <= 56) {
        if (s.next < s.end) {
            s.bits |= uint64_t{*s.next++} << s.count;
        } else {
            ++s.overread;
        }
        s.count += 8;
    }
}

void refill(BitSource& s) {
    if (s.end - s.next >= 8) return refillFast(s.bits, s.count, s.next);
    refillSlow(s);
}

// Takes n bits (n at most 56 past a refill).
unsigned take(BitSource& s, unsigned n) {
    if (s.count < n) refill(s);
    const unsigned value = static_cast<unsigned>(s.bits & ((uint64_t{1} << n) - 1));
    s.bits >>= n;
    s.count -= n;
    return value;
}

struct Tables {
    std::array<uint32_t, litCapacity> lit;
    std::array<uint32_t, distCapacity> dist;
    std::array<uint32_t, 1u << codeLengthBits> codeLength;
    std::array<uint8_t, 286 + 30> lengths;
};

struct FixedTables {
    std::array<uint32_t, litCapacity> lit{};
    std::array<uint32_t, distCapacity> dist{};
    FixedTables() {
        std::array<uint8_t, 288> lengths{};
        std::fill(lengths.begin(), lengths.begin() + 144, 8);
        std::fill(lengths.begin() + 144, lengths.begin() + 256, 9);
        std::fill(lengths.begin() + 256, lengths.begin() + 280, 7);
        std::fill(lengths.begin() + 280, lengths.end(), 8);
        buildTable(lengths.data(), 288, litTable, lit.data());
        lengths.fill(5);
        buildTable(lengths.data(), 32, distTable, dist.data());
    }
};

// Reads a dynamic block's header and builds its tables.
bool readDynamicHeader(BitSource& s, Tables& t) {
    const unsigned litCount = take(s, 5) + 257;
    const unsigned distCount = take(s, 5) + 1;
    const unsigned codeLengthCount = take(s, 4) + 4;
    if (litCount > 286 || distCount > 30) return false;
    std::array<uint8_t, 19> codeLengthLengths{};
    for (unsigned i = 0; i < codeLengthCount; ++i) codeLengthLengths[codeLengthOrder[i]] = static_cast<uint8_t>(take(s, 3));
    // With no code at all, every entry reads as a length of 0 in 1 bit, as in zlib, and the
    // end-of-block code is missed.
    if (!buildTable(codeLengthLengths.data(), 19, codeLengthTable, t.codeLength.data())) return false;
    const unsigned total = litCount + distCount;
    for (unsigned have = 0; have < total;) {
        if (s.count < 14) refill(s);
        const uint32_t entry = t.codeLength[s.bits & ((1u << codeLengthBits) - 1)];
        s.bits >>= entry & 0xFF;
        s.count -= entry & 0xFF;
        const unsigned symbol = entry >> 16;
        if (symbol < 16) {
            t.lengths[have++] = static_cast<uint8_t>(symbol);
            continue;
        }
        if (symbol == 16 && have == 0) return false;
        const uint8_t value = symbol == 16 ? t.lengths[have - 1] : 0;
        const unsigned repeat = symbol == 16 ? 3 + take(s, 2) : symbol == 17 ? 3 + take(s, 3) : 11 + take(s, 7);
        if (have + repeat > total) return false;
        std::fill_n(t.lengths.begin() + have, repeat, value);
        have += repeat;
    }
    if (pastEnd(s) || t.lengths[256] == 0) return false;
    if (!buildTable(t.lengths.data(), litCount, litTable, t.lit.data())) return false;
    return buildTable(t.lengths.data() + litCount, distCount, distTable, t.dist.data());
}

// Skips a stored block's bytes, counting what the stream holds of them.
bool skipStored(BitSource& s, uint64_t& produced) {
    take(s, s.count & 7);
    const unsigned length = take(s, 16);
    const unsigned complement = take(s, 16);
    if (pastEnd(s)) return false;
    if (length != (~complement & 0xFFFF)) return false;
    const unsigned inBuffer = std::min(length, s.count / 8 - s.overread);
    s.bits >>= 8 * inBuffer;
    s.count -= 8 * inBuffer;
    produced += inBuffer;
    uint64_t rest = length - inBuffer;
    if (rest == 0) return true;
    if (s.overread > 0) return false;
    s.bits = 0;  // the bytes above count are the ones skipped next
    s.count = 0;
    const size_t fromBuffer = static_cast<size_t>(std::min<uint64_t>(rest, static_cast<uint64_t>(s.end - s.next)));
    s.next += fromBuffer;
    produced += fromBuffer;
    rest -= fromBuffer;
    if (rest == 0) return true;
    // The rest is never read: the reader steps over it.
    const uint64_t available = s.limit - s.fed;
    const uint64_t skip = std::min(rest, available);
    const uint64_t target = s.reader->position + skip;
    const ResultCode result = seekRegion(*s.reader, target);
    const uint64_t skipped = failed(result) ? 0 : s.reader->position + skip - target;
    if (failed(result)) s.readFailure = result;
    s.fed += skipped;
    s.bufferStart += static_cast<uint64_t>(s.end - s.buffer) + skipped;
    s.next = s.end = s.buffer;
    produced += skipped;
    if (skipped < rest) {
        s.exhausted = true;
        return false;
    }
    s.exhausted = s.fed == s.limit;
    return true;
}

// Decodes a Huffman-coded block's symbols up to its end-of-block code. A refill (no branch but
// near a piece's end) follows every symbol, and serves a whole match: a 15-bit length code, 5
// extra bits, a 15-bit distance code, 13 extra bits. The next entry is looked up before the
// refill, which leaves the bits below count as they are, so the lookup doesn't wait for it; so a
// literal costs one unpredictable branch (literal or not).
bool walkSymbols(BitSource& s, const uint32_t* lit, const uint32_t* dist, uint64_t& produced) {
    constexpr uint32_t litMask = (1u << litBits) - 1;
    uint64_t bits = s.bits, out = produced;
    unsigned count = s.count;
    const uint8_t* next = s.next;
    const uint8_t* end = s.end;
    unsigned overread = s.overread;
    const auto save = [&] {
        s.bits = bits;
        s.count = count;
        s.next = next;
        produced = out;
    };
    const auto refill = [&] {
        if (end - next >= 8) return refillFast(bits, count, next);
        save();
        refillSlow(s);
        bits = s.bits, count = s.count, next = s.next, end = s.end, overread = s.overread;
    };
    const auto drop = [&](unsigned n) {
        bits >>= n;
        count -= n;
    };
    refill();
    uint32_t entry = lit[bits & litMask];
    for (;;) {
        if (entry & literalKind) {  // the one branch a literal takes
            drop(entry & 0xFF);
            if (overread && count < overread * 8) break;
            ++out;
            entry = lit[bits & litMask];
            refill();
            continue;
        }
        if (entry & subtableKind) {
            drop(entry & 0xFF);
            entry = lit[(entry >> 16) + (bits & ((1u << ((entry >> 12) & 15)) - 1))];
        }
        if (entry & (literalKind | endKind | refusedKind)) {
            drop(entry & 0xFF);
            if ((entry & refusedKind) || (overread && count < overread * 8)) break;
            if (entry & endKind) {
                save();
                return true;
            }
            ++out;
        } else {
            const uint64_t length = valueOf(entry, bits);
            drop(entry & 0xFF);
            uint32_t d = dist[bits & ((1u << distBits) - 1)];
            if (d & subtableKind) {
                drop(d & 0xFF);
                d = dist[(d >> 16) + (bits & ((1u << ((d >> 12) & 15)) - 1))];
            }
            const uint64_t distance = valueOf(d, bits);
            drop(d & 0xFF);
            if ((d & refusedKind) || (overread && count < overread * 8) || distance > out) break;
            out += length;
        }
        refill();
        entry = lit[bits & litMask];
    }
    save();
    return false;
}

ResultCode walkBlocks(BitSource& s, Tables& tables, DeflateWalk& walk, BlockReport report) {
    static const FixedTables fixed;
    for (;;) {
        const uint64_t headerBit = bitPosition(s);
        const unsigned header = take(s, 3);
        if (pastEnd(s)) return ResultCode::InflateFailed;
        const bool isFinal = (header & 1) != 0;
        if (report.onBlock) report.onBlock(report.context, headerBit, isFinal);
        if (isFinal) walk.finalHeaderBit = headerBit;
        bool valid = false;
        switch (header >> 1) {
        case 0: valid = skipStored(s, walk.produced); break;
        case 1: valid = walkSymbols(s, fixed.lit.data(), fixed.dist.data(), walk.produced); break;
        case 2:
            valid = readDynamicHeader(s, tables) && walkSymbols(s, tables.lit.data(), tables.dist.data(), walk.produced);
            break;
        default: break;
        }
        if (!valid) return ResultCode::InflateFailed;
        if (isFinal) {
            walk.endBit = bitPosition(s);
            return ResultCode::Success;
        }
    }
}

}  // namespace

ResultCode walkDeflate(RegionReader& reader, uint64_t limit, DeflateWalk& walk, BlockReport report) {
    walk = DeflateWalk{};
    // Kept for the thread's life, so that a batch of small files doesn't pay for it each time. No
    // exception leaves: the walk may run on a thread of its own.
    struct Memory {
        Tables tables;
        std::array<uint8_t, bufferSize> buffer;
    };
    thread_local const std::unique_ptr<Memory> memory(new (std::nothrow) Memory);
    if (!memory) return ResultCode::OutOfMemory;
    BitSource source;
    source.reader = &reader;
    source.limit = limit;
    source.buffer = memory->buffer.data();
    source.next = source.end = source.buffer;
    source.exhausted = limit == 0;
    const ResultCode result = walkBlocks(source, memory->tables, walk, report);
    return failed(source.readFailure) ? source.readFailure : result;
}
