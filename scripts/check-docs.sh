#!/usr/bin/env bash
# Checks that README.md's result codes table (the one headed "| Code | Message |") and the man
# page's (doc/quorvexa.1, between .TS and .TE) list the same codes, and that the usage text, the man
# page and the bash completion list the same options. Run by `make check-docs`.
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

# The options: the usage text's first column (src/driver/command_line.cpp), the tags of the man
# page's OPTIONS list and the completion's word list must name the same ones. (--h, the man page's
# name for every argument that starts with --h, is not an option of its own.)
usage_options=$(awk '/^void printUsage/ { inside = 1 } inside && /^}/ { inside = 0 }
                     inside && /^ *"  -/ { sub(/^ *"  /, ""); print substr($0, 1, 15) }' src/driver/command_line.cpp |
                grep -oE -- '--?[a-z][a-z-]*' | sort -u)
man_options=$(awk '/^\.SH OPTIONS/ { inside = 1; next } /^\.SH/ { inside = 0 } inside && tag { print; tag = 0 }
                   inside && /^\.TP/ { tag = 1 }' doc/quorvexa.1 | tr -d '\\' | grep -oE -- '--?[a-z][a-z-]*' |
              grep -vx -- '--h' | sort -u)
completion_options=$(sed -n "/compgen -W '/,/'/p" completions/quorvexa.bash | sed "s/.*compgen -W '//; s/'.*//" |
                     tr ' ' '\n' | sed 's/=$//' | grep -E -- '^--?[a-z]' | sort -u)
[ -n "$usage_options" ] && [ -n "$man_options" ] && [ -n "$completion_options" ] ||
  { echo "check-docs: no options found in the usage text, the man page or the completion" >&2; exit 1; }
if [ "$usage_options" != "$man_options" ] || [ "$usage_options" != "$completion_options" ]; then
  echo "check-docs: the usage text, doc/quorvexa.1 and completions/quorvexa.bash list different options:" >&2
  diff <(echo "$usage_options") <(echo "$man_options") | sed -n 's/^</  usage only (vs man page):/p; s/^>/  man page only:/p' >&2
  diff <(echo "$usage_options") <(echo "$completion_options") | sed -n 's/^</  usage only (vs completion):/p; s/^>/  completion only:/p' >&2
  exit 1
fi
echo "check-docs: the usage text, doc/quorvexa.1 and completions/quorvexa.bash list the same $(echo "$usage_options" | wc -l) options"
