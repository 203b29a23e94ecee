# bash completion for mdk: its commands, each command's options and the values of --format,
# read from the program's own help (`mdk --help`, `mdk COMMAND --help`) so that they never
# disagree with it; file names elsewhere.  Plain bash: the bash-completion package is not needed.

# The commands, as `mdk --help` lists them under "Subcommands:".
_mdk_commands() {
    "$1" --help 2>/dev/null |
        awk '/^Subcommands:/ { on = 1; next } on && /^$/ { exit } on { print $1 }'
}

# The options of one command: the first word of each option line, split at commas.
_mdk_options() {
    "$1" "$2" --help 2>/dev/null | awk '/^  -/ { n = split($1, names, ","); for (i = 1; i <= n; i++) print names[i] }'
}

# The values an option accepts when its help lists them: "--format TEXT:{text,jsonl,csv}=text".
_mdk_choices() {
    "$1" "$2" --help 2>/dev/null |
        awk -v option="$3" '$1 == option { if (match($0, /\{[^}]*\}/)) { s = substr($0, RSTART + 1, RLENGTH - 2); gsub(",", " ", s); print s } }'
}

_mdk() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local mdk=${COMP_WORDS[0]} command="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ ${COMP_WORDS[i]} != -* ]]; then
            command=${COMP_WORDS[i]}
            break
        fi
    done
    COMPREPLY=()
    if [[ -z $command ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(_mdk_commands "$mdk") --help --version" -- "$cur")
        return
    fi
    case $prev in
        --format)
            mapfile -t COMPREPLY < <(compgen -W "$(_mdk_choices "$mdk" "$command" --format)" -- "$cur")
            return
            ;;
        --layout | --like | --input | -i)
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return
            ;;
        --key | --from | --to | --where | -w | --data | --limit | --timeout | --commit-every)
            return # a value of the user's own
            ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(_mdk_options "$mdk" "$command")" -- "$cur")
    else
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}

complete -o filenames -F _mdk mdk
