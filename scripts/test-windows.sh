#!/usr/bin/env bash
# Runs the Windows program under Wine and holds what it does against the Linux build:
#   scripts/test-windows.sh WINDOWS_EXE LINUX_BINARY WORK_FOLDER [OTHER_EXE...]
# Every .exe named, OTHER_EXE too (the 32-bit one, which isn't run), must import only DLLs that
# come with Windows: everything else is linked in.
# WORK_FOLDER is made anew, Wine prefix included. Each check runs both programs on the same
# inputs, in separate fresh folders, and wants the same exit status, the same standard error
# and byte-identical outputs. Every run uses TZ=UTC.
#
# Outputs whose time comes from the clock (ZIP and GZIP made from ZLIB or PNG input, which carry
# no time) can't match byte for byte: there the time field alone (GZIP MTIME, the ZIP headers'
# DOS time and date) is left out of the comparison, and each program's value must instead fall
# within the seconds its own run took.
set -euo pipefail

if [ $# -lt 3 ]; then
  echo "usage: $0 WINDOWS_EXE LINUX_BINARY WORK_FOLDER [OTHER_EXE...]" >&2
  exit 2
fi
absolute() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
exe="$(absolute "$1")"
linux="$(absolute "$2")"
mkdir -p "$3"
work="$(absolute "$3")"
all_exes=("$1" "${@:4}")
root="$(cd "$(dirname "$0")/.." && pwd)"

export TZ=UTC LC_ALL=C.UTF-8 WINEDEBUG=-all WINEPREFIX="$work/prefix"
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko install prompts
unset DISPLAY WAYLAND_DISPLAY
# The 64-bit loader itself where Debian keeps it: the wine wrapper would pick the 32-bit one
# whenever wine32 is installed, and that can't start where the kernel runs no 32-bit programs.
wine="$(command -v wine64 || { [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64; } || command -v wine)"
wineserver="$(command -v wineserver || echo /usr/lib/wine/wineserver64)"

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*" >&2; }
check() {  # check DESCRIPTION COMMAND...
  local description="$1"
  shift
  if "$@"; then pass; else fail "$description"; fi
}

# Wine: a prefix of its own, and one server kept up for the whole run, ended at the end. The
# folder is emptied first, but only when it is empty already or this script made it.
marker="$work/.quorvexa-windows-test"
if [ -n "$(ls -A "$work")" ] && [ ! -f "$marker" ]; then
  echo "$work is not empty and wasn't made by $0: give another folder." >&2
  exit 2
fi
[ ! -d "$WINEPREFIX" ] || "$wineserver" -k 2>/dev/null || true  # a server left by an earlier run here
find "$work" -mindepth 1 -maxdepth 1 -exec rm -rf {} +
touch "$marker"
echo "Making a fresh Wine prefix in $WINEPREFIX" >&2
mkdir "$WINEPREFIX"
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null || true' EXIT
"$wine" wineboot -i >/dev/null 2>&1

# Runs one program in a folder: run linux|wine FOLDER ARGUMENTS... Standard error, the exit
# status and the clock before and after go to files beside the folder, so the folder holds only
# inputs and what the program made.
run() {
  local which="$1" folder="$2"
  shift 2
  local status=0
  date +%s >"$folder.before"
  if [ "$which" = linux ]; then
    (cd "$folder" && "$linux" "$@" >"$folder.stdout" 2>"$folder.stderr") || status=$?
  else
    (cd "$folder" && "$wine" "$exe" "$@" </dev/null >"$folder.stdout" 2>"$folder.stderr") || status=$?
  fi
  date +%s >"$folder.after"
  echo "$status" >"$folder.status"
}

# A fresh pair of folders, linux/ and wine/, under $work/NAME, each holding copies of FILES.
pair() {
  local name="$1"
  shift
  local folder
  for folder in "$work/$name/linux" "$work/$name/wine"; do
    mkdir -p "$folder"
    [ $# -eq 0 ] || cp -p "$@" "$folder/"
  done
}

files_of() { (cd "$1" && find . -mindepth 1 | LC_ALL=C sort | tr '\n' ' '); }

# compare_outputs FOLDER_PAIR OUTPUT_NAME TIMED: byte-identical, or identical but for the time
# fields when TIMED is 1 (the program then took the time from the clock).
compare_outputs() {
  python3 - "$work/$1/linux" "$work/$1/wine" "$2" "$3" <<'EOF'
import calendar, struct, sys
linux_folder, wine_folder, name, timed = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == '1'

def window(folder):
    return int(open(folder + '.before').read()), int(open(folder + '.after').read())

def dos_seconds(time_word, date_word):
    fields = (1980 + (date_word >> 9), (date_word >> 5) & 15, date_word & 31,
              time_word >> 11, (time_word >> 5) & 63, (time_word & 31) * 2)
    return calendar.timegm(fields + (0, 0, 0))  # TZ=UTC: the local time is UTC

def time_fields(data):
    """(offset, length, seconds) of every field that holds the time."""
    if data[:2] == b'\x1f\x8b':
        return [(4, 4, struct.unpack_from('<I', data, 4)[0])]
    if data[:4] == b'PK\x03\x04':
        central = struct.unpack_from('<I', data, len(data) - 22 + 16)[0]
        if central == 0xFFFFFFFF:
            sys.exit('ZIP64 output is not expected here')
        return [(at, 4, dos_seconds(*struct.unpack_from('<HH', data, at))) for at in (10, central + 12)]
    sys.exit('no time field in this format')

def masked(data, fields):
    data = bytearray(data)
    for offset, length, _ in fields:
        data[offset:offset + length] = bytes(length)
    return bytes(data)

linux = open(f'{linux_folder}/{name}', 'rb').read()
wine = open(f'{wine_folder}/{name}', 'rb').read()
if not timed:
    sys.exit(0 if linux == wine else f'{name}: outputs differ')
for folder, data in ((linux_folder, linux), (wine_folder, wine)):
    start, end = window(folder)
    for offset, _, seconds in time_fields(data):
        if not start - 2 <= seconds <= end + 1:  # DOS time counts in 2-second steps
            sys.exit(f'{folder}/{name}: time at offset {offset} is {seconds}, not within {start}..{end}')
if masked(linux, time_fields(linux)) != masked(wine, time_fields(wine)):
    sys.exit(f'{name}: outputs differ beyond their time fields')
EOF
}

same_file() { cmp -s "$1" "$2"; }
same_status() { [ "$(cat "$work/$1/linux.status")" = "$(cat "$work/$1/wine.status")" ]; }
status_is() { [ "$(cat "$work/$1/$2.status")" = "$3" ]; }
# The files in each folder, once the conversion is done: the inputs and exactly the outputs named.
folder_holds() {  # folder_holds PAIR WHICH FILE...
  local want
  want="$(printf '%s\n' "${@:3}" | LC_ALL=C sort | sed 's|^|./|' | tr '\n' ' ')"
  [ "$(files_of "$work/$1/$2")" = "$want" ]
}

# ---- static linking: only the system's DLLs are imported ----
imports_only_system_dlls() {
  local dlls
  dlls="$(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'a-z' 'A-Z' | LC_ALL=C sort -u | tr '\n' ' ')"
  echo "  $1 imports: $dlls" >&2
  [ "$dlls" = "KERNEL32.DLL MSVCRT.DLL " ]
}
for program in "${all_exes[@]}"; do
  check "$program imports only KERNEL32.dll and msvcrt.dll" imports_only_system_dlls "$program"
done

banner=$'\nQuorvexa v'"$(sed -n 's/^project(quorvexa VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"$' by Tessivander\n\n'

# ---- the inputs: the image data of examples/original.png in every container ----
inputs="$work/inputs"
mkdir -p "$inputs"
cp "$root/examples/original.png" "$inputs/image.png"
cp "$root/examples/original.png" "$inputs/header.png"
python3 - "$inputs" <<'EOF'
import struct, sys, zlib
folder = sys.argv[1]
png = open(f'{folder}/image.png', 'rb').read()
at, idat = 8, b''
while at < len(png):
    length, kind = struct.unpack_from('>I4s', png, at)
    if kind == b'IDAT':
        idat += png[at + 8:at + 8 + length]
    at += 12 + length
raw = zlib.decompress(idat)
open(f'{folder}/image.raw', 'wb').write(raw)
open(f'{folder}/image.zlib', 'wb').write(zlib.compress(raw, 9))
EOF
touch -d @1700000000 "$inputs/image.raw"
gzip -9 -k "$inputs/image.raw"                                   # carries FNAME and MTIME
(cd "$inputs" && zip -q -X -9 image.zip image.raw)              # carries a DOS time and a name
printf 'plain text, no container\n' >"$inputs/notes.txt"

# ---- every input container into every output container ----
echo "Converting 4 inputs into 5 outputs with both programs" >&2
outputs=("--zip .zip" "--gzip .gz" "--gzipname .gz" "--zlib .zlib" "--pngheader.png .png")
for input in image.raw.gz image.zip image.zlib image.png; do
  for output in "${outputs[@]}"; do
    option="${output% *}"
    extension="${output#* }"
    name="convert/$input${option#--}"
    name="${name%header.png}"
    pair "$name" "$inputs/$input" "$inputs/header.png"
    run linux "$work/$name/linux" "$option" "$input"
    run wine "$work/$name/wine" "$option" "$input"
    timed=0
    case "$input:$option" in image.zlib:--zip | image.zlib:--gzip* | image.png:--zip | image.png:--gzip*) timed=1 ;; esac
    check "$name: exit status 0 on Linux" status_is "$name" linux 0
    check "$name: exit status 0 under Wine" status_is "$name" wine 0
    check "$name: same standard error" same_file "$work/$name/linux.stderr" "$work/$name/wine.stderr"
    check "$name: Linux folder holds the inputs and the output only" folder_holds "$name" linux "$input" header.png "$input$extension"
    check "$name: Wine folder holds the inputs and the output only" folder_holds "$name" wine "$input" header.png "$input$extension"
    if [ -f "$work/$name/linux/$input$extension" ] && [ -f "$work/$name/wine/$input$extension" ]; then
      check "$name: same output" compare_outputs "$name" "$input$extension" "$timed"
    fi
  done
done

# ---- errors: exit status and the exact text ----
echo "Checking error cases" >&2
error_case() {  # error_case NAME EXPECTED_LINE ARGUMENTS... (inputs already in place)
  local name="errors/$1" expected="$banner$2"
  shift 2
  run linux "$work/$name/linux" "$@"
  run wine "$work/$name/wine" "$@"
  check "$name: same exit status" same_status "$name"
  check "$name: exit status 2 under Wine" status_is "$name" wine 2
  check "$name: exact standard error under Wine" [ "$(cat "$work/$name/wine.stderr"; echo .)" = "$expected." ]
  check "$name: same standard error" same_file "$work/$name/linux.stderr" "$work/$name/wine.stderr"
}
pair errors/missing
error_case missing $'missing.gz - ERROR: File doesn\'t exist.\n' --zip missing.gz
pair errors/output-exists "$inputs/image.raw.gz"
for which in linux wine; do printf 'keep me\n' >"$work/errors/output-exists/$which/image.raw.gz.zip"; done
error_case output-exists $'image.raw.gz - ERROR: Output file image.raw.gz.zip already exists.\n' --zip image.raw.gz
check "errors/output-exists: the existing file is untouched" [ "$(cat "$work/errors/output-exists/wine/image.raw.gz.zip")" = "keep me" ]
pair errors/unknown-format "$inputs/notes.txt"
error_case unknown-format $'notes.txt - ERROR: Unknown file format.\n' --gzip notes.txt
pair errors/directory
mkdir "$work/errors/directory/linux/folder" "$work/errors/directory/wine/folder"
error_case directory $'folder - ERROR: Input file is truncated or unreadable.\n' --zlib folder
pair errors/no-input
run linux "$work/errors/no-input/linux" --zip
run wine "$work/errors/no-input/wine" --zip
check "errors/no-input: exit status 1 on both" [ "$(cat "$work/errors/no-input/linux.status")$(cat "$work/errors/no-input/wine.status")" = 11 ]

# ---- names: non-ASCII, backslashes, wildcards ----
echo "Checking file names" >&2
unicode="données-日本"
pair names/unicode
for which in linux wine; do
  cp "$inputs/image.raw.gz" "$work/names/unicode/$which/$unicode.gz"
  cp "$inputs/image.zlib" "$work/names/unicode/$which/$unicode.zlib"
done
run linux "$work/names/unicode/linux" --gzipname "$unicode.gz" "$unicode.zlib"
run wine "$work/names/unicode/wine" --gzipname "$unicode.gz" "$unicode.zlib"
check "names/unicode: exit status 0 under Wine" status_is names/unicode wine 0
check "names/unicode: same standard error, names in UTF-8" same_file "$work/names/unicode/linux.stderr" "$work/names/unicode/wine.stderr"
check "names/unicode: the result line names the file" grep -q "^$unicode.zlib - SUCCESS: Saved as $unicode.zlib.gz.\$" "$work/names/unicode/wine.stderr"
check "names/unicode: Wine folder holds both outputs" folder_holds names/unicode wine "$unicode.gz" "$unicode.zlib" "$unicode.gz.gz" "$unicode.zlib.gz"
check "names/unicode: same carried-name output" compare_outputs names/unicode "$unicode.gz.gz" 0
check "names/unicode: same derived-name output" compare_outputs names/unicode "$unicode.zlib.gz" 1
check "names/unicode: the derived GZIP name is the UTF-8 name" \
  python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); sys.exit(d[10:d.index(0, 10)] != sys.argv[2].encode())' \
  "$work/names/unicode/wine/$unicode.zlib.gz" "$unicode"

