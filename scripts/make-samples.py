#!/usr/bin/env python3
"""Regenerates the bundled samples under examples/ from text made here."""
import pathlib
import zlib

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def sample_text() -> bytes:
    lines = []
    for i in range(1, 201):
        lines.append(f"{i:03d} Quorvexa moves a DEFLATE stream between containers without recompressing it.\n")
    return "".join(lines).encode()


def main() -> None:
    EXAMPLES.mkdir(exist_ok=True)
    stream = zlib.compress(sample_text(), 9)
    assert stream[:2] == b"\x78\xda"
    (EXAMPLES / "sample.zlib").write_bytes(stream)


if __name__ == "__main__":
    main()
