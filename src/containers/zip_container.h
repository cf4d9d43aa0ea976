// ZIP archives: the first entry that holds a file is read, or each file entry in turn; archives are
// written (each entry's local header and data, then the central directory and end record), with
// ZIP64 records only where an entry's size or offset, the directory's place or the count of entries
// doesn't fit its field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "io/input_file.h"
#include "io/output_file.h"
#include "io/region_reader.h"
#include "stream/stream_check.h"

// Detection: 50 4B. The reader itself insists on 50 4B 03 04 (a local header first) there.
bool claimsZipContainer(const uint8_t* head, size_t headLength);

// For a file no container's first bytes claim: true where its last 65,557 bytes hold an end
// record's signature, as an archive with something in front of it (a self-extractor) does.
bool holdsZipEndRecord(InputFile& input);

// Finds the first entry that isn't a folder (name ending in "/"), or the file entry named entryName
// (NoSuchEntry without it): method 0 or 8, not encrypted, its local header and its own central record
// (the one pointing at it) agreeing (HeadersDisagree). The whole central directory is read, and the
// archive's offsets are shifted by whatever stands in front of it. CRC-32 and sizes come from the
// entry's own record when the entry has a data descriptor, and from ZIP64 extra fields where the
// 32-bit fields read FF FF FF FF; the time from an extended timestamp where there is one, the
// permissions from an entry made on Unix; the other file entries are counted in a warning. The data
// region is the entry's data.
ResultCode readZipContainer(InputFile& input, const std::string* entryName, InputFindings& findings);

// One file entry as the central directory lists it.
struct ZipFileEntry {
    uint64_t recordOffset = 0;  // of its central record in the file
    std::vector<uint8_t> name;  // as the archive holds it, uncleaned
};

// One folder entry (a name ending in "/"), and how many file entries the directory lists before it.
struct ZipFolderEntry {
    uint64_t recordOffset = 0;
    std::vector<uint8_t> name;
    size_t filesBefore = 0;
};

// Every file entry of an archive, for reading them one by one in the central directory's order (or
// any order), and the folder entries. Memory grows with the directory, never with the data.
struct ZipFileEntries {
    uint64_t prefix = 0;                  // bytes in front of the archive, which its offsets don't count
    std::vector<ZipFileEntry> files;      // in the directory's order
    std::vector<ZipFolderEntry> folders;  // in that order too
};

// Walks the whole central directory once, as readZipContainer does.
ResultCode listZipFileEntries(InputFile& input, ZipFileEntries& entries);

inline size_t countZipFileEntries(const ZipFileEntries& entries) {
    return entries.files.size();
}

// Reads file entry number index (from 0; below countZipFileEntries) as readZipContainer reads the one
// it converts, from its own central record: the same checks (HeadersDisagree, EncryptedEntry,
// UnsupportedMethod, InputTruncated), data descriptors, ZIP64 fields and the prefix, the name as the
// archive holds it; no warning of the others.
ResultCode readZipFileEntry(InputFile& input, const ZipFileEntries& entries, size_t index, InputFindings& findings);

// What a folder entry's central record carries: its name as the archive holds it, its time, and
// its permissions where it was made on Unix.
ResultCode readZipFolderEntry(InputFile& input, const ZipFolderEntry& folder, CarriedFacts& carried);

// An entry's data has no trailer; bytes after its stream are reported, even zeros.
extern const RegionRules zipRegionRules;

// Output, a one-entry archive: the head, before the stream, is the local header; the tail, after
// it, the central directory and end records. A stored entry stays stored (method 0). The entry is
// made by Unix, with the facts' permissions, and carries its time as an extended timestamp.
ResultCode writeZipHead(const OutputFacts& facts, OutputFile& output);
ResultCode writeZipTail(const OutputFacts& facts, OutputFile& output);

// Output, an archive of several entries written in one pass: each entry's local header, then its
// stream, as they come; what the central directory repeats of each (small records, never the data)
// is kept until the end. Every entry is written as a one-entry archive's is.
struct ZipEntryRecord {
    std::vector<uint8_t> name;  // as written
    uint64_t localOffset = 0;
    uint64_t streamLength = 0;
    uint64_t size = 0;
    uint32_t crc32 = 0;
    DosDateTime dosTime;
    uint32_t unixTime = 0;
    uint32_t permissions = 0;
    bool stored = false;
    bool nameIsUtf8 = false;
    bool folder = false;  // a folder entry: the name ends in "/", no data
};
struct ZipArchive {
    std::vector<ZipEntryRecord> entries;
};

// Writes the entry's local header where the output stands (nothing may seek it meanwhile) and
// keeps its record; NameTooLong for a name longer than 65,535 bytes. A folder entry (folder) is
// named facts.name and "/", takes facts' time and permissions, and holds nothing (stored, empty).
ResultCode writeZipEntryHead(ZipArchive& archive, const OutputFacts& facts, OutputFile& output, bool folder = false);

// The central directory and end records, after the last entry's stream.
ResultCode writeZipDirectory(const ZipArchive& archive, OutputFile& output);

// An entry name as ZIP allows it for a file: a backslash read as "/" and written so, without a drive ("C:"),
// leading or trailing "/", "." or ".." segments. Empty when nothing is left.
std::vector<uint8_t> cleanZipName(const std::vector<uint8_t>& name);
