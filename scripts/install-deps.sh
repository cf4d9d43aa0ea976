#!/usr/bin/env bash
# Installs, through apt-get, whatever a target needs and the machine lacks. Safe to run again:
# it installs nothing when everything is present.
#   scripts/install-deps.sh build   compiler, cmake, zlib headers
#   scripts/install-deps.sh demo    the above, and python3 with Pillow to check the demo's image
#   scripts/install-deps.sh test    the above, GoogleTest and the tools the interop tests use
#   scripts/install-deps.sh memcheck | fuzz | samples   extras for those make targets
#   scripts/install-deps.sh package   the build packages, and what CPack needs to make a .deb
#   scripts/install-deps.sh bench     the build packages, and what make bench times, measures and draws with
#   scripts/install-deps.sh windows   the MinGW-w64 cross compilers and zlib for Windows
#   scripts/install-deps.sh windows-test   the above, Wine and the tools that make the test inputs
set -euo pipefail

# zlib is always built in; ISA-L (found through pkg-config) is the fast inflate engine.
build_packages=(cmake g++ make pkg-config zlib1g-dev libisal-dev)
# The demo checks that its PNG decodes to the original's pixels.
demo_packages=("${build_packages[@]}" python3 python3-pil)
# kbd, python3-pip-whl and libhamcrest-java ship real .gz files, wheels and a jar, made by Debian's
# tools, that the interop tests convert; bsdtar (libarchive-tools) is one more reader of the archives
# written, and zopfli makes the optimised streams that collections carry.
test_packages=("${build_packages[@]}" libgtest-dev gzip zip unzip python3 python3-pil pngcheck tzdata time
  kbd python3-pip-whl libhamcrest-java strace tabix libarchive-tools zopfli)
memcheck_packages=("${test_packages[@]}" valgrind)
fuzz_packages=("${build_packages[@]}" clang libclang-rt-14-dev)
sample_packages=(python3 zopfli)
# CPack's DEB generator finds the binaries with file(1); dpkg-shlibdeps (dpkg-dev) names the
# packages of the libraries they link, reading them with objdump (binutils).
package_packages=("${build_packages[@]}" dpkg-dev file binutils)
# make bench times quorvexa beside igzip (isal), pigz, gzip and libdeflate with hyperfine, reads peak
# memory from GNU time, makes its BGZF file with bgzip (tabix), its PNG with Pillow, and draws its
# chart with matplotlib.
bench_packages=("${build_packages[@]}" hyperfine pigz isal libdeflate-tools gzip zip tabix time python3 python3-pil python3-matplotlib)
windows_packages=(cmake make g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev)
# The 64-bit program is run under Wine, against the Linux build, on inputs gzip, zip and python3 make.
windows_test_packages=("${windows_packages[@]}" "${build_packages[@]}" wine64 wine gzip zip python3)

case "${1:-build}" in
  build) wanted=("${build_packages[@]}") ;;
  demo) wanted=("${demo_packages[@]}") ;;
  test) wanted=("${test_packages[@]}") ;;
  memcheck) wanted=("${memcheck_packages[@]}") ;;
  fuzz) wanted=("${fuzz_packages[@]}") ;;
  samples) wanted=("${sample_packages[@]}") ;;
  package) wanted=("${package_packages[@]}") ;;
  bench) wanted=("${bench_packages[@]}") ;;
  windows) wanted=("${windows_packages[@]}") ;;
  windows-test) wanted=("${windows_test_packages[@]}") ;;
  *) echo "usage: $0 build|demo|test|memcheck|fuzz|samples|package|windows|windows-test|bench" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if ! command -v apt-get >/dev/null; then
  echo "Missing packages: ${missing[*]}; install them with your package manager." >&2
  exit 1
fi
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "Missing packages: ${missing[*]}; run as root or install sudo." >&2; exit 1; }
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
