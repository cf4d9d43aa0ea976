#!/usr/bin/env python3
# End-to-end conversions, each made here from first principles (struct and zlib): an input file,
# the options, the exact text the program must print and the exact output it must write, which the
# readers people use must then accept whole.
#   MALFORMED  damaged, hostile and odd inputs, and the exact lines the program must print;
#   LAYOUT     valid inputs, and the exact bytes of the output each option must write.
# A case is (name, input file name, options ("-" for none), the header PNG h.png ("-" for none), what
# the program prints after its banner, the output ("-" for none), the input).
#   tests/corpus_test.py PROGRAM   (QUORVEXA_TEST_PROGRAM and QUORVEXA_TEST_WRAPPER as for the suite)
import concurrent.futures
import os
import shlex
import shutil
import subprocess
import struct
import sys
import tempfile
import zlib
TEXT = b"".join(b"%03d a line of text that deflates, more or less\n" % i for i in range(12))
STREAM = zlib.compressobj(9, zlib.DEFLATED, -15)
STREAM = STREAM.compress(TEXT) + STREAM.flush()
CRC, SIZE, ADLER = zlib.crc32(TEXT), len(TEXT), zlib.adler32(TEXT)

INFLATE = "ERROR: Inflate failed."
TRUNCATED = "ERROR: Input file is truncated or unreadable."
MISMATCH = "ERROR: Checksum mismatch: the stream doesn't match its stored checksum."
UNKNOWN = "ERROR: Unknown file format."
JUNK = "WARNING: 4 bytes after the end of the stream were ignored."
DISAGREE = "ERROR: The ZIP entry's local and central headers disagree."


def deflate(data: bytes) -> bytes:
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


MTIME = 1496318400  # 2017-06-01 12:00:00 UTC; the DOS words 0x4AC1 and 0x6000
DOS = (0x6000, 0x4AC1)


def gzip(stream=STREAM, crc=CRC, size=SIZE, method=8, flags=0, name=b"", mtime=0, xfl=0) -> bytes:
    header = bytes([0x1F, 0x8B, method, flags]) + struct.pack("<I", mtime) + bytes([xfl, 3])
    return header + (name + b"\0" if flags == 8 and name else name) + stream + struct.pack("<II", crc, size)


def stored_blocks(data: bytes) -> bytes:
    assert len(data) < 65536
    return struct.pack("<BHH", 1, len(data), len(data) ^ 0xFFFF) + data


# A GZIP member with every optional field flags asks for, the extra one BGZF's length (hint spoils it); hcrc spoils its FHCRC.
def member(stream, data, flags=0x1F, mtime=MTIME, hcrc=0, hint=0) -> bytes:
    names = (b"name.txt\0" if flags & 8 else b"") + (b"a comment\0" if flags & 16 else b"")
    length = 10 + (8 if flags & 4 else 0) + len(names) + (2 if flags & 2 else 0) + len(stream) + 8
    head = bytes([0x1F, 0x8B, 8, flags]) + struct.pack("<I", mtime) + b"\0\3" + (struct.pack("<H2sHH", 6, b"BC", 2, length - 1 + hint) if flags & 4 else b"") + names
    head += struct.pack("<H", (zlib.crc32(head) ^ hcrc) & 0xFFFF) if flags & 2 else b""
    return head + stream + struct.pack("<II", zlib.crc32(data), len(data))


def synced(data: bytes) -> bytes:
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush(zlib.Z_SYNC_FLUSH)


# Members whose final block is known: an empty fixed block 03 00 behind a sync flush (BFINAL at its
# first bit, 10 bits long), and one stored block (BFINAL at its first bit, ending on a byte). Joined,
# each final block is made non-final and an empty stored block follows it: in the 10-bit one's last
# byte (02 00, then 00 00 FF FF), or in a byte of its own behind the stored one (00 00 00 FF FF).
PART1, PART2 = TEXT[:300], TEXT[300:]
EMPTY_MEMBER = member(b"\x03\x00", b"", 0)
MEMBERS = (member(synced(PART1) + b"\x03\x00", PART1) + EMPTY_MEMBER + member(stored_blocks(PART2), PART2, 0, 1)
           + EMPTY_MEMBER + gzip(mtime=1) + EMPTY_MEMBER)
JOINED = (synced(PART1) + bytes.fromhex("020000 00ffff") + b"\0" + stored_blocks(PART2)[1:] + bytes.fromhex("0000 00ffff")
          + STREAM)


def zlib_file(stream=STREAM, adler=ADLER, level=0xDA) -> bytes:
    return bytes([0x78, level]) + stream + struct.pack(">I", adler)


# entries: (name, method, flags, crc, data, size) tuples; order: of their central records.
def zip_file(entries, order=None) -> bytes:
    local, records = b"", []
    for name, method, flags, crc, data, size in entries:
        fields = struct.pack("<HHHHHIIIHH", 20, flags, method, 0x6000, 0x4AC1, crc, len(data), size, len(name), 0)
        records.append(b"PK\x01\x02\x14\x00" + fields + struct.pack("<HHHII", 0, 0, 0, 0x20, len(local)) + name)
        local += b"PK\x03\x04" + fields + name + data + (struct.pack("<III", crc, len(data), size) if flags & 8 else b"")
    central = b"".join(records[i] for i in order or range(len(records)))
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central), len(local), 0)
    return local + central + end


