#!/usr/bin/env bash
# What only the Windows program can show, beside the end-to-end suite that make test-windows also
# runs under Wine (scripts/test-windows-suite.sh):
#   scripts/test-windows.sh WINDOWS_EXE LINUX_BINARY WORK_FOLDER [OTHER_EXE...]
# - every .exe named (OTHER_EXE too: the 32-bit one, which this Wine can't run) imports only DLLs
#   that come with Windows;
# - on every input container into every output, the Windows and Linux programs print the same and
#   write byte-identical files (but for a time field taken from each run's own clock);
# - Windows' own ways with names: backslashes, wildcards left to the program;
# - an interrupted run (Ctrl-C, a kill, Wine's server gone) leaves no output and no temporary file;
# - the .exe carries its application manifest and version resource.
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: $0 WINDOWS_EXE LINUX_BINARY WORK_FOLDER [OTHER_EXE...]" >&2; exit 2; }
absolute() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
exe="$(absolute "$1")" linux="$(absolute "$2")" root="$(cd "$(dirname "$0")/.." && pwd)"
others=("${@:4}")
rm -rf "$3" && mkdir -p "$3"
work="$(absolute "$3")"
export TZ=UTC LC_ALL=C.UTF-8 WINEDEBUG=-all WINEPREFIX="$work/prefix" WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# The 64-bit loader itself: the wine wrapper picks the 32-bit one whenever wine32 is installed.
wine="$(command -v wine64 || { [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64; } || command -v wine)"
wineserver="$(command -v wineserver || echo /usr/lib/wine/wineserver64)"
failed=0
fail() { failed=$((failed + 1)); echo "FAIL: $*" >&2; }
# Every run under Wine is bounded: one that hangs fails with status 124 (137 if it ignores the
# TERM), where it would otherwise hold the whole run until CI gives up on it.
in_wine() { timeout -k 10 120 "$wine" "$@"; }
mkdir "$WINEPREFIX" && "$wineserver" -p >/dev/null 2>&1 && trap '"$wineserver" -k 2>/dev/null || true' EXIT
in_wine wineboot -i >/dev/null 2>&1 || { echo "FAIL: Wine could not make its prefix (wineboot: exit status $?)" >&2; exit 1; }

for program in "$1" "${others[@]}"; do
  dlls="$(x86_64-w64-mingw32-objdump -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr a-z A-Z | LC_ALL=C sort -u | xargs)"
  [ "$dlls" = "KERNEL32.DLL MSVCRT.DLL" ] || fail "$program imports $dlls"
done