# A Windows path with a folder: GZIP keeps only the last component, ZIP stores "sub/image".
for option in --gzipname --zip; do
  name="names/backslash${option#--}"
  pair "$name"
  mkdir "$work/$name/linux/sub" "$work/$name/wine/sub"
  cp "$inputs/image.zlib" "$work/$name/linux/sub/"
  cp "$inputs/image.zlib" "$work/$name/wine/sub/"
  run linux "$work/$name/linux" "$option" sub/image.zlib
  run wine "$work/$name/wine" "$option" 'sub\image.zlib'
  extension=.gz
  [ "$option" = --zip ] && extension=.zip
  check "$name: exit status 0 under Wine" status_is "$name" wine 0
  check "$name: same standard error but for the separator" [ "$(tr '\\' / <"$work/$name/wine.stderr")" = "$(cat "$work/$name/linux.stderr")" ]
  check "$name: same output" compare_outputs "$name" "sub/image.zlib$extension" 1
done

# An absolute path with a drive: the ZIP entry name loses the drive, as a POSIX one loses its "/".
pair names/absolute
mkdir "$work/names/absolute/wine/sub"
cp "$inputs/image.zlib" "$work/names/absolute/wine/sub/"
windows_path="Z:$(echo "$work/names/absolute/wine/sub/image.zlib" | tr / '\\')"
run wine "$work/names/absolute/wine" --zip "$windows_path"
check "names/absolute: exit status 0 under Wine" status_is names/absolute wine 0
check "names/absolute: the result line has the path as given" grep -qF "$windows_path - SUCCESS: Saved as $windows_path.zip." "$work/names/absolute/wine.stderr"
check "names/absolute: the ZIP entry is named without the drive" \
  python3 -c 'import sys, zipfile; sys.exit(zipfile.ZipFile(sys.argv[1]).namelist() != [sys.argv[2]])' \
  "$work/names/absolute/wine/sub/image.zlib.zip" "${work#/}/names/absolute/wine/sub/image"