def entry(method=8, flags=0, crc=CRC, data=None, name=b"data.txt"):
    return (name, method, flags, crc, STREAM if data is None else data, SIZE)


X = (b"b.txt", 8, 0, zlib.crc32(b"x"), deflate(b"x"), 1)  # a second file entry
LEFT_OUT = "WARNING: 1 more file entry was left out."


# An archive as the program writes it, an entry per name, each holding stream (or a name's own: (name,
# stream, crc, size, method)): version 20 made by Unix, flags 2, a regular file of the input's mode
# (0640, as failures() leaves it; 0644 from Windows, whose files have no Unix mode), or for a name
# ending in "/", a folder of that mode made searchable; the time as an extended timestamp too.
MODE = 0o644 if os.environ.get("QUORVEXA_TEST_PROGRAM", "").endswith(".exe") else 0o640
def zip_written(names, stream: bytes, crc=CRC, size=SIZE, method=8, dos=DOS, time=MTIME) -> bytes:
    local, central, names = b"", b"", names if isinstance(names, list) else [names]
    for name, data, crc, size, method in [n if isinstance(n, tuple) else (n, stream, crc, size, method) for n in names]:
        fields = struct.pack("<HHHHHIIIHH", 20, 2, method, *dos, crc, len(data), size, len(name), 9) + name + struct.pack("<HHBI", 0x5455, 5, 1, time)
        mode = (0o40000 | MODE | (MODE & 0o444) >> 2) << 16 | 16 if name.endswith(b"/") else (0o100000 | MODE) << 16
        central += b"PK\x01\x02\x14\x03" + fields[:26] + struct.pack("<HHHII", 0, 0, 0, mode, len(local)) + fields[26:]
        local += b"PK\x03\x04" + fields + data
    return local + central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(names), len(names), len(central), len(local), 0)


def chunk(kind: bytes, payload: bytes) -> bytes:
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


def grey_rows(width: int, height: int) -> bytes:
    return b"".join(b"\0" + bytes((x * 7 + y * 13) & 0xFF for x in range(width)) for y in range(height))


def png_start(depth=8, colour=0, compression=0, filter_method=0) -> bytes:
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 40, 30, depth, colour, compression, filter_method, 0))


PNG_START = png_start()
IMAGE = zlib_file(deflate(grey_rows(40, 30)), zlib.adler32(grey_rows(40, 30)))


def png(extra=b"", data=IMAGE, split=100, start=PNG_START) -> bytes:
    idats = b"".join(chunk(b"IDAT", data[i:i + split]) for i in range(0, len(data), split))
    return start + extra + idats + chunk(b"IEND", b"")


def flip(data: bytes, at: int, mask: int = 0x55) -> bytes:
    return data[:at] + bytes([data[at] ^ mask]) + data[at + 1:]


def other_image(height: int) -> bytes:
    return zlib_file(deflate(grey_rows(40, height)), zlib.adler32(grey_rows(40, height)))


def line(file: str, text: str) -> str:
    return f"{file} - {text}\n"


# A MALFORMED case: result is what follows "in - " ("SUCCESS" when the file converts, and
# written is then every byte of the output).
def malformed(name, options, result, warning, data, output="in.zip", written="-", header=None):
    printed = (line("in", warning) if warning != "-" else "") + (
        line("in", f"SUCCESS: Saved as {output}.") if result == "SUCCESS" else line("in", result))
    header = header or (png() if "--png" in options else "-")
    return (name, "in", options, header, printed, written, data)