# The inputs: the image data of examples/original.png in every container.
inputs="$work/inputs"
mkdir -p "$inputs"
cp "$root/examples/original.png" "$inputs/image.png" && cp "$root/examples/original.png" "$inputs/header.png"
cp "$root/examples/optimised.zip" "$inputs/image.zip"
(cd "$inputs" && python3 -c "import zipfile, zlib; z = zipfile.ZipFile('image.zip'); d = z.read(z.infolist()[0])
open('image.raw', 'wb').write(d); open('image.zlib', 'wb').write(zlib.compress(d, 9))")
touch -d @1700000000 "$inputs/image.raw" && gzip -9 -k "$inputs/image.raw"
chmod 644 "$inputs"/*  # the mode a ZIP entry of a Windows file says

# both NAME ARGUMENTS...: runs the two programs in fresh folders $work/NAME/{linux,wine} holding the
# inputs, keeping each one's standard error and exit status beside its folder.
both() {
  local name="$1" which
  shift
  for which in linux wine; do
    mkdir -p "$work/$name/$which" && cp -p "$inputs"/* "$work/$name/$which/"
    local program=("$linux")
    [ "$which" = wine ] && program=(in_wine "$exe")
    (cd "$work/$name/$which" && "${program[@]}" "$@" </dev/null >/dev/null 2>"../$which.stderr"; echo $? >"../$which.status") || true
  done
  cmp -s "$work/$name/linux.stderr" "$work/$name/wine.stderr" || fail "$name: standard error differs"
  cmp -s "$work/$name/linux.status" "$work/$name/wine.status" || fail "$name: exit status differs"
}
# same_output NAME FILE: byte-identical, but for GZIP's MTIME and the ZIP headers' DOS time and date
# and the extended timestamp that ends their extra fields.
same_output() {
  python3 -c 'import sys
def masked(path):
    data = bytearray(open(path, "rb").read())
    central, after_name = int.from_bytes(data[-6:-2], "little"), sum(data[26:30:2]) + 256 * sum(data[27:30:2])
    zip_spots = [10, 26 + after_name, central + 12, central + 42 + after_name] if data[:4] == b"PK\3\4" else []
    for at in zip_spots or ([4] if data[:2] == b"\x1f\x8b" else []):
        data[at:at + 4] = bytes(4)
    return data
sys.exit(masked(sys.argv[1]) != masked(sys.argv[2]))' "$work/$1/linux/$2" "$work/$1/wine/$2" || fail "$1: $2 differs"
}

for input in image.raw.gz image.zip image.zlib image.png; do
  for output in "--zip .zip" "--gzip .gz" "--gzipname .gz" "--zlib .zlib" "--pngheader.png .png"; do
    name="convert/$input${output% *}"
    both "$name" "${output% *}" "$input"
    [ "$(cat "$work/$name/wine.status")" = 0 ] || fail "$name: exit status $(cat "$work/$name/wine.status") under Wine"
    same_output "$name" "$input${output#* }"
  done
done

# Windows' names: a backslash separates folders; cmd.exe and PowerShell leave wildcards to the program.
names="$work/names" && mkdir -p "$names/sub" && cp "$inputs/image.zlib" "$names/" && cp "$inputs/image.zlib" "$names/sub/"
(cd "$names" && in_wine "$exe" --zip 'sub\image.zlib' '*.zlib' </dev/null >/dev/null 2>&1) || fail "names: exit status $?"
python3 -c 'import sys, zipfile; sys.exit(zipfile.ZipFile(sys.argv[1]).namelist() != ["sub/image"])' \
  "$names/sub/image.zlib.zip" || fail "names: the ZIP entry of sub\image.zlib isn't named sub/image"
[ -f "$names/image.zlib.zip" ] || fail "names: *.zlib wasn't expanded"
# An absolute path: the entry name loses the drive, as the Linux program's loses its first '/'.
cp "$inputs/image.zlib" "$names/abs.zlib" && absolute_path="Z:$(tr / '\\' <<<"$names/abs.zlib")"
in_wine "$exe" --zip "$absolute_path" </dev/null >/dev/null 2>&1 || fail "names: $absolute_path: exit status $?"
python3 -c 'import sys, zipfile; sys.exit(zipfile.ZipFile(sys.argv[1]).namelist() != [sys.argv[2]])' \
  "$names/abs.zlib.zip" "${names#/}/abs" || fail "names: the ZIP entry of $absolute_path isn't named ${names#/}/abs"

# Interrupts: 1 GiB of stored blocks into GZIP, so nearly all of a run is writing; stopped as Wine
# starts it and while its temporary file grows. Afterwards: nothing, or the whole output.
big="$work/interrupt" && mkdir -p "$big"
# Random data, which gzip stores; the input carries a time, so a run that finishes writes the same bytes.
head -c 1G /dev/urandom >"$big/big" && touch -d @1700000000 "$big/big" && gzip -1 "$big/big"
(cd "$big" && in_wine "$exe" --gzip --no-verify big.gz </dev/null >/dev/null 2>&1) && mv "$big/big.gz.gz" "$work/whole.gz" ||
  fail "interrupt: a whole run fails"
interrupted=0
for how in TERM INT wineserver-k; do
  for wait in 0.01 0.5 1.0; do
    (cd "$big" && exec "$wine" "$exe" --gzip --no-verify big.gz </dev/null >/dev/null 2>&1) &
    pid=$!
    # wineserver -k as Wine starts a process races Wine's own start, which can then hang for good
    # (the program isn't even running yet): it comes once the program writes its output.
    if [ "$how" = wineserver-k ]; then
      for _ in $(seq 300); do compgen -G "$big/~*" >/dev/null && break; sleep 0.1; done
    fi
    sleep "$wait"
    { if [ "$how" = wineserver-k ]; then "$wineserver" -k; timeout 60 "$wineserver" -w; else kill -"$how" "$pid"; fi; } 2>/dev/null || true
    for _ in $(seq 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && { fail "interrupt $how after ${wait}s: still running a minute later"; kill -KILL "$pid"; }
    wait "$pid" 2>/dev/null || true
    for _ in $(seq 50); do [ "$(ls -A "$big")" = big.gz ] && break; sleep 0.1; done  # Wine removes files late
    [ "$(ls -A "$big")" != big.gz ] || interrupted=$((interrupted + 1))
    [ "$(ls -A "$big")" = big.gz ] || { [ "$(ls -A "$big" | xargs)" = "big.gz big.gz.gz" ] && cmp -s "$big/big.gz.gz" "$work/whole.gz"; } ||
      fail "interrupt $how after ${wait}s left: $(ls -A "$big" | xargs)"
    rm -f "$big/big.gz.gz" "$big"/~*
    [ "$how" != wineserver-k ] || "$wineserver" -p >/dev/null 2>&1
  done
done

# The application manifest and the version resource Windows reads from the .exe, found as bytes
# (the manifest UTF-8, the version strings UTF-16) in the hex of its resource section.
hex() { printf %s "$1" | iconv -t "${2:-UTF-8}" | od -An -tx1 | tr -d ' \n'; }
resources="$(x86_64-w64-mingw32-objdump -s -j .rsrc "$exe" | awk '/^ [0-9a-f]+ / {print $2 $3 $4 $5}' | tr -d '\n')"
for want in 'level="asInvoker"' '<longPathAware' '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a'; do
  grep -q "$(hex "$want")" <<<"$resources" || fail "resources: the manifest lacks $want"
done
for want in ProductName Quorvexa "$("$linux" --version 2>/dev/null | cut -d' ' -f2)" LegalCopyright; do
  grep -q "$(hex "$want" UTF-16LE)" <<<"$resources" || fail "resources: the version resource lacks $want"
done

[ "$interrupted" -gt 3 ] || fail "interrupt: only $interrupted runs were stopped before they ended"
echo "Windows program under Wine: $failed failed"
[ "$failed" -eq 0 ]