# cmd.exe and PowerShell leave * and ? to the program.
pair names/wildcard
for which in linux wine; do
  cp "$inputs/image.zlib" "$work/names/wildcard/$which/a.zlib"
  cp "$inputs/image.zlib" "$work/names/wildcard/$which/b.zlib"
done
run linux "$work/names/wildcard/linux" --zlib a.zlib b.zlib
run wine "$work/names/wildcard/wine" --zlib '*.zlib'
check "names/wildcard: same standard error" same_file "$work/names/wildcard/linux.stderr" "$work/names/wildcard/wine.stderr"
check "names/wildcard: both files converted" folder_holds names/wildcard wine a.zlib b.zlib a.zlib.zlib b.zlib.zlib

# ---- interrupted conversions leave nothing behind ----
echo "Interrupting large conversions" >&2
big="$work/interrupt"
mkdir -p "$big"
python3 - "$big/big.gz" <<'EOF'
# 2 GiB that don't compress, as DEFLATE stored blocks in one GZIP member: made in half a minute.
# It goes to GZIP without --verify, so nearly all of a run is spent writing the output: the
# checksums it carries are copied, not computed.
import os, struct, sys, zlib
block = os.urandom(1 << 20)
deflate = zlib.compressobj(0, zlib.DEFLATED, -15)
crc = 0
with open(sys.argv[1], 'wb') as out:
    out.write(b'\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03')
    for i in range(2048):
        piece = block[i:] + block[:i]
        crc = zlib.crc32(piece, crc)
        out.write(deflate.compress(piece))
    out.write(deflate.flush())
    out.write(struct.pack('<II', crc, 1 << 31))
