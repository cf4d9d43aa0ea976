#!/usr/bin/env bash
# Converts the bundled sample into a fresh temporary folder, so it can run any number of times.
set -euo pipefail
binary="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/quorvexa-demo.XXXXXX")"
cp "$root/examples/sample.zlib" "$work/"
cd "$work"
echo "Demo folder: $work"
"$binary" --zlib sample.zlib
cmp -s <(tail -c +3 sample.zlib) <(tail -c +3 sample.zlib.zlib) && echo "The stream was carried byte for byte."
