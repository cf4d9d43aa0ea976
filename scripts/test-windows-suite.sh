#!/usr/bin/env bash
# Runs the end-to-end test suite against the Windows program under Wine:
#   scripts/test-windows-suite.sh WINDOWS_EXE TEST_BUILD_FOLDER WORK_FOLDER
# The suite built for Linux runs every program it starts through Wine (QUORVEXA_TEST_WRAPPER) as the
# .exe (QUORVEXA_TEST_PROGRAM). Left out: tests of a POSIX mechanism (named Posix...), and the unit
# tests, which exercise the Linux build's own code in-process.
set -euo pipefail
exe="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
build="$2"
mkdir -p "$3"
export WINEDEBUG=-all WINEPREFIX="$(cd "$3" && pwd)/suite-prefix" LC_ALL=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wine="$(command -v wine64 || { [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64; } || command -v wine)"
wineserver="$(command -v wineserver || echo /usr/lib/wine/wineserver64)"
[ -d "$WINEPREFIX" ] || { mkdir -p "$WINEPREFIX" && timeout 300 "$wine" wineboot -i >/dev/null 2>&1; }
"$wineserver" -p 2>/dev/null || true  # one server for the whole run (it may be up already)
# Wine's services start with the first program and keep its standard streams open: started here, on
# /dev/null, they can't hold a test's pipes open (a test that reads them to the end would wait for ever).
timeout 300 "$wine" wineboot </dev/null >/dev/null 2>&1 || true
trap '"$wineserver" -k 2>/dev/null || true' EXIT
QUORVEXA_TEST_PROGRAM="$exe" QUORVEXA_TEST_WRAPPER="$wine" QUORVEXA_REQUIRE_TOOLS=1 \
  ctest --test-dir "$build" -LE large -E 'Posix|Timestamp|StoredNames' -j 2 --output-on-failure