EOF
# One whole run first: it succeeds, and its output's size is what the interrupted runs aim at.
run wine "$big" --gzip --no-verify big.gz
check "interrupt: a whole run succeeds" [ "$(cat "$big.status")" = 0 ]
check "interrupt: a whole run writes the output" [ -f "$big/big.gz.gz" ]
full_size=$(stat -c %s "$big/big.gz.gz" 2>/dev/null || echo 0)
rm -f "$big/big.gz.gz"

leftovers() { (cd "$big" && find . -mindepth 1 ! -name big.gz | tr '\n' ' '); }
temp_size() { find "$big" -maxdepth 1 -name '~*' -printf '%s\n' 2>/dev/null | head -n 1; }
# True once the process's temporary file holds BYTES bytes (seen_size says how many it held);
# false when the process ended first.
written() {  # written PID BYTES
  while kill -0 "$1" 2>/dev/null; do
    seen_size="$(temp_size)"
    [ -n "$seen_size" ] && [ "$seen_size" -ge "$2" ] && return 0
    sleep 0.002
  done
  return 1
}
# Moments spread over a run: as Wine starts the program, then as the temporary file holds 10%,
# 30%, 50% and 70% of the output. Later moments would race the end of the run: writing into
# the page cache, Wine gets through a GiB in well under a second.
for how in TERM INT wineserver-k; do
  for moment in start 10 30 50 70; do
    (cd "$big" && exec "$wine" "$exe" --gzip --no-verify big.gz </dev/null >/dev/null 2>"$big.stderr") &
    pid=$!
    seen_size=
    if [ "$moment" = start ]; then
      sleep 0.01
      reached=1
    else
      written "$pid" $((full_size / 100 * moment)) && reached=1 || reached=0
    fi
    {  # without bash's note of how the job died
      case "$how" in
        wineserver-k) "$wineserver" -k; "$wineserver" -w ;;
        *) kill -"$how" "$pid" || reached=0 ;;
      esac
      wait "$pid" || true
    } 2>/dev/null
    if [ "$reached" = 0 ]; then
      fail "interrupt $how at $moment: the conversion ended before it could be interrupted: $(tail -n 1 "$big.stderr")"
    else
      # Wine's server removes the file once it sees the process gone: give it a moment.
      for _ in $(seq 50); do
        [ -z "$(leftovers)" ] && break
        sleep 0.1
      done
      left="$(leftovers)"
      echo "  $how at $moment: the temporary file held ${seen_size:-no} bytes; afterwards the folder holds ${left:-the input alone}" >&2
      check "interrupt $how at $moment: no output and no temporary file left" [ -z "$left" ]
    fi
    rm -f "$big/big.gz.gz" "$big"/~*
    if [ "$how" = wineserver-k ]; then
      "$wineserver" -p
      "$wine" "$exe" --version >/dev/null 2>&1 </dev/null  # the server and Wine's services up again
    fi
  done
done
rm -f "$big/big.gz"

# The application manifest and the version resource Windows reads from the .exe, found as bytes
# (the manifest UTF-8, the version strings UTF-16) in the hex of its resource section.
hex() { printf %s "$1" | iconv -t "${2:-UTF-8}" | od -An -tx1 | tr -d ' \n'; }
resources="$(x86_64-w64-mingw32-objdump -s -j .rsrc "$exe" | awk '/^ [0-9a-f]+ / {print $2 $3 $4 $5}' | tr -d '\n')"
for want in 'level="asInvoker"' '<longPathAware' '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a'; do
  check "resources: the manifest holds $want" grep -q "$(hex "$want")" <<<"$resources"
done
for want in ProductName Quorvexa "$("$linux" --version 2>/dev/null | cut -d' ' -f2)" LegalCopyright; do
  check "resources: the version resource holds $want" grep -q "$(hex "$want" UTF-16LE)" <<<"$resources"
done

echo "Windows program under Wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