MALFORMED = [malformed(*row) for row in [
    ("Empty", "-", UNKNOWN, "-", b""),
    ("OneByte", "-", UNKNOWN, "-", b"\x1f"),
    ("ZipEndRecordFirst", "-", UNKNOWN, "-", b"PK\x05\x06\0\0"),
    ("GzipMethod5", "-", "ERROR: Unsupported compression method.", "-", gzip(method=5)),
    ("GzipEndsBeforeFlags", "-", "ERROR: Unsupported GZIP flags.", "-", b"\x1f\x8b\x08"),
    ("GzipFlagFtext", "-", "SUCCESS", "-", gzip(flags=1, mtime=MTIME), "in.zip", zip_written(b"in", STREAM)),
    ("GzipReservedFlag", "-", "ERROR: Unsupported GZIP flags.", "-", gzip(flags=0x20)),
    ("GzipExtraRunsPastTheFile", "-", TRUNCATED, "-", gzip(flags=4, name=b"\xff\xff")),
    ("GzipHeaderCrcWrong", "-", MISMATCH, "-", member(STREAM, TEXT, 2, hcrc=1)),
    ("GzipUnder18Bytes", "-", TRUNCATED, "-", gzip()[:17]),
    ("GzipNameRunsIntoTrailer", "-", TRUNCATED, "-", gzip(flags=8, stream=b"a" * 20)),
    ("GzipCutMidStream", "-", INFLATE, "-", gzip()[:40]),
    ("GzipTrailerCutShort", "-", TRUNCATED, "-", gzip()[:-3]),
    ("GzipWrongCrc", "-", MISMATCH, "-", gzip(crc=CRC ^ 1)),
    ("GzipWrongSize", "-", MISMATCH, "-", gzip(size=SIZE + 1)),
    ("GzipLaterMemberWrongCrc", "-", MISMATCH, "-", gzip() + gzip(crc=CRC ^ 1)),
    ("GzipLaterMemberWrongSize", "-", MISMATCH, "-", gzip() + gzip(size=SIZE + 1) + gzip()),
    ("GzipLaterMemberHeaderCrcWrong", "-", MISMATCH, "-", gzip() + member(STREAM, TEXT, 2, hcrc=1)),
    ("GzipLaterMemberCutInItsStream", "-", INFLATE, "-", gzip(crc=CRC ^ 1) + gzip()[:40]),
    ("GzipLaterMemberCutInItsTrailer", "-", TRUNCATED, "-", gzip(crc=CRC ^ 1) + gzip()[:-3]),
    ("GzipMagicAfterTheLastMember", "-", TRUNCATED, "-", gzip() + b"\x1f\x8b\x08\x00"),
    ("GzipMembersThenZeroPadding", "-", "SUCCESS", "-", EMPTY_MEMBER + gzip(mtime=MTIME) + bytes(512), "in.zip",
     zip_written(b"in", STREAM)),
    ("GzipMembersThenGarbage", "-", "SUCCESS", JUNK, EMPTY_MEMBER + gzip() + b"junk", "in.zip", zip_written(b"in", STREAM)),
    ("GzipGarbageAfterTrailer", "-", "SUCCESS", JUNK, gzip(mtime=MTIME) + b"junk", "in.zip", zip_written(b"in", STREAM)),
    ("GzipZeroPadding", "-", "SUCCESS", "-", gzip(mtime=MTIME) + bytes(512), "in.zip", zip_written(b"in", STREAM)),
    ("GzipDamagedUnverified", "--no-verify", "SUCCESS", "-", gzip(stream=stored_blocks(flip(TEXT, 40)), mtime=MTIME), "in.zip",
     zip_written(b"in", stored_blocks(flip(TEXT, 40)))),
    ("GzipDamaged", "-", INFLATE, "-", gzip(stream=flip(STREAM, 40, 0xFF))),
    ("GzipJunkUnverifiedZip", "--no-verify", "SUCCESS", JUNK, gzip(mtime=MTIME) + b"junk", "in.zip", zip_written(b"in", STREAM)),
    ("GzipJunkUnverifiedGzip", "--gzip --no-verify", "SUCCESS", JUNK, gzip(mtime=MTIME) + b"junk", "in.gz", gzip(mtime=MTIME, xfl=2)),
    ("GzipDamagedUnverifiedFoundByTheWalk", "--no-verify", INFLATE, "-", gzip(stream=flip(STREAM, 40))),
    ("GzipLaterMemberCutAfterMagic", "-", TRUNCATED, "-", gzip() + b"\x1f\x8b"),
    ("GzipHintedMembersFirstFaultDecides", "-T 3", INFLATE, "-", member(STREAM, TEXT) * 2 + member(STREAM, TEXT[1:]) + member(flip(STREAM, 40, 0xFF), TEXT) * 2),
    ("GzipMembersPastAWrongHint", "-t -T 3", "SUCCESS: Checked.", "-", member(STREAM, TEXT) + member(STREAM, TEXT, hint=3) + member(STREAM, TEXT) * 3),
    ("ZlibEmptyStream", "-", INFLATE, "-", bytes([0x78, 1, 0, 0, 0, 1])),
    ("ZlibEmptyStreamUnverified", "--no-verify", INFLATE, "-", bytes([0x78, 1, 0, 0, 0, 1])),
    ("ZlibUnder6Bytes", "-", TRUNCATED, "-", bytes([0x78, 0xDA, 3, 0, 0])),
    ("ZlibUnknownHeader", "-", UNKNOWN, "-", zlib_file(level=0x9D)),
    ("ZlibWrongAdler", "-", MISMATCH, "-", zlib_file(adler=ADLER + 1)),
    ("ZlibReservedBlockType", "-", INFLATE, "-", zlib_file(stream=b"\x07\x00", adler=1)),
    ("ZipMethod12", "-", "ERROR: Unsupported compression method.", "-", zip_file([entry(method=12)])),
    ("ZipEncrypted", "-", "ERROR: Encrypted ZIP entries are not supported.", "-", zip_file([entry(flags=1)])),
    ("ZipAesMethod99", "-", "ERROR: Encrypted ZIP entries are not supported.", "-", zip_file([entry(99, 1)])),
    ("ZipHeaderCutShort", "-", TRUNCATED, "-", zip_file([entry()])[:20]),
    ("ZipDataPastTheEnd", "-", TRUNCATED, "-", zip_file([entry()])[:60]),
    ("ZipDescriptorWithoutDirectory", "-", TRUNCATED, "-", zip_file([entry(flags=8)])[:38 + len(STREAM)]),
    ("ZipOnlyFolders", "-", "ERROR: The ZIP archive holds no file entry.", "-",
     zip_file([(b"a/", 0, 0, 0, b"", 0), (b"a/b/", 0, 0, 0, b"", 0)])),
    ("ZipWrongCrc", "-", MISMATCH, "-", zip_file([entry(crc=CRC ^ 1)])),
    ("ZipStoredWrongCrc", "-", MISMATCH, "-", zip_file([entry(0, crc=CRC ^ 1, data=TEXT)])),
    ("ZipGarbageAfterStream", "-", "SUCCESS", "WARNING: 1 bytes after the end of the stream were ignored.",
     zip_file([entry(data=STREAM + b"\0")]), "in.zip", zip_written(b"data.txt", STREAM)),
    ("ZipTwoFiles", "-", "SUCCESS", LEFT_OUT, zip_file([entry(), X]), "in.zip", zip_written(b"data.txt", STREAM)),
    ("ZipFoldersAreNotLeftOut", "-", "SUCCESS", "WARNING: 2 more file entries were left out.",
     zip_file([(b"d/", 0, 0, 0, b"", 0), entry(), X, entry(name=b"d/c")]), "in.zip", zip_written(b"data.txt", STREAM)),
    ("ZipOwnCentralRecordNotTheFirst", "-", "SUCCESS", LEFT_OUT, zip_file([entry(flags=8), X], order=[1, 0]), "in.zip",
     zip_written(b"data.txt", STREAM)),
    ("ZipNoEntryOfThatName", "--entry=c.txt", "ERROR: The ZIP archive holds no file entry c.txt.", "-", zip_file([entry()])),
    ("ZipCutBeforeEndRecord", "-", TRUNCATED, "-", zip_file([entry()])[:-22]),
    ("ZipEndCommentPastTheEnd", "-", TRUNCATED, "-", zip_file([entry()])[:-2] + b"\x05\x00"),
    ("ZipMoreRecordsCountedThanHeld", "-", TRUNCATED, "-", zip_file([entry()])[:-12] + b"\x02\0\x02\0" + zip_file([entry()])[-8:]),
    ("ZipLocalNameDisagrees", "-", DISAGREE, "-", flip(zip_file([entry()]), 30)),
    ("ZipLocalMethodDisagrees", "-", DISAGREE, "-", flip(zip_file([entry()]), 8, 8)),
    ("ZipCentralCrcDisagrees", "-", DISAGREE, "-", flip(zip_file([entry()]), 54 + len(STREAM))),
    ("ZipCentralSizeDisagrees", "-", DISAGREE, "-", flip(zip_file([entry()]), 62 + len(STREAM), 1)),
    ("ZipEncryptedOnlyCentrally", "-", DISAGREE, "-", flip(zip_file([entry()]), 46 + len(STREAM), 1)),
    ("ZipDescriptorDisagrees", "-", DISAGREE, "-", flip(zip_file([entry(flags=8)]), 38 + len(STREAM))),
    ("ZipAfterAStub", "-", "SUCCESS", "-", b"#!/bin/sh\nexit\n" + zip_file([entry()]), "in.zip", zip_written(b"data.txt", STREAM)),
    ("ZipExtendedTimeOverDosWords", "--gzip", "SUCCESS", "-", zip_written(b"d", STREAM, time=MTIME + 1), "in.gz", gzip(mtime=MTIME + 1, xfl=2)),
    ("PngBadSignature", "-", "ERROR: Not a valid PNG file.", "-", flip(png(), 3)),
    ("PngChunkLongerThanPngAllows", "-", TRUNCATED, "-", PNG_START + b"\x80\0\0\0IDAT"),
    ("PngChunkCutShort", "-", TRUNCATED, "-", png()[:-20]),
    ("PngUnder6IdatBytes", "-", TRUNCATED, "-", PNG_START + chunk(b"IDAT", b"\x78\xda\x03\0\0") + chunk(b"IEND", b"")),
    ("PngIdatCrcWrong", "-", MISMATCH, "-", flip(png(), 141)),
    ("PngIdatCrcWrongLaterChunkCut", "-", TRUNCATED, "-", flip(png(), 141)[:-20]),
    ("PngIdatCrcWrongStreamDamaged", "-", INFLATE, "-", flip(png(), 43)),
    # Header PNGs a decoder refuses, each for one fault: the output would be a PNG nothing opens.
    *[(f"HeaderPng{fault}", "--pngh.png", "ERROR: Not a valid PNG file: h.png.", "-", IMAGE, "in.png", "-", png(start=start))
      for fault, start in [("IhdrCrcZeroed", PNG_START[:-4] + bytes(4)), ("IhdrTwice", PNG_START + PNG_START[8:]),
                           ("TextCrcWrong", PNG_START + flip(chunk(b"tEXt", b"k\0v"), 14)), ("CutShort", PNG_START + b"\0\1\0\0tEXt"),
                           ("UnknownCritical", PNG_START + chunk(b"QUUX", b"")), ("PlteInGrey", PNG_START + chunk(b"PLTE", bytes(3))),
                           ("CompressionMethod1", png_start(compression=1)), ("FilterMethod7", png_start(filter_method=7)),
                           ("PaletteMissing", png_start(colour=3)), ("PaletteTooLong", png_start(1, 3) + chunk(b"PLTE", bytes(9)))]],
    ("PngIendCrcCutShort", "--no-verify", TRUNCATED, "-", png()[:-1]),
    ("PngWithoutIend", "-", TRUNCATED, "-", png()[:-12]),
    ("PngIendCrcWrong", "-", MISMATCH, "-", png()[:-1] + b"\0"),
    ("PngBytesAfterIend", "--zlib", "SUCCESS", JUNK, png() + b"junk",
     "in.zlib", IMAGE),
    ("PngZeroPaddingAfterIend", "--zlib", "SUCCESS", "-", png() + bytes(512), "in.zlib", IMAGE),
    ("NoVerifyJudgesBytesAfterTheStream", "--zlib --no-verify", "SUCCESS", JUNK, gzip() + b"junk", "in.zlib", zlib_file()),
    ("PngAnimated", "--zlib", "SUCCESS", "WARNING: APNG format detected (1 frames). Only first frame supported.",
     png(chunk(b"acTL", bytes(8)) + chunk(b"fcTL", bytes(26))), "in.zlib", IMAGE),
    ("HeaderPngMissing", "--pngnone.png", "ERROR: PNG file none.png doesn't exist.", "-", other_image(30), "in.png"),
    ("HeaderPngInvalid", "--pngin", "ERROR: Not a valid PNG file: in.", "-", other_image(30), "in.png"),
    ("HeaderPngOfAnotherImage", "--pngh.png", "ERROR: Header PNG h.png doesn't fit the image data.", "-",
     other_image(31), "in.png"),
    ("HeaderPngUncheckedUnverified", "--pngh.png --no-verify", "SUCCESS", "-", other_image(31), "in.png",
     PNG_START + chunk(b"IDAT", other_image(31)) + chunk(b"IEND", b"")),
    ("HeaderPngFitsSizeNotRows", "--pngh.png", "ERROR: Header PNG h.png doesn't fit the image data.", "-",
     zlib_file(deflate((TEXT * 3)[:1230]), zlib.adler32((TEXT * 3)[:1230])), "in.png"),
]]




