#!/usr/bin/env bash
# make bench: times quorvexa beside igzip, bgzip, pigz, gzip, libdeflate, pngcheck and cp on a 300 MB
# text set, a binary set and files of many small pieces, measures each command's CPU time and peak
# memory, and hands the numbers to scripts/bench-report.py, which prints the table, writes
# BENCH_DIR/results.md and draws docs/bench.png. A benchmark, not a test: it exits 0 when a goal is
# missed (the table says FAIL) and non-zero only when a command fails.
#   scripts/bench.sh BINARY BENCH_DIR
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: $0 BINARY BENCH_DIR" >&2; exit 2; }
binary="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
root="$(cd "$(dirname "$0")/.." && pwd)"
mkdir -p "$2"
dir="$(cd "$2" && pwd)"
data="$dir/data"
log="$dir/bench.log"
: >"$log"

# Debian's python3 is the one apt-get gave matplotlib and Pillow to.
python=/usr/bin/python3
[ -x "$python" ] || python="$(command -v python3)"

total_bytes=300000000 # the tar, cut to exactly 300 MB before gzip -9
small_files=1000      # 4000-byte pieces of the tar, each gzip -9'd on its own
small_bytes=4000
png_side=4096         # a 4096 x 4096 RGB image, 48 MiB of pixels
empty_members=1000000 # empty.gz: that many empty GZIP members, one after the other
idat_side=1024        # idat8.png: an idat_side x idat_side RGB image of noise, in 8-byte IDAT chunks
# The text set: the project's tree at this commit and these packages' files, fixed by version.
text_commit=a0c0222
text_packages=(python3-sympy=1.11.1-1 python3-docutils=0.19+dfsg-6)
# The binary set: these packages' files, fixed by version, so that it is the same on every machine.
bin_packages=(libllvm14=1:14.0.6-12 libclang-cpp14=1:14.0.6-12)
# Any change to how the data set is made must change this line, so an old data set is rebuilt.
recipe="v5 tar=$total_bytes bgzf cat=2x small=${small_files}x$small_bytes png=$png_side empty=$empty_members idat8=$idat_side text=$text_commit ${text_packages[*]} bin=${bin_packages[*]}"

fail() {
  echo "bench: $*" >&2
  echo "bench: the log is $log" >&2
  exit 1
}

