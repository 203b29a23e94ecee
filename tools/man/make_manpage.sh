#!/usr/bin/env bash
# Writes the manual page of mdk from its own help: `make_manpage.sh MDK OUTPUT`.  The page holds
# `mdk --help` (with the exit statuses) and each command's `mdk COMMAND --help`, so that it says
# exactly what the program says.
set -euo pipefail

mdk=${1:?the mdk program}
output=${2:?the page to write}

# troff reads a backslash as an escape and a line starting with . or ' as a request.
escape() {
    sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
}

help=$("$mdk" --help)
version=$("$mdk" --version)
summary=$(head -n 1 <<<"$help")
commands=$(awk '/^Subcommands:/ { on = 1; next } on && /^$/ { exit } on { print $1 }' <<<"$help")
[[ -n $commands ]] || { echo "make_manpage.sh: no commands in mdk --help" >&2; exit 1; }

{
    echo ".TH MDK 1 \"\" \"$version\" \"User Commands\""
    echo ".SH NAME"
    echo "mdk \\- $(escape <<<"${summary#mdk - }")"
    echo ".SH SYNOPSIS"
    echo ".B mdk"
    echo ".I command"
    echo ".RI [ options ]"
    echo ".br"
    echo ".B mdk"
    echo ".I command"
    echo ".B \\-\\-help"
    echo ".SH DESCRIPTION"
    echo ".nf"
    tail -n +2 <<<"$help" | escape
    echo ".fi"
    echo ".SH COMMANDS"
    for c in $commands; do
        echo ".SS \"mdk $c\""
        echo ".nf"
        "$mdk" "$c" --help | escape
        echo ".fi"
    done
    echo ".SH SEE ALSO"
    echo "The README of the mdnio sources: the layouts of"
    echo ".BR create ,"
    echo "records as text, conditions, keys on the command line, transactions and waiting."
} >"$output.tmp"
mv "$output.tmp" "$output"