# A LAYOUT case: the input converts, and output is every byte of what it writes.
def layout(name, file, options, data, output, header="-"):
    extension = {"--gzip": ".gz", "--gzipname": ".gz", "--zlib": ".zlib"}.get(options.split(" ")[0], ".zip")
    extension = ".png" if options.startswith("--png") else extension
    return (name, file, options, header, line(file, f"SUCCESS: Saved as {file}{extension}."), output, data)


EMPTY_BLOCK = bytes([1, 0, 0, 0xFF, 0xFF])
ROWS = grey_rows(40, 30)
EXTRA = chunk(b"tEXt", b"k\0v")
INTERLACED = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 5, 3, 8, 0, 0, 0, 1)) + chunk(b"IEND", b"")
EVIL = b"/../x/../../tmp/evil.txt"
WINDOWS_EVIL = b"C:\\..\\..\\dir\\.\\evil.txt"
# Rows of the interlaced 5x3 image below, each led by a filter type 0 to 4, every pixel FF.
ROWS22 = bytes.fromhex("00ff 01ff 02ff 03ffffff 04ffff 00ffff 00ffffffffff")
LAYOUT = [
    layout("ZipOfOneByteNameAndFiveByteStream", "a", "-", gzip(EMPTY_BLOCK, 0, 0, mtime=MTIME),
           zip_written(b"a", EMPTY_BLOCK, 0, 0)),
    layout("GzipMembersJoinedAtTheirSeams", "in.gz", "-", MEMBERS, zip_written(b"name.txt", JOINED, zlib.crc32(TEXT * 2), 2 * SIZE)),
    layout("GzipMembersJoinedUnverified", "in.gz", "--no-verify", MEMBERS,
           zip_written(b"name.txt", JOINED, zlib.crc32(TEXT * 2), 2 * SIZE)),
    layout("GzipMembersJoinedUnverifiedUninflated", "in.gz", "--gzip --no-verify", MEMBERS[:-len(EMPTY_MEMBER)],
           gzip(JOINED, zlib.crc32(TEXT * 2), 2 * SIZE, mtime=MTIME, xfl=2)),
    layout("GzipMembersJoinedForZlib", "in.gz", "--zlib", MEMBERS, zlib_file(JOINED, zlib.adler32(TEXT * 2))),
    layout("GzipMembersJoinedOnOneThread", "in.gz", "--zlib -T 1", MEMBERS, zlib_file(JOINED, zlib.adler32(TEXT * 2))),
    layout("GzipEmptyMemberFirst", "in.gz", "--gzip", EMPTY_MEMBER + gzip(), gzip(mtime=MTIME, xfl=2)),
    layout("ZipEntryCarriedByteForByte", "in.zip", "-", zip_file([entry()]), zip_written(b"data.txt", STREAM)),
    layout("GzipMethodByteStaysOutOfZip", "t.gz", "-", gzip(method=0, mtime=MTIME), zip_written(b"t", STREAM)),
    layout("GzipMethod0WrittenAsDeflate", "t.gz", "--gzip", gzip(method=0, mtime=MTIME), gzip(mtime=MTIME, xfl=2)),
    layout("StoredEntryStaysStored", "in.zip", "-", zip_file([entry(0, crc=0, data=TEXT)]),
           zip_written(b"data.txt", TEXT, method=0)),
    layout("StoredEntryFramedForZlib", "in.zip", "--zlib", zip_file([entry(0, data=TEXT)]),
           zlib_file(stored_blocks(TEXT))),
    layout("FolderEntriesSkipped", "in.jar", "-", zip_file([(b"META-INF/", 0, 0, 0, b"", 0), entry(name=b"META-INF/M.MF")]),
           zip_written(b"META-INF/M.MF", STREAM)),
    layout("GzipNameHoldsNoFolder", "in.zip", "--gzipname", zip_file([entry(name=EVIL)]),
           gzip(flags=8, name=b"evil.txt", mtime=MTIME, xfl=2)),
    layout("GzipNameDerivedFromPath", "a.txt.gz", "--gzipname", gzip(mtime=MTIME),
           gzip(flags=8, name=b"a.txt", mtime=MTIME, xfl=2)),
    layout("ZipNameOfAWindowsPath", "in.gz", "-", gzip(flags=8, name=WINDOWS_EVIL, mtime=MTIME),
           zip_written(b"dir/evil.txt", STREAM)),
    layout("GzipNameOfAWindowsPath", "in.gz", "--gzipname", gzip(flags=8, name=WINDOWS_EVIL, mtime=MTIME),
           gzip(flags=8, name=b"evil.txt", mtime=MTIME, xfl=2)),
    layout("TimeBefore1980WrittenAs1980", "t.gz", "-", gzip(mtime=315532799), zip_written(b"t", STREAM, dos=(0, 0x21), time=315532799)),
    layout("NoVerifyEndsAtTheFinalBlock", "in.gz", "--zlib --no-verify", gzip() + bytes(32), zlib_file()),
    layout("PngRowsCheckedInEveryPass", "in.zlib", "--pngh.png", zlib_file(deflate(ROWS22), zlib.adler32(ROWS22)),
           INTERLACED[:-12] + chunk(b"IDAT", zlib_file(deflate(ROWS22), zlib.adler32(ROWS22))) + INTERLACED[-12:], INTERLACED),
    layout("GzipNameEndsAtItsFirstZeroByte", "in.zip", "--gzipname", zip_file([entry(name=b"dir/a\0b.txt")]),
           gzip(flags=8, name=b"a", mtime=MTIME, xfl=2)),
    layout("GzipCarriesNameAndTime", "in.gz", "--gzipname", gzip(flags=8, name=b"name.txt", mtime=1234567890),
           gzip(flags=8, name=b"name.txt", mtime=1234567890, xfl=2)),
    layout("GzipDropsName", "in.gz", "--gzip", gzip(flags=8, name=b"name.txt", mtime=1234567890),
           gzip(mtime=1234567890, xfl=2)),
    layout("ZlibAnyLevelBecomes78DA", "in.zlib", "--zlib", zlib_file(level=0x5E), zlib_file()),
    *[layout(f"ZlibWindow{c}", "in.zlib", "--zlib", bytes([c * 16 + 8, 31 - (c * 16 + 8) * 256 % 31]) + zlib_file()[2:], zlib_file()) for c in range(7)],
    layout("PngJoinsIdatAcrossOtherChunks", "in.png", "--zlib",
           png(data=IMAGE[:30]) [:-12] + chunk(b"tIME", bytes(7)) + png(data=IMAGE[30:], start=b"")[:-12]
           + chunk(b"IEND", b""), IMAGE),
    layout("PngOnHeaderChunksWithoutAnimation", "in.zlib", "--pngh.png", IMAGE,
           PNG_START + EXTRA + chunk(b"IDAT", IMAGE) + chunk(b"IEND", b""),
           png(chunk(b"acTL", bytes(8)) + EXTRA + chunk(b"fcTL", bytes(26)))),
    # The passes of an interlaced 5x3 image hold 1x1, 1x1, none, 1x1, 3x1, 2x2 and 5x1 pixels: 22 bytes.
    layout("PngInterlacedHeaderFitsSevenPasses", "in.zlib", "--pngh.png", zlib_file(deflate(bytes(22)), zlib.adler32(bytes(22))),
           INTERLACED[:-12] + chunk(b"IDAT", zlib_file(deflate(bytes(22)), zlib.adler32(bytes(22)))) + INTERLACED[-12:],
           INTERLACED),
]
MALFORMED.append(("PngInterlacedRowFilter5", "in", "--pngh.png", INTERLACED,
                  line("in", "ERROR: Header PNG h.png doesn't fit the image data."), "-",
                  zlib_file(deflate(flip(ROWS22, 16, 5)), zlib.adler32(flip(ROWS22, 16, 5)))))
