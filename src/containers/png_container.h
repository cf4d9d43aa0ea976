// PNG files, as far as their image data goes: a zlib stream cut into IDAT chunks. Pixels are never
// decoded; the header PNG's IHDR only says how many bytes of image data its image holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/conversion.h"
#include "io/input_file.h"
#include "io/output_file.h"
#include "io/region_reader.h"
#include "stream/stream_check.h"

// Detection: 89 50; the reader then checks the whole signature.
bool claimsPngContainer(const uint8_t* head, size_t headLength);

// Joins the data of every IDAT chunk less the two zlib header bytes; warns of animation chunks.
// The file ends at its IEND chunk (a file cut before it is InputTruncated); bytes after IEND other
// than zero padding are warned of.
// With checkCrcs, a wrong IDAT chunk CRC is noted in the findings (framingCrcWrong), for the check
// of the stream to report after the file's wholeness and the inflate.
ResultCode readPngContainer(InputFile& input, bool checkCrcs, InputFindings& findings);

extern const RegionRules pngRegionRules;

// The header PNG: its chunks before the first IDAT (or IEND), less animation control chunks, and
// the image data its IHDR implies: rows (each led by a filter type 0 to 4) and their bytes.
struct PngHeader {
    InputFile file;
    std::vector<Extent> kept;
    RowLayout rows;
    uint64_t imageDataSize = 0;
};

// HeaderPngMissing or HeaderPngInvalid for what it names: no signature, or before the image data
// a chunk a decoder refuses (a wrong CRC, an IHDR not first or not alone or not valid, a missing or
// misplaced PLTE, an unknown critical chunk).
ResultCode readPngHeader(const std::string& path, PngHeader& header);

// Writes the header's chunks, the stream as a zlib stream (78 DA, stream, Adler-32) in one IDAT
// chunk (several only past PNG's 2^31-1 byte limit), and IEND.
ResultCode writePngContainer(const OutputFacts& facts, PngHeader& header, RegionReader& stream, OutputFile& output);
