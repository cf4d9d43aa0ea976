#!/usr/bin/env bash
# Converts the bundled samples in a fresh folder under build/, so it can run any number of times
# and leaves nothing behind elsewhere.
# The headline case: a PNG's image data was recompressed elsewhere (zopfli) and arrives in a ZIP;
# Quorvexa puts that stream back into a PNG built on the original's header, without recompressing.
set -euo pipefail
binary="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$root/build/demo"
rm -rf "$work"
mkdir -p "$work"
cp "$root/examples/sample.zlib" "$root/examples/original.png" "$root/examples/optimised.zip" "$work/"
cd "$work"
echo "Demo folder: $work"

"$binary" --zlib sample.zlib
if ! cmp -s <(tail -c +3 sample.zlib) <(tail -c +3 sample.zlib.zlib); then
  echo "sample.zlib.zlib doesn't carry the stream of sample.zlib byte for byte." >&2
  exit 1
fi
echo "The stream was carried byte for byte."

"$binary" --pngoriginal.png optimised.zip
sizes="original.png $(wc -c <original.png) bytes, optimised.zip.png $(wc -c <optimised.zip.png) bytes"
# make demo installs python3 with Pillow, so the pixels are always compared.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
if ! "$python" - original.png optimised.zip.png <<'EOF'
import sys
from PIL import Image
with Image.open(sys.argv[1]) as a, Image.open(sys.argv[2]) as b:
    sys.exit(0 if a.size == b.size and a.convert('RGBA').tobytes() == b.convert('RGBA').tobytes() else 1)
EOF
then
  echo "optimised.zip.png does NOT decode to the pixels of original.png." >&2
  exit 1
fi
echo "optimised.zip.png decodes to exactly the pixels of original.png ($sizes)."