LAYOUT.append(("ZipEntryChosenByName", "in.zip", "--entry=b.txt", "-", line("in.zip", LEFT_OUT) +
               line("in.zip", "SUCCESS: Saved as in.zip.zip."), zip_written(b"b.txt", X[4], X[3], 1), zip_file([entry(), X])))
MALFORMED.append(("PngInterlacedHeaderOneByteShort", "in", "--pngh.png", INTERLACED,
                  line("in", "ERROR: Header PNG h.png doesn't fit the image data."), "-",
                  zlib_file(deflate(bytes(21)), zlib.adler32(bytes(21)))))


# --all-entries: (entry, its output below in/ (root/), the output's bytes, or an ERROR line), each in turn; folders are None.
def each(name, options, data, rows, folders=("in",), archive="in.zip", root="in"):
    printed = "".join(line(f"{archive}:{entry}", f"SUCCESS: Saved as {root}/{path}." if path else out) for entry, path, out in rows)
    return (name, archive, options + " --all-entries", "-", printed, {**{f"{root}/{p}": o for _, p, o in rows if p}, **dict.fromkeys(folders)}, data)


DAMAGED_ENTRIES = [entry(name=b"a"), entry(name=b"b", data=flip(STREAM, 40, 0xFF)), entry(name=b"c")]
DAMAGED = zip_file(DAMAGED_ENTRIES)
LAYOUT += [each("AllEntriesEachToItsOwn", "--zip", zip_file([(b"e/", 0, 0, 0, b"", 0), entry(name=b"d/a"), entry(0, data=TEXT, name=b"s"), X]),
                [("d/a", "d/a.zip", zip_written(b"d/a", STREAM)), ("s", "s.zip", zip_written(b"s", TEXT, method=0)),
                 ("b.txt", "b.txt.zip", zip_written(b"b.txt", X[4], X[3], 1))], ("in", "in/d", "in/e")),
           each("AllEntriesNamesLandInside", "--zlib", zip_file([entry(name=b"../x"), entry(name=b"/etc/x"), entry(name=b"C:\\y")]),
                [("../x", "x.zlib", zlib_file()), ("/etc/x", "etc/x.zlib", zlib_file()), ("C:\\y", "y.zlib", zlib_file())], ("in", "in/etc")),
           each("AllEntriesOneDamaged", "--gzip", DAMAGED, [("a", "a.gz", gzip(mtime=MTIME, xfl=2)), ("b", "", INFLATE), ("c", "c.gz", gzip(mtime=MTIME, xfl=2))]),
           each("AllEntriesNameTakenBeforeTheStreamIsRead", "--gzip", zip_file([entry(name=b"a"), entry(name=b"a", data=flip(STREAM, 40, 0xFF))]),
                [("a", "a.gz", gzip(mtime=MTIME, xfl=2)), ("a", "", "ERROR: Output file in/a.gz already exists.")]),
           each("AllEntriesOfANameWithoutExtension", "--zlib", zip_file([entry(name=b"a")]), [("a", "a.zlib", zlib_file())], ["in.d"], "in", "in.d")]


