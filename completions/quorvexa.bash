# bash completion for quorvexa                                  -*- shell-script -*-
# Installed as share/bash-completion/completions/quorvexa; to try it, `source` this file.

# Adds to COMPREPLY, each preceded by $3, the directories (followed by $4) and the files whose
# names end in one of the endings in $2 (space-separated, any case) that start with $1.
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
            if [[ ${entry,,} == *"$ending" ]]; then
                COMPREPLY+=("$prefix$entry")
                break
            fi
        done
    done
}

_quorvexa() {
    local cur=${COMP_WORDS[COMP_CWORD]} inputs='.gz .zip .zlib .png' i
    COMPREPLY=()
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ ${COMP_WORDS[i]} == -- ]]; then  # every later word is an input path
            _quorvexa_paths "$cur" "$inputs" '' ''
            compopt -o filenames 2>/dev/null
            return 0
        fi
    done
    case $cur in
    --png*)
        # The header PNG's path is joined to the option (--pngoriginal.png), so bash can't tell
        # that a candidate names a directory: mark it, and add no space after it.
        _quorvexa_paths "${cur#--png}" .png --png /
        compopt -o filenames 2>/dev/null
        [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == */ ]] && compopt -o nospace 2>/dev/null
        ;;
    -*)
        mapfile -t COMPREPLY < <(compgen -W '--gzip --gzipname --zip --zlib --png --verify --no-verify
            --no-sync --entry= --version --help --' -- "$cur")
        # --png and --entry= take their values without a space.
        [[ ${#COMPREPLY[@]} -eq 1 && ( ${COMPREPLY[0]} == --png || ${COMPREPLY[0]} == --entry= ) ]] && compopt -o nospace 2>/dev/null
        ;;
    *)
        _quorvexa_paths "$cur" "$inputs" '' ''
        compopt -o filenames 2>/dev/null
        ;;
    esac
    return 0
} && complete -F _quorvexa quorvexa