make_data() {
  local tmp="$data.tmp"
  rm -rf "$tmp" "$data"
  mkdir -p "$tmp/small"
  echo "Building the data set in $data (once; later runs reuse it)"

  # Text fixed by version, so that the set is the same on every machine: the project's own tree at
  # one commit, and the Python sources of named Debian packages.
  echo "  the text set: the tree at $text_commit and ${text_packages[*]} (apt-get download)"
  mkdir "$tmp/text"
  git -C "$root" archive --format=tar "$text_commit" | tar -x -C "$tmp/text" || fail "git archive $text_commit failed"
  (cd "$tmp" && apt-get download "${text_packages[@]}") >>"$log" 2>&1 || fail "apt-get download failed"
  for deb in "$tmp"/*.deb; do dpkg-deb -x "$deb" "$tmp/text" || fail "dpkg-deb -x $deb failed"; done
  rm -f "$tmp"/*.deb
  tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -cf "$tmp/tree.tar" -C "$tmp/text" . 2>>"$log" ||
    fail "tar of the text set failed"
  rm -rf "$tmp/text"
  local tree_size
  tree_size=$(stat -c %s "$tmp/tree.tar")
  [ "$tree_size" -gt 0 ] || fail "the text set's tar is empty"

  # Repeated whole, then cut, to exactly total_bytes. A repeat is far beyond DEFLATE's 32 KiB
  # window, so it compresses like new data.
  : >"$tmp/data.tar"
  while [ $(($(stat -c %s "$tmp/data.tar") + tree_size)) -le "$total_bytes" ]; do
    cat "$tmp/tree.tar" >>"$tmp/data.tar"
  done
  head -c $((total_bytes - $(stat -c %s "$tmp/data.tar"))) "$tmp/tree.tar" >>"$tmp/data.tar"
  rm -f "$tmp/tree.tar"

  echo "  gzip -9 -n (about a minute)"
  gzip -9 -n -c "$tmp/data.tar" >"$tmp/data.tar.gz"

  # The same tar as GZIP files of several members: BGZF (64 KiB members, as samtools writes), and
  # two gzip -9 halves one after the other, as `cat a.gz b.gz` makes. igzip reads only names that end
  # in .gz, so data.bgz gets one too.
  echo "  bgzip, and gzip -9 -n of each half (about a minute)"
  bgzip -@1 -c "$tmp/data.tar" >"$tmp/data.bgz" || fail "bgzip failed"
  ln -s data.bgz "$tmp/data.bgz.gz"
  local half=$((total_bytes / 2))
  { head -c "$half" "$tmp/data.tar" | gzip -9 -n -c && tail -c +$((half + 1)) "$tmp/data.tar" | gzip -9 -n -c; } \
    >"$tmp/cat.tar.gz" || fail "gzip -9 of the halves failed"

  # Small files: pieces spread evenly through the tar.
  "$python" - "$tmp/data.tar" "$tmp/small" "$small_files" "$small_bytes" <<'EOF'
import os, sys
source, folder, count, size = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
step = os.path.getsize(source) // count
with open(source, 'rb') as f:
    for i in range(count):
        f.seek(i * step)
        with open(os.path.join(folder, f'{i:04d}'), 'wb') as out:
            out.write(f.read(size))
EOF
  gzip -9 -n "$tmp/small/"*

  # A PNG whose pixels are a gradient, a Mandelbrot set and bytes of the tar, compressed by
  # Pillow's defaults; skipped where Pillow is missing.
  if "$python" -c 'import PIL.Image' 2>/dev/null; then
    echo "  a ${png_side}x$png_side PNG with Pillow"
    "$python" - "$tmp/data.tar" "$tmp/image.png" "$png_side" <<'EOF' 2>>"$log" || fail "making the PNG failed"
import sys
from PIL import Image
source, target, side = sys.argv[1], sys.argv[2], int(sys.argv[3])
red = Image.linear_gradient('L').resize((side, side))
green = Image.effect_mandelbrot((side, side), (-2.0, -1.5, 1.0, 1.5), 100)
with open(source, 'rb') as f:
    f.seek(100_000_000)
    blue = Image.frombytes('L', (side, side), f.read(side * side))
Image.merge('RGB', (red, green, blue)).save(target)
EOF
  fi
  rm -f "$tmp/data.tar"

  # Many small pieces: empty GZIP members, each a header and a trailer; and a PNG whose zlib stream
  # (noise from a fixed seed, so it is the same on every machine) is cut into 8-byte IDAT chunks.
  echo "  $empty_members empty GZIP members, and a PNG of 8-byte IDAT chunks"
  "$python" - "$tmp" "$empty_members" "$idat_side" <<'EOF' || fail "making empty.gz or idat8.png failed"
import gzip, random, struct, sys, zlib
folder, members, side = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(f'{folder}/empty.gz', 'wb') as f:
    f.write(gzip.compress(b'', mtime=0) * members)
noise = random.Random(1)
stream = zlib.compress(b''.join(b'\0' + noise.randbytes(3 * side) for _ in range(side)))
chunk = lambda kind, data: struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
with open(f'{folder}/idat8.png', 'wb') as f:
    f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', side, side, 8, 2, 0, 0, 0)))
    f.write(b''.join(chunk(b'IDAT', stream[i:i + 8]) for i in range(0, len(stream), 8)) + chunk(b'IEND', b''))
EOF

  # Binaries compress about 3 to 1 (gzip -6): writing the output weighs more than for text.
  echo "  the binary set: ${bin_packages[*]} (apt-get download, gzip -6)"
  mkdir "$tmp/bin"
  (cd "$tmp" && apt-get download "${bin_packages[@]}") >>"$log" 2>&1 || fail "apt-get download failed"
  for deb in "$tmp"/*.deb; do dpkg-deb -x "$deb" "$tmp/bin" || fail "dpkg-deb -x $deb failed"; done
  tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -cf "$tmp/bin.tar" -C "$tmp/bin" . 2>>"$log" ||
    fail "tar of the binary set failed"
  stat -c %s "$tmp/bin.tar" >"$tmp/bin.tar.size"
  gzip -6 -n -c "$tmp/bin.tar" >"$tmp/bin.tar.gz"
  rm -rf "$tmp/bin" "$tmp/bin.tar" "$tmp"/*.deb

  # The ZIP is made by quorvexa itself: data.tar.gz gives data.tar.gz.zip.
  (cd "$tmp" && "$binary" data.tar.gz) 2>>"$log" || fail "quorvexa could not make the ZIP"
  mv "$tmp/data.tar.gz.zip" "$tmp/data.zip"

  echo "$recipe" >"$tmp/recipe"
  mv "$tmp" "$data"
}

if [ -f "$data/recipe" ] && [ "$(cat "$data/recipe")" = "$recipe" ]; then
  echo "Reusing the data set in $data"
else
  make_data
fi
have_png=0
[ -f "$data/image.png" ] && have_png=1

# Each benchmark: name, role for the report, command, and what to remove before each run (every
# quorvexa run writes a fresh output, as it never overwrites one). Outputs go beside the inputs,
# so copy_file_range copies within one file system.
q="$(printf %q "$binary")"
names=() roles=() commands=() prepares=()
add() { names+=("$1"); roles+=("$2"); commands+=("$3"); prepares+=("${4:-true}"); }
add "quorvexa --zip data.tar.gz" verified "$q --zip data.tar.gz" "rm -f data.tar.gz.zip"
add "quorvexa --zlib data.tar.gz" verified "$q --zlib data.tar.gz" "rm -f data.tar.gz.zlib"
add "quorvexa --zip bin.tar.gz" verified-bin "$q --zip bin.tar.gz" "rm -f bin.tar.gz.zip"
add "quorvexa --zlib bin.tar.gz" verified-bin "$q --zlib bin.tar.gz" "rm -f bin.tar.gz.zlib"
add "quorvexa --no-sync --zip data.tar.gz" no-sync "$q --no-sync --zip data.tar.gz" "rm -f data.tar.gz.zip"
add "quorvexa --gzip data.zip" verified-zip "$q --gzip data.zip" "rm -f data.zip.gz"
add "quorvexa --no-verify --gzip data.zip" no-verify-flushed "$q --no-verify --gzip data.zip" "rm -f data.zip.gz"
add "quorvexa --no-verify --no-sync --gzip data.zip" no-verify-zip-gzip "$q --no-verify --no-sync --gzip data.zip" "rm -f data.zip.gz"
add "quorvexa --no-verify --zip data.tar.gz" no-verify "$q --no-verify --zip data.tar.gz" "rm -f data.tar.gz.zip"
[ "$have_png" = 1 ] && add "quorvexa --zip image.png" png "$q --zip image.png" "rm -f image.png.zip"
# The small files are converted in a memory-backed folder where there is one, so that their figure
# is the program's own cost per file rather than the disk's cost of creating files.
small="small"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  small="/dev/shm/quorvexa-bench-small"
  rm -rf "$small" && mkdir -p "$small" && cp "$data"/small/*.gz "$small/"
fi
add "quorvexa --zip small/*.gz ($small_files files)" small "$q --zip $small/*.gz" "rm -f $small/*.zip"
add "cp data.zip copy.zip" cp "cp data.zip copy.zip" "rm -f copy.zip"
# What flushing every output to the disk costs (the default, against --no-sync), where a flush costs
# something: the same small files in the data set's folder, on the build folder's disk.
add "quorvexa --zip small/*.gz on disk ($small_files files)" small-disk "$q --zip small/*.gz" "rm -f small/*.zip"
add "quorvexa --no-sync --zip small/*.gz on disk ($small_files files)" small-disk "$q --no-sync --zip small/*.gz" \
  "rm -f small/*.zip"
# What creating that many files costs the file system, whatever writes them.
add "cp small/*.gz copies/ ($small_files files)" small-cp "cp $small/*.gz $small/copies/" "rm -rf $small/copies && mkdir $small/copies"
add "igzip -t data.tar.gz" igzip "igzip -t data.tar.gz"
# On one core the check can't walk the stream beside inflating it.
for tar in data bin; do
  for format in zip zlib; do
    add "taskset -c 0 quorvexa --$format $tar.tar.gz" "one-core-$tar" "taskset -c 0 $q --$format $tar.tar.gz" "rm -f $tar.tar.gz.$format"
  done
done
# GZIP files of several members, each against igzip -t of the same file.
add "quorvexa --zip data.bgz" verified-bgzf "$q --zip data.bgz" "rm -f data.bgz.zip"
add "igzip -t data.bgz" igzip-bgzf "igzip -t data.bgz.gz"
add "bgzip -@2 -t data.bgz" bgzip-bgzf "bgzip -@2 -t data.bgz"
# Threads, where the program offers them: its peak memory may grow by 1 MiB per thread more.
# Collections: a tree of the text set's first 1,000 files as zip -9 -r makes it, each entry out to
# its own .gz and each checked, against unzip -t; and the small .gz files into one ZIP, against zip -0
# of them. Made once beside the data set, from it.
if [ ! -f "$data/entries/site.zip" ]; then
  rm -rf "$data/entries" && mkdir -p "$data/entries/files"
  "$python" - "$data/data.tar.gz" "$data/entries/files" "$small_files" <<'EOF' || fail "making the tree of $small_files files failed"
import sys, tarfile
source, folder, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
with tarfile.open(source, 'r|gz') as tar:
    for member in (m for m in tar if m.isfile()):
        tar.extract(member, folder)
        count -= 1
        if count == 0:
            break
EOF
  (cd "$data/entries/files" && zip -9 -r -q -X ../site.zip .) || fail "zip -9 -r of the tree failed"
fi
# Its entries go out in the memory-backed folder too, where there is one, for the same reason as the
# small files': on disk, after the runs before have created and removed thousands of files, ext4's
# search for a free inode costs more than the program's own work. That on-disk figure follows, for
# information. The -t and unzip -t rows create nothing and read the archive where it is made.
site="entries/site.zip"
if [ "$small" != small ]; then site="$small/entries/site.zip" && mkdir -p "$small/entries" && cp "$data/entries/site.zip" "$site"; fi
add "quorvexa --all-entries --gzip --no-sync site.zip ($small_files files)" entries-gzip \
  "$q --all-entries --gzip --no-sync $site" "rm -rf ${site%.zip}"
add "quorvexa --all-entries --gzip --no-sync site.zip on disk ($small_files files)" entries-disk \
  "$q --all-entries --gzip --no-sync entries/site.zip" "rm -rf entries/site"
add "quorvexa -t --all-entries site.zip ($small_files files)" entries-test "$q -t --all-entries entries/site.zip"
add "unzip -t site.zip ($small_files files)" unzip-test "unzip -tq entries/site.zip"
add "quorvexa -o all.zip --no-sync small/*.gz ($small_files files)" joined-zip "$q -o entries/all.zip --no-sync $small/*.gz" \
  "rm -f entries/all.zip"
add "zip -0 -q all.zip small/*.gz ($small_files files)" zip-stored "zip -0 -q entries/stored.zip $small/*.gz" \
  "rm -f entries/stored.zip"
add "quorvexa -T 2 --zip data.bgz" threads-bgzf "$q -T 2 --zip data.bgz" "rm -f data.bgz.zip"
add "quorvexa --zip cat.tar.gz" verified-cat "$q --zip cat.tar.gz" "rm -f cat.tar.gz.zip"
add "igzip -t cat.tar.gz" igzip-cat "igzip -t cat.tar.gz"
add "igzip -t bin.tar.gz" igzip-bin "igzip -t bin.tar.gz"
# Many small pieces, where a read per piece would cost more than the pieces.
add "quorvexa -t empty.gz ($empty_members empty members)" empty "$q -t empty.gz"
add "igzip -t empty.gz" igzip-empty "igzip -t empty.gz"
add "quorvexa -t idat8.png" idat8 "$q -t idat8.png"
add "quorvexa --zlib --no-sync idat8.png" idat8 "$q --zlib --no-sync idat8.png" "rm -f idat8.png.zlib"
if command -v pngcheck >/dev/null; then add "pngcheck idat8.png" pngcheck "pngcheck idat8.png"; fi
add "pigz -t data.tar.gz" pigz "pigz -t data.tar.gz"
add "gzip -t data.tar.gz" reference "gzip -t data.tar.gz"
libdeflate_help="$(libdeflate-gunzip -h 2>&1 || true)"
if grep -q -- '^ *-t' <<<"$libdeflate_help"; then
  add "libdeflate-gunzip -t data.tar.gz" reference "libdeflate-gunzip -t data.tar.gz"
else
  add "libdeflate-gunzip -c data.tar.gz" reference "libdeflate-gunzip -c data.tar.gz >/dev/null"
fi

cleanup() { (cd "$data" && rm -f data.bgz.zip cat.tar.gz.zip data.tar.gz.zip data.tar.gz.zlib bin.tar.gz.zip bin.tar.gz.zlib data.zip.gz image.png.zip idat8.png.zlib copy.zip small/*.zip \
  && rm -rf copies entries/site "$small"/*.zip "$small/copies" "$small/entries/site"); }
trap 'cleanup; [ "$small" = small ] || rm -rf "$small"' EXIT
cd "$data"
cleanup

# Peak RSS, one run of each command on its own; this run also checks that every command works.
echo "Measuring peak memory"
: >"$dir/rss.tsv"
for i in "${!names[@]}"; do
  bash -c "${prepares[$i]}"
  /usr/bin/time -f %M -o "$dir/rss.one" bash -c "exec ${commands[$i]}" >>"$log" 2>&1 ||
    fail "${names[$i]} failed"
  printf '%s\t%s\t%s\n' "${names[$i]}" "${roles[$i]}" "$(tail -n 1 "$dir/rss.one")" >>"$dir/rss.tsv"
done
rm -f "$dir/rss.one"
cleanup

# Timing: every command side by side in each hyperfine run, and the runs repeated in rounds, so
# that a burst of other work on the machine falls on every command rather than on one. The report
# takes the median of all rounds' runs together.
rounds=3
echo "Timing ${#names[@]} commands with hyperfine, $rounds rounds (a few minutes)"
args=()
for i in "${!names[@]}"; do
  args+=(--command-name "${names[$i]}" --prepare "${prepares[$i]}" "${commands[$i]}")
done
load="$(cut -d' ' -f1-3 /proc/loadavg)"
rm -f "$dir"/hyperfine*.json "$dir"/hyperfine*.md
timings=()
for round in $(seq "$rounds"); do
  hyperfine --warmup 1 --min-runs 3 --max-runs 10 --style basic \
    --export-json "$dir/hyperfine-$round.json" --export-markdown "$dir/hyperfine-$round.md" "${args[@]}" \
    >>"$log" 2>&1 || fail "hyperfine failed"
  timings+=("$dir/hyperfine-$round.json")
done

# The machine, for the README: other work may have been running, so the load average goes too.
model="$(lscpu | sed -n 's/^Model name: *//p' | head -n 1)"
"$python" - "$dir/machine.json" "$model" "$(nproc)" "$load" "$(cut -d' ' -f1-3 /proc/loadavg)" \
  "$(uname -r)" "$(. /etc/os-release && echo "$PRETTY_NAME")" "$(stat -c %s data.tar.gz)" \
  "$(stat -c %s data.zip)" "$small_files" "$total_bytes" "$(stat -c %s bin.tar.gz)" "$(cat bin.tar.size)" <<'EOF'
import json, sys
keys = ['cpu', 'cores', 'load_before', 'load_after', 'kernel', 'os', 'gz_bytes', 'zip_bytes', 'small_files',
        'tar_bytes', 'bin_gz_bytes', 'bin_tar_bytes']
values = sys.argv[2:]
json.dump({k: (int(v) if v.isdigit() else v) for k, v in zip(keys, values)}, open(sys.argv[1], 'w'), indent=1)
EOF

mkdir -p "$root/docs"
"$python" "$root/scripts/bench-report.py" --hyperfine "${timings[@]}" --rss "$dir/rss.tsv" \
  --machine "$dir/machine.json" --markdown "$dir/results.md" --chart "$root/docs/bench.png"