# A JOINED case: inputs (file name, data) into the one output -o names, and the lines (file, text) printed.
def joined(name, options, lines, written, *inputs):
    return (name, " ".join(f for f, _ in inputs), options, "-", "".join(line(f, t) for f, t in lines), written, tuple(d for _, d in inputs))


# Two members whose final blocks are known (as in MEMBERS), joined: the first one's made non-final, then the seam.
GZ, A_GZ, B_GZ = gzip(mtime=MTIME), member(synced(PART1) + b"\x03\x00", PART1, 0), member(stored_blocks(PART2), PART2, 0)
SEAMED, SAVED = JOINED[:len(synced(PART1)) + 6] + stored_blocks(PART2), lambda out: [(f, f"SUCCESS: Saved as {out}.") for f in ("a.gz", "b.gz")]
# An archive of a folder, an entry whose final block is known (as A_GZ's) and a stored one, rewrapped.
A_DATA, A_CRC, REWRAPPED = synced(PART1) + b"\x03\x00", zlib.crc32(PART1), lambda out: [(f"in.zip:{e}", f"SUCCESS: Saved as {out}.") for e in ("d/a", "s")]
REWRAP = zip_file([(b"e/", 0, 0, 0, b"", 0), (b"d/a", 8, 0, A_CRC, A_DATA, len(PART1)), entry(0, data=TEXT, name=b"s")])
LAYOUT += [joined("TwoGzipFilesIntoOneZip", "-o o.zip", SAVED("o.zip"), zip_written([b"a", b"b"], STREAM), ("a.gz", GZ), ("b.gz", GZ)),
           joined("OneDamagedNoneWritten", "-o o.zip", [("b.gz", INFLATE)], "-", ("a.gz", GZ), ("b.gz", gzip(stream=flip(STREAM, 40, 0xFF)))),
           joined("NameTaken", "-o o.zip", [("b.gz", "ERROR: The archive already holds an entry named a.")], "-", ("a.gz", GZ), ("b.gz", gzip(flags=8, name=b"a"))),
           joined("JoinedIntoGzipAtTheSeam", "--gzip -o o.gz", SAVED("o.gz"), gzip(SEAMED, mtime=MTIME, xfl=2), ("a.gz", A_GZ), ("b.gz", B_GZ)),
           joined("JoinedIntoZlibAtTheSeam", "--zlib -o o.zlib", SAVED("o.zlib"), zlib_file(SEAMED), ("a.gz", A_GZ), ("b.gz", B_GZ)),
           joined("RewrapKeepsFoldersAndStoredEntries", "--all-entries -o o.zip", REWRAPPED("o.zip"), zip_written([(b"e/", b"", 0, 0, 0), (b"d/a", A_DATA, A_CRC, len(PART1), 8), b"s"], TEXT, method=0), ("in.zip", REWRAP)),
           joined("RewrapIntoGzipAtTheSeam", "--all-entries --gzip -o o.gz", REWRAPPED("o.gz"), gzip(JOINED[:len(A_DATA) + 4] + stored_blocks(TEXT), zlib.crc32(PART1 + TEXT), len(PART1 + TEXT), mtime=MTIME, xfl=2), ("in.zip", REWRAP)),
           joined("RewrapOneDamagedNoneWritten", "--all-entries -o o.zip", [("in.zip:b", INFLATE)], "-", ("in.zip", DAMAGED)),
           ("RewrapIntoOnePng", "in.zip", "--pngh.png --all-entries -o o.png", png(), "ERROR: -o with --png takes exactly one stream: in.zip holds several file entries.\n", "-", REWRAP)]
