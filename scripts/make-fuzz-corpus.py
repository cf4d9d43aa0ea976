#!/usr/bin/env python3
"""Writes the small seed corpus under fuzz/corpus/: one valid file of each container and a few
variants (stored entries, names, several IDAT chunks), made here from text of our own."""
import io
import pathlib
import struct
import zlib
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent / "fuzz" / "corpus"
DATA = b"".join(b"%03d seed line for the fuzzers, deflate stream data\n" % i for i in range(40))


def raw_deflate(data: bytes, level: int = 9) -> bytes:
    compressor = zlib.compressobj(level, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush()


def gzip_member(data: bytes, name: bytes | None) -> bytes:
    flags = 0x08 if name is not None else 0
    header = b"\x1f\x8b\x08" + bytes([flags]) + struct.pack("<I", 1496318400) + b"\x02\x03"
    if name is not None:
        header += name + b"\x00"
    return header + raw_deflate(data) + struct.pack("<II", zlib.crc32(data), len(data))


def zip_archive(data: bytes, method: int) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=method) as archive:
        entry = zipfile.ZipInfo("seed.txt", date_time=(2017, 6, 1, 12, 0, 0))
        entry.compress_type = method
        archive.writestr(entry, data)
    return buffer.getvalue()


def png_chunk(kind: bytes, payload: bytes) -> bytes:
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


def png_image(split: int) -> bytes:
    width, height = 8, 8
    rows = b"".join(b"\x00" + bytes((x * 32 + y) & 255 for x in range(width)) for y in range(height))
    stream = zlib.compress(rows, 9)
    header = b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
    step = max(1, len(stream) // split)
    idats = b"".join(png_chunk(b"IDAT", stream[i:i + step]) for i in range(0, len(stream), step))
    return header + idats + png_chunk(b"IEND", b"")


def main() -> None:
    seeds = {
        "zlib_reader": {"plain.zlib": zlib.compress(DATA, 9), "empty.zlib": zlib.compress(b"", 9)},
        "gzip_reader": {"plain.gz": gzip_member(DATA, None), "named.gz": gzip_member(DATA, b"seed.txt"),
                        "members.gz": gzip_member(DATA, b"a") + gzip_member(b"", None) + gzip_member(DATA[:99], None),
                        "empty-first.gz": gzip_member(b"", None) + gzip_member(DATA, None) + bytes(4)},
        "zip_reader": {"deflated.zip": zip_archive(DATA, zipfile.ZIP_DEFLATED),
                       "stored.zip": zip_archive(DATA, zipfile.ZIP_STORED)},
        "png_reader": {"one-idat.png": png_image(1), "three-idat.png": png_image(3)},
        "deflate_walk": {"dynamic.raw": raw_deflate(DATA), "stored.raw": raw_deflate(DATA[:300], 0),
                         "fixed.raw": raw_deflate(b"fixed")},
    }
    seeds["convert"] = {name: data for group in seeds.values() for name, data in group.items() if not name.endswith(".raw")}
    for target, files in seeds.items():
        folder = ROOT / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in files.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
