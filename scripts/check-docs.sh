#!/usr/bin/env bash
# Checks that README.md's result codes table (the one headed "| Code | Message |") and the man
# page's (doc/quorvexa.1, between .TS and .TE) list the same codes. Run by `make check-docs`.
set -euo pipefail
cd "$(dirname "$0")/.."

readme_codes=$(awk -F'|' '/^\| *Code *\| *Message *\|/ { inside = 1; next } !/^\|/ { inside = 0 }
                          inside && $2 ~ /^ *[0-9]+ *$/ { print $2 + 0 }' README.md | sort -n)
man_codes=$(awk '/^\.TS/ { inside = 1; next } /^\.TE/ { inside = 0 } inside && /^[0-9]+\t/ { print $1 + 0 }' doc/quorvexa.1 | sort -n)

[ -n "$readme_codes" ] || { echo "check-docs: no '| Code | Message |' table found in README.md" >&2; exit 1; }
[ -n "$man_codes" ] || { echo "check-docs: no result codes found in doc/quorvexa.1's table" >&2; exit 1; }
if [ "$readme_codes" != "$man_codes" ]; then
  echo "check-docs: README.md and doc/quorvexa.1 list different result codes:" >&2
  only_readme=$(comm -23 <(echo "$readme_codes" | sort) <(echo "$man_codes" | sort) | sort -n | tr '\n' ' ')
  only_man=$(comm -13 <(echo "$readme_codes" | sort) <(echo "$man_codes" | sort) | sort -n | tr '\n' ' ')
  echo "  only in README.md: ${only_readme:-none}" >&2
  echo "  only in doc/quorvexa.1: ${only_man:-none}" >&2
  exit 1
fi
echo "check-docs: README.md and doc/quorvexa.1 list the same $(echo "$man_codes" | wc -l) result codes"
