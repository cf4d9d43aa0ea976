#include "stream/deflate_walk.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>

#include "stream/checksum.h"

namespace {

// A decode table entry, one 32-bit word:
//   bits 0-7   bits to drop: the code's and its extra bits' (for a subtable pointer: the primary
//              index's width; in a subtable, a code counts only its bits past the primary index)
//   bits 8-11  kind: literal, subtable pointer, end of block, or a symbol zlib refuses
//   bits 12-15 the code's length, where its extra bits start (for a subtable pointer: the
//              subtable's index bits)
//   bits 16-31 the literal's byte, length or distance base, code-length symbol, or the subtable's
//              offset
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
    if (symbol < 256) return literalKind | symbol << 16;
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
// The first read is short and each next one twice as long, up to the buffer: a short stream (a
// BGZF member is about 20 KB) isn't read far past its end, a long one soon reads whole buffers.
constexpr size_t firstReadSize = 4 * 1024;

// The stream's bits, least significant first, in a 64-bit buffer refilled 8 bytes at a time. Past
// the stream's last byte it is fed zero bytes (counted in overread), so that decoding needs no test
// per byte; consuming any of them means the stream ended too early.
struct BitSource {
    RegionReader* reader = nullptr;  // none when the whole stream is in buffer
    uint64_t limit = 0;
    uint64_t fed = 0;                // bytes taken from the reader
    uint64_t bufferStart = 0;        // stream offset of buffer[0]
    uint8_t* room = nullptr;         // bufferSize bytes the reader reads into
    size_t readSize = firstReadSize; // the next read's length, at most
    const uint8_t* buffer = nullptr;
    const uint8_t* next = nullptr;
    const uint8_t* end = nullptr;
    uint64_t bits = 0;
    unsigned count = 0;     // valid bits in bits (those above are the next bytes, or zero)
    unsigned overread = 0;  // zero bytes fed past the stream's end
    bool exhausted = false;
    ResultCode readFailure = ResultCode::Success;
    uint32_t* streamCrc32 = nullptr;  // where the stream's own bytes are summed
    StreamBytesSeen streamBytes;      // and who else sees them
    uint64_t summed = 0;              // stream offset up to which they are
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

// Sums the stream's bytes from where the sum stands up to the stream offset to, all in the buffer.
void sumUpTo(BitSource& s, uint64_t to) {
    if (!s.streamCrc32 || to <= s.summed) return;
    const uint8_t* const from = s.buffer + (s.summed - s.bufferStart);
    *s.streamCrc32 = updateCrc32(*s.streamCrc32, from, to - s.summed);
    if (s.streamBytes.see) s.streamBytes.see(s.streamBytes.context, from, static_cast<size_t>(to - s.summed));
    s.summed = to;
}

// Keeps the unread bytes, and the 8 before them that the bit buffer may not have used up, and
// reads the next piece behind them. The bytes before those are the stream's: they are summed.
void readMore(BitSource& s) {
    const uint8_t* const keepFrom = s.next - std::min<ptrdiff_t>(8, s.next - s.buffer);
    const uint64_t keptStart = s.bufferStart + static_cast<uint64_t>(keepFrom - s.buffer);
    sumUpTo(s, keptStart);
    const size_t kept = static_cast<size_t>(s.end - keepFrom);
    std::memmove(s.room, keepFrom, kept);
    s.next = s.room + (s.next - keepFrom);
    s.bufferStart = keptStart;
    s.buffer = s.room;
    s.end = s.buffer + kept;
    const size_t want = static_cast<size_t>(std::min<uint64_t>({bufferSize - kept, s.readSize, s.limit - s.fed}));
    s.readSize = std::min(2 * s.readSize, bufferSize);
    size_t got = 0;
    const ResultCode result = want == 0 ? ResultCode::Success : readRegion(*s.reader, s.room + kept, want, got);
    if (failed(result)) s.readFailure = result;
    s.fed += got;
    s.end += got;
    if (failed(result) || got < want || s.fed == s.limit) s.exhausted = true;
}

// Fills bits up to at least 56: every bit in it is then the stream's, up to its 64th. Needs 8
// bytes at next.
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

// The inflated bytes: the last 32 KiB (as far back as a distance reaches) at the start of one flat
// buffer, then the bytes not yet handed over, then a few bytes a word copy may run past a match's
// end into. When a longest match may no longer fit, the new bytes are handed over and the last
// 32 KiB slide down to the start.
constexpr size_t historySize = 32 * 1024;
constexpr size_t areaSize = 256 * 1024;
constexpr size_t longestMatch = 258;
constexpr size_t copySlack = 64;
constexpr size_t windowSize = historySize + areaSize + copySlack;

struct Window {
    uint8_t* base = nullptr;  // windowSize bytes
    uint8_t* out = nullptr;
    uint8_t* handed = nullptr;  // the first byte not yet handed over
    uint64_t slid = 0;          // bytes slid off below base
    InflatedBytes bytes;
};

// Past this point a longest match, or a stored piece, may not fit.
uint8_t* fullAt(const Window& w) {
    return w.base + historySize + areaSize - longestMatch;
}

uint64_t producedIn(const Window& w) {
    return w.slid + static_cast<uint64_t>(w.out - w.base);
}

void handOver(Window& w) {
    if (w.out > w.handed) w.bytes.take(w.bytes.context, w.handed, static_cast<size_t>(w.out - w.handed));
    w.handed = w.out;
}

// Only called past fullAt, far beyond the first 32 KiB.
void slide(Window& w) {
    handOver(w);
    std::memmove(w.base, w.out - historySize, historySize);
    w.slid += static_cast<uint64_t>(w.out - w.base) - historySize;
    w.out = w.handed = w.base + historySize;
}

// A stored block's LEN and NLEN, after the bits up to the next byte: false when they disagree.
bool readStoredLength(BitSource& s, unsigned& length) {
    take(s, s.count & 7);
    length = take(s, 16);
    const unsigned complement = take(s, 16);
    return !pastEnd(s) && length == (~complement & 0xFFFF);
}

// Takes up to length of the whole bytes the bit buffer holds (the stream's, not those past its end).
unsigned takeBuffered(BitSource& s, unsigned length, Window* w) {
    const unsigned inBuffer = std::min(length, s.count / 8 - s.overread);
    for (unsigned i = 0; w && i < inBuffer; ++i) *w->out++ = static_cast<uint8_t>(s.bits >> (8 * i));
    s.bits >>= 8 * inBuffer;  // at most 7 bytes: the bit buffer was byte-aligned, then 32 bits taken
    s.count -= 8 * inBuffer;
    return inBuffer;
}

// Steps over rest stored bytes behind the bit buffer without reading them: the reader seeks.
bool skipStored(BitSource& s, uint64_t rest, uint64_t& produced) {
    const size_t fromBuffer = static_cast<size_t>(std::min<uint64_t>(rest, static_cast<uint64_t>(s.end - s.next)));
    s.next += fromBuffer;
    produced += fromBuffer;
    rest -= fromBuffer;
    if (rest == 0) return true;
    if (s.exhausted) return false;
    const uint64_t skip = std::min(rest, s.limit - s.fed);
    const uint64_t target = s.reader->position + skip;
    const ResultCode result = seekRegion(*s.reader, target);
    const uint64_t skipped = failed(result) ? 0 : s.reader->position + skip - target;
    if (failed(result)) s.readFailure = result;
    s.fed += skipped;
    s.bufferStart += static_cast<uint64_t>(s.end - s.buffer) + skipped;
    s.next = s.end = s.buffer;
    produced += skipped;
    s.exhausted = skipped < rest || s.fed == s.limit;
    return skipped == rest;
}

// Copies rest stored bytes behind the bit buffer into the window, reading as it goes.
bool copyStored(BitSource& s, uint64_t rest, Window& w) {
    while (rest > 0) {
        if (w.out > fullAt(w)) slide(w);
        if (s.next == s.end) {
            if (s.exhausted) return false;
            readMore(s);
            continue;
        }
        const size_t piece = std::min({static_cast<size_t>(rest), static_cast<size_t>(s.end - s.next),
                                       static_cast<size_t>(fullAt(w) + longestMatch - w.out)});
        std::memcpy(w.out, s.next, piece);
        w.out += piece;
        s.next += piece;
        rest -= piece;
    }
    return true;
}

// A stored block's bytes: copied into the window, or only counted (and stepped over) without one.
bool storedBlock(BitSource& s, uint64_t& produced, Window* w) {
    unsigned length = 0;
    if (!readStoredLength(s, length)) return false;
    if (w && w->out > fullAt(*w)) slide(*w);
    const unsigned inBuffer = takeBuffered(s, length, w);
    produced += inBuffer;
    if (inBuffer == length) return true;
    if (s.overread > 0) return false;
    s.bits = 0;  // what is left of the block starts at next
    s.count = 0;
    if (!w) return skipStored(s, length - inBuffer, produced);
    const bool complete = copyStored(s, length - inBuffer, *w);
    produced = producedIn(*w);
    return complete;
}

// Where a symbol's bytes go: a place in the window (uint8_t*), or, without a window, only a count
// of them (uint64_t). In both, at - start is how far back a distance may reach.
void putLiteral(uint64_t& at, uint32_t) {
    ++at;
}
void putLiteral(uint8_t*& at, uint32_t entry) {
    *at++ = static_cast<uint8_t>(entry >> 16);
}

void copyMatch(uint64_t& at, uint64_t, uint64_t length) {
    at += length;
}

void copyWord(uint8_t* to, const uint8_t* from) {
    uint64_t word = 0;
    std::memcpy(&word, from, sizeof word);
    std::memcpy(to, &word, sizeof word);
}

// Word copies where a word's source lies wholly before its destination, the first four without a
// test (most matches are short), up to 29 bytes past the match's end; a run of one byte repeats
// a word of it. Other short distances copy a word and step by the distance: its first bytes are
// those already written, and each load is the word the store before it wrote.
[[gnu::always_inline]] inline void copyMatch(uint8_t*& at, uint64_t distance, uint64_t length) {
    uint8_t* to = at;
    const uint8_t* from = at - distance;
    at += length;
    if (distance >= 8) {
        for (unsigned i = 0; i < 32; i += 8) copyWord(to + i, from + i);
        for (to += 32, from += 32; to < at; to += 8, from += 8) copyWord(to, from);
    } else if (distance == 1) {
        const uint64_t run = *from * uint64_t{0x0101010101010101};
        for (unsigned i = 0; i < 32; i += 8) std::memcpy(to + i, &run, 8);
        for (to += 32; to < at; to += 8) std::memcpy(to, &run, 8);
    } else {
        do {
            copyWord(to, from);
            to += distance;
            from += distance;
        } while (to < at);
    }
}

enum class Step { Going, EndOfBlock, Refused };

// Decodes one symbol, whose primary entry is looked up already, from bits that hold at least 56
// (past a refill) and writes its bytes. overread: the zero bytes fed past the stream's end, to
// refuse a symbol that took any of them. Where following is given, the next symbol's primary entry
// is looked up before the bytes are written: the stores can't then hold up the load.
template <typename Cursor>
[[gnu::always_inline]] inline Step decodeSymbol(uint64_t& bits, unsigned& count, uint32_t entry, const uint32_t* lit,
                                                const uint32_t* dist, Cursor& at, Cursor start, unsigned overread,
                                                uint32_t* following = nullptr) {
    const auto lookAhead = [&] {
        if (following) *following = lit[bits & ((1u << litBits) - 1)];
    };
    const auto drop = [&](unsigned n) {
        bits >>= n;
        count -= n;
    };
    if (entry & literalKind) {  // the one branch a literal takes
        drop(entry & 0xFF);
        if (count < overread * 8) return Step::Refused;
        putLiteral(at, entry);
        return Step::Going;
    }
    if (entry & subtableKind) {
        drop(entry & 0xFF);
        entry = lit[(entry >> 16) + (bits & ((1u << ((entry >> 12) & 15)) - 1))];
    }
    if (entry & (literalKind | endKind | refusedKind)) {
        drop(entry & 0xFF);
        if ((entry & refusedKind) || count < overread * 8) return Step::Refused;
        if (entry & endKind) return Step::EndOfBlock;
        lookAhead();
        putLiteral(at, entry);
        return Step::Going;
    }
    const uint64_t length = valueOf(entry, bits);
    drop(entry & 0xFF);
    uint32_t d = dist[bits & ((1u << distBits) - 1)];
    if (d & subtableKind) {
        drop(d & 0xFF);
        d = dist[(d >> 16) + (bits & ((1u << ((d >> 12) & 15)) - 1))];
    }
    const uint64_t distance = valueOf(d, bits);
    drop(d & 0xFF);
    if ((d & refusedKind) || count < overread * 8 || distance > static_cast<uint64_t>(at - start)) {
        return Step::Refused;
    }
    lookAhead();
    copyMatch(at, distance, length);
    return Step::Going;
}

// Symbols while at least 8 input bytes and room for a longest match remain: no test but those
// two per symbol, and one refill, which serves a whole match (a 15-bit length code, 5 extra bits,
// a 15-bit distance code, 13 extra bits) or three literals of the primary table (11 bits each).
// The next entry is looked up before the refill, from the 16 or more bits a symbol leaves (a
// refill leaves the stream's own bits up to the 64th), so the lookup doesn't wait for it.
template <typename Cursor>
Step fastSymbols(BitSource& s, const uint32_t* lit, const uint32_t* dist, Cursor& at, Cursor start, Cursor full) {
    constexpr uint32_t litMask = (1u << litBits) - 1;
    uint64_t bits = s.bits;
    unsigned count = s.count;
    const uint8_t* next = s.next;
    const uint8_t* const lastRefill = s.end - 8;  // the caller saw 8 bytes at next
    Cursor to = at;
    const auto literal = [&](uint32_t& entry) {
        bits >>= entry & 0xFF;
        count -= entry & 0xFF;
        putLiteral(to, entry);
        entry = lit[bits & litMask];
    };
    refillFast(bits, count, next);
    uint32_t entry = lit[bits & litMask];
    Step step = Step::Going;
    while (next <= lastRefill && to <= full) {
        if (entry & literalKind) {
            literal(entry);
            if (entry & literalKind) {
                literal(entry);
                if (entry & literalKind) literal(entry);
            }
        } else {
            step = decodeSymbol(bits, count, entry, lit, dist, to, start, 0, &entry);
            if (step != Step::Going) break;
        }
        refillFast(bits, count, next);
    }
    s.bits = bits;
    s.count = count;
    s.next = next;
    at = to;
    return step;
}

// One symbol near the input's end, where a refill may read the next piece or feed zero bytes.
template <typename Cursor>
Step carefulSymbol(BitSource& s, const uint32_t* lit, const uint32_t* dist, Cursor& at, Cursor start) {
    if (s.count < 56) refill(s);
    const uint32_t entry = lit[s.bits & ((1u << litBits) - 1)];
    return decodeSymbol(s.bits, s.count, entry, lit, dist, at, start, s.overread);
}

// A Huffman-coded block's symbols, up to its end-of-block code: false where one is refused.
template <typename Cursor>
bool codedBlock(BitSource& s, const uint32_t* lit, const uint32_t* dist, Cursor& at, Cursor start, Window* w) {
    Cursor full{};
    if constexpr (std::is_pointer_v<Cursor>) {
        full = fullAt(*w);
    } else {
        full = std::numeric_limits<Cursor>::max();
    }
    for (;;) {
        if constexpr (std::is_pointer_v<Cursor>) {
            if (at > full) slide(*w);
        }
        const Step step = s.end - s.next >= 8 ? fastSymbols(s, lit, dist, at, start, full)
                                              : carefulSymbol(s, lit, dist, at, start);
        if (step != Step::Going) return step == Step::EndOfBlock;
    }
}

bool decodeBlock(BitSource& s, const uint32_t* lit, const uint32_t* dist, uint64_t& produced, Window* w) {
    if (!w) return codedBlock(s, lit, dist, produced, uint64_t{0}, w);
    const bool valid = codedBlock(s, lit, dist, w->out, w->base, w);
    produced = producedIn(*w);
    return valid;
}

ResultCode walkBlocks(BitSource& s, Tables& tables, DeflateWalk& walk, BlockReport report, Window* w) {
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
        case 0: valid = storedBlock(s, walk.produced, w); break;
        case 1: valid = decodeBlock(s, fixed.lit.data(), fixed.dist.data(), walk.produced, w); break;
        case 2:
            valid = readDynamicHeader(s, tables) && decodeBlock(s, tables.lit.data(), tables.dist.data(), walk.produced, w);
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

// The tables, the input buffer and the window, kept for the thread's life: a batch of small files
// walked on one thread doesn't pay for them each time. A window's pages are only touched where it
// is written to.
struct Memory {
    Tables tables;
    std::array<uint8_t, bufferSize> buffer;
    std::array<uint8_t, windowSize> window;
};

Memory* threadMemory() {
    // No exception leaves: the walk may run on a thread of its own.
    thread_local const std::unique_ptr<Memory> memory(new (std::nothrow) Memory);
    return memory.get();
}

ResultCode walkSource(BitSource& s, Memory& memory, DeflateWalk& walk, BlockReport report, InflatedBytes bytes) {
    walk = DeflateWalk{};
    Window window;
    window.base = window.out = window.handed = memory.window.data();
    window.bytes = bytes;
    Window* const w = bytes.take ? &window : nullptr;
    s.streamCrc32 = w ? bytes.streamCrc32 : nullptr;  // a walk steps over stored bytes unread
    s.streamBytes = bytes.streamBytes;
    const ResultCode result = walkBlocks(s, memory.tables, walk, report, w);
    if (w) handOver(window);
    if (failed(s.readFailure)) return s.readFailure;
    if (!failed(result)) sumUpTo(s, endByte(walk.endBit));
    return result;
}

}  // namespace

std::array<uint8_t, 5> storedBlockHeader(uint16_t length, bool isFinal) {
    const uint16_t complement = static_cast<uint16_t>(~length);
    return {static_cast<uint8_t>(isFinal ? 1 : 0), static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(complement), static_cast<uint8_t>(complement >> 8)};
}

uint8_t withFinalBitCleared(uint8_t byte, uint64_t finalHeaderBit) {
    return static_cast<uint8_t>(byte & ~(1u << (finalHeaderBit % 8)));
}

// The stored block's three header bits go right behind the stream's last bit where its last byte
// leaves three free; else they spill into a byte of their own. Its padding, LEN and NLEN follow.
size_t joinSeam(uint64_t endBit, uint8_t lastByte, std::array<uint8_t, 6>& seam) {
    const unsigned used = static_cast<unsigned>(endBit - (endByte(endBit) - 1) * 8);  // 1 to 8
    seam = {static_cast<uint8_t>(used < 8 ? lastByte & ((1u << used) - 1) : lastByte), 0, 0, 0, 0xFF, 0xFF};
    const size_t length = joinSeamLength(endBit);
    if (length == 5) std::copy(seam.begin() + 2, seam.end(), seam.begin() + 1);
    return length;
}

size_t joinSeamLength(uint64_t endBit) {
    const unsigned used = static_cast<unsigned>(endBit - (endByte(endBit) - 1) * 8);
    return used + 3 > 8 ? 6 : 5;
}

ResultCode walkDeflate(RegionReader& reader, uint64_t limit, DeflateWalk& walk, BlockReport report, InflatedBytes bytes) {
    Memory* const memory = threadMemory();
    if (!memory) return ResultCode::OutOfMemory;
    BitSource source;
    source.reader = &reader;
    source.limit = limit;
    if (reader.expected > 0) source.readSize = static_cast<size_t>(std::clamp<uint64_t>(reader.expected, firstReadSize, bufferSize));
    source.room = memory->buffer.data();
    source.buffer = source.next = source.end = source.room;
    source.exhausted = limit == 0;
    return walkSource(source, *memory, walk, report, bytes);
}

ResultCode walkDeflate(const uint8_t* stream, size_t size, DeflateWalk& walk, BlockReport report, InflatedBytes bytes) {
    Memory* const memory = threadMemory();
    if (!memory) return ResultCode::OutOfMemory;
    BitSource source;
    source.limit = source.fed = size;
    source.buffer = source.next = stream;
    source.end = stream + size;
    source.exhausted = true;
    return walkSource(source, *memory, walk, report, bytes);
}
