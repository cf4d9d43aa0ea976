# bash completion for quorvexa                                  -*- shell-script -*-
# Installed as share/bash-completion/completions/quorvexa; to try it, `source` this file.

# Adds to COMPREPLY, each preceded by $3, the directories (followed by $4) and the files that start
# with $1 and whose names end in one of the endings in $2 (space-separated, any case; '*' for any
# file, nothing for directories alone).
_quorvexa_paths() {
    local typed=$1 prefix=$3 slash=$4 entry ending
    local -a endings found
    read -r -a endings <<<"$2"
    # A backslash typed before a character (my\ file) stands for that character.
    typed=$(printf '%s' "$typed" | sed 's/\\\(.\)/\1/g')
    mapfile -t found < <(compgen -d -- "$typed")
    for entry in "${found[@]}"; do
        COMPREPLY+=("$prefix$entry$slash")
    done
    mapfile -t found < <(compgen -f -- "$typed")
    for entry in "${found[@]}"; do
        [[ -d $entry ]] && continue
        for ending in "${endings[@]}"; do
            if [[ $ending == '*' || ${entry,,} == *"$ending" ]]; then
                COMPREPLY+=("$prefix$entry")
                break
            fi
        done
    done
}

# Completes paths in place, as bash does for file names: no space after a directory.
_quorvexa_complete_paths() {
    _quorvexa_paths "$1" "$2" "${3:-}" "${4:-}"
    compopt -o filenames 2>/dev/null
    [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == */ ]] && compopt -o nospace 2>/dev/null
}

_quorvexa() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]} i
    COMPREPLY=()
    # Inputs are recognised by their content, not their names: any file may be one.
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ ${COMP_WORDS[i]} == -- ]]; then  # every later word is an input path
            _quorvexa_complete_paths "$cur" '*'
            return 0
        fi
    done
    # bash splits --outdir=DIR at the "=": the option is the word before it.
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]]; then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi
    case $prev in
    -o | --output) _quorvexa_complete_paths "$cur" '*'; return 0 ;;
    --outdir) _quorvexa_complete_paths "$cur" ''; return 0 ;;
    --png) _quorvexa_complete_paths "$cur" .png; return 0 ;;
    --entry | -T | --threads) return 0 ;;
    esac
    case $cur in
    --png?*)
        # The header PNG's path joined to the option (--pngoriginal.png): bash can't tell that a
        # candidate names a directory, so mark it.
        _quorvexa_complete_paths "${cur#--png}" .png --png /
        ;;
    -*)
        mapfile -t COMPREPLY < <(compgen -W '--gzip --gzipname --zip --zlib --png --no-verify --verify --no-sync
            --version --entry= --all-entries -- -o --output= --outdir= -c --stdout -f --force -q --quiet -t --test -h --help -T --threads=' -- "$cur")
        # --png takes its path joined, and --NAME= after the "=".
        [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == @(--png|*=) ]] && compopt -o nospace 2>/dev/null
        ;;
    *)
        _quorvexa_complete_paths "$cur" '*'
        ;;
    esac
    return 0
} && complete -F _quorvexa quorvexa
