#!/usr/bin/env python3
"""Regenerates the bundled samples under examples/ from text and pixels made here.

examples/original.png is a small image drawn here and encoded with python's zlib; examples/optimised.zip
holds the same image data recompressed with zopfli (apt-get install zopfli) as its one entry,
the way a stream optimised elsewhere arrives. The demo puts that stream back into a PNG.
"""
import math
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"

IMAGE_SIZE = 64
ENTRY_NAME = b"original.pixels"
# 2024-01-01 12:00:00, so the archive is the same on every run.
DOS_TIME = 12 << 11
DOS_DATE = ((2024 - 1980) << 9) | (1 << 5) | 1


def sample_text() -> bytes:
    lines = []
    for i in range(1, 201):
        lines.append(f"{i:03d} Quorvexa moves a DEFLATE stream between containers without recompressing it.\n")
    return "".join(lines).encode()


def pixel(x: int, y: int) -> bytes:
    """A red-green gradient with blue rings round the centre."""
    rings = int(128 + 127 * math.sin(math.hypot(x - IMAGE_SIZE / 2, y - IMAGE_SIZE / 2) / 3))
    return bytes((x * 4, y * 4, rings))


def image_rows() -> bytes:
    """The 8-bit RGB scanlines, each with PNG filter type 1 (each byte minus the one to its left)."""
    rows = bytearray()
    for y in range(IMAGE_SIZE):
        line = b"".join(pixel(x, y) for x in range(IMAGE_SIZE))
        rows.append(1)
        rows += bytes((line[i] - (line[i - 3] if i >= 3 else 0)) & 0xFF for i in range(len(line)))
    return bytes(rows)


def png_chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def original_png(rows: bytes) -> bytes:
    header = struct.pack(">IIBBBBB", IMAGE_SIZE, IMAGE_SIZE, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) + png_chunk(b"IDAT", zlib.compress(rows, 9))
            + png_chunk(b"IEND", b""))


def zopfli_deflate(data: bytes) -> bytes:
    if shutil.which("zopfli") is None:
        sys.exit("zopfli is missing: apt-get install zopfli (or scripts/install-deps.sh samples)")
    with tempfile.TemporaryDirectory() as work:
        source = pathlib.Path(work) / "pixels"
        source.write_bytes(data)
        return subprocess.run(["zopfli", "--deflate", "-c", str(source)], check=True, stdout=subprocess.PIPE).stdout


def one_entry_zip(name: bytes, data: bytes, stream: bytes) -> bytes:
    """A ZIP archive with one DEFLATE entry, local header, central directory and end record."""
    crc = zlib.crc32(data)
    common = struct.pack("<HHHHIII", 0, 8, DOS_TIME, DOS_DATE, crc, len(stream), len(data))
    local = b"PK\x03\x04" + struct.pack("<H", 20) + common + struct.pack("<HH", len(name), 0) + name
    central = (b"PK\x01\x02" + struct.pack("<HH", 20, 20) + common
               + struct.pack("<HHHHHII", len(name), 0, 0, 0, 0, 0x20, 0) + name)
    offset = len(local) + len(stream)
    end = b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, 1, 1, len(central), offset, 0)
    return local + stream + central + end


def main() -> None:
    EXAMPLES.mkdir(exist_ok=True)
    stream = zlib.compress(sample_text(), 9)
    assert stream[:2] == b"\x78\xda"
    (EXAMPLES / "sample.zlib").write_bytes(stream)

    rows = image_rows()
    (EXAMPLES / "original.png").write_bytes(original_png(rows))
    optimised = zopfli_deflate(rows)
    assert zlib.decompress(optimised, -15) == rows
    (EXAMPLES / "optimised.zip").write_bytes(one_entry_zip(ENTRY_NAME, rows, optimised))


if __name__ == "__main__":
    main()