# Streams checked on three threads: the same lines and bytes, in the same order, as on one.
LAYOUT += [each("AllEntriesInOrderOnThreeThreads", "--gzip -T 3", zip_file([*DAMAGED_ENTRIES, entry(0, data=TEXT, name=b"/a")]), [("a", "a.gz", gzip(mtime=MTIME, xfl=2)), ("b", "", INFLATE), ("c", "c.gz", gzip(mtime=MTIME, xfl=2)), ("/a", "", "ERROR: Output file in/a.gz already exists.")]),
           joined("JoinedInOrderOnThreeThreads", "--gzip -T 3 -o o.gz", SAVED("o.gz"), gzip(SEAMED, mtime=MTIME, xfl=2), ("a.gz", A_GZ), ("b.gz", B_GZ)),
           joined("RewrapAndMoreFailInOrderOnThreeThreads", "--all-entries -T 3 -o o.zip", [("in.zip:b", INFLATE), ("c.gz", "ERROR: The archive already holds an entry named a.")], "-", ("in.zip", DAMAGED), ("c.gz", gzip(flags=8, name=b"a")))]


BANNER = "\nQuorvexa v1.03 by Tessivander\n\n"
PROGRAM = shlex.split(os.environ.get("QUORVEXA_TEST_WRAPPER", "")) + [os.path.abspath(os.environ.get("QUORVEXA_TEST_PROGRAM") or sys.argv[1])]
try:
    from PIL import Image
except ImportError:
    Image = None
READERS = {"gz": ["gzip", "-t"], "zip": ["unzip", "-tq"], "png": ["pngcheck", "-q"]}


# Whether the readers people use take the output whole: gzip, unzip, python's zlib, pngcheck, Pillow.
def readers_accept(path: str) -> bool:
    kind = path.rsplit(".", 1)[-1]
    try:
        if kind in READERS:
            subprocess.run(READERS[kind] + [path], capture_output=True, check=True)
        if kind == "png":
            Image.open(path).load()
        if kind == "zlib":
            zlib.decompress(open(path, "rb").read())
        return True
    except Exception:
        return False


def failures(case) -> list:
    name, file, options, header, printed, written, data = case
    files, data = file.split(), data if isinstance(data, tuple) else (data,)
    with tempfile.TemporaryDirectory() as top:
        folder = os.path.dirname(os.path.join(top, files[0]))
        os.makedirs(folder, exist_ok=True)
        for path, content in zip(files, data):
            open(os.path.join(top, path), "wb").write(content)
            os.chmod(os.path.join(top, path), 0o640)
        if header != "-":
            open(os.path.join(top, "h.png"), "wb").write(header)
        run = subprocess.run(PROGRAM + (options.split() if options != "-" else []) + files, cwd=top, capture_output=True,
                             stdin=subprocess.DEVNULL, env=dict(os.environ, TZ="UTC"))
        saved = [part.split(".\n")[0] for part in printed.split("Saved as ")[1:]]
        outputs = written if isinstance(written, dict) else dict(zip(saved[:1], [written]))  # several: {path: bytes}
        left = {os.path.relpath(os.path.join(d, f), top) for d, dirs, files in os.walk(top) for f in files + dirs} - {*files, "h.png"}
        found = [f"prints {run.stderr!r}" if run.stderr.decode(errors="replace") != BANNER + printed else "",
                 f"exit status {run.returncode}" if run.returncode != (1 if printed.startswith("ERROR") else 2 if "ERROR" in printed else 3 if "WARNING" in printed else 0) else "",
                 f"leaves {sorted(left)}" if left != set(outputs) else "",
                 "a row without output has output bytes" if not saved and written != "-" else ""]
        for path in [path for path in set(outputs) & left if outputs[path] is not None]:  # None: a folder
            found.append(f"writes other bytes to {path}" if open(os.path.join(top, path), "rb").read() != outputs[path] else "")
            found.append("" if "Damaged" in name or readers_accept(os.path.join(top, path)) else f"a reader refuses {path}")  # --no-verify carries damage
        return [f"{name}: {problem}" for problem in found if problem]


def main() -> int:
    missing = [tool[0] for tool in READERS.values() if not shutil.which(tool[0])] + ([] if Image else ["python3-pil"])
    if missing:  # a skip (77) only where no tool is required
        print("missing:", *missing)
        return 1 if os.environ.get("QUORVEXA_REQUIRE_TOOLS", "0") != "0" else 77
    cases = MALFORMED + LAYOUT
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
        found = [problem for problems in pool.map(failures, cases) for problem in problems]
    print(*found, f"{len(cases)} cases, {len(found)} failures", sep="\n")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
