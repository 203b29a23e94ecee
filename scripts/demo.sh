#!/usr/bin/env bash
# A short tour of mdk, the command-line tool: a file made with create and filled with load,
# dumped, filtered and checked; then the sample data set of make_samples: its files, a
# filtered scan, the integrity check and the catalog of its dictionaries.  Everything happens
# in a scratch directory that is removed at the end.
#   scripts/demo.sh [BUILD_DIRECTORY]     (default build-release, as scripts/run.sh builds it)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-release}
mdk=$(realpath "$build/tools/mdk")
make_samples=$(realpath "$build/samples/make_samples")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/mdk-demo.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# Shows a command, then runs it from the scratch directory.
step() {
    local shown
    shown=$(basename "$1")
    for arg in "${@:2}"; do
        [[ $arg == *[\ \'\"\<\>\|]* ]] && arg="'$arg'"
        shown+=" $arg"
    done
    printf '\n$ %s\n' "$shown"
    (cd "$scratch" && "$@")
}
say() { printf '\n# %s\n' "$*"; }

say "A classic keyed file: key area of 6 bytes, fields separated by '|', a second key on the
# name without regard to case, records compressed in 1 KiB blocks."
cat >"$scratch/people.json" <<'JSON'
{"kind": "classic", "storage": "block", "blockSize": 1024, "recordSize": 80,
 "keyAreaSize": 6, "separator": "|", "compress": true,
 "keys": [{"segments": [{"field": "key", "length": 6}]},
          {"segments": [{"field": 1, "length": 12, "options": ["upper"]}]}]}
JSON
step "$mdk" create people.dat --layout people.json
step "$mdk" info people.dat

say "Rows to load, one of them with a key already used: it is reported and the rest go in."
cat >"$scratch/people.jsonl" <<'JSONL'
{"key": "P001", "fields": ["Ada Lovelace", "London", "1815"]}
{"key": "P002", "fields": ["grace hopper", "New York", "1906"]}
{"key": "P003", "fields": ["Alan Turing", "London", "1912"]}
{"key": "P001", "fields": ["Someone Else", "Nowhere", "2000"]}
{"key": "P004", "fields": ["Edsger Dijkstra", "Rotterdam", "1930"]}
{"key": "P005", "fields": ["Barbara Liskov", "Los Angeles", "1939"]}
{"key": "P006", "fields": ["Kurt G\\xf6del", "Br\\xfcnn", "1906"]}
JSONL
step "$mdk" load people.dat --input people.jsonl || say "(exit status $?: one row was refused)"
step "$mdk" dump people.dat
step "$mdk" dump people.dat --key 2 --format csv
step "$mdk" dump people.dat --key 2 --from B --to G --reverse
step "$mdk" scan people.dat --where '2 = London' --where '3 < 1900 num'
step "$mdk" check people.dat

say "Dump, load into a new file with the same layout, dump again: the same text."
printf '\n$ mdk dump people.dat --format jsonl > people.out\n'
(cd "$scratch" && "$mdk" dump people.dat --format jsonl >people.out)
step "$mdk" create copy.dat --like people.dat
step "$mdk" load copy.dat --input people.out
printf '\n$ mdk dump copy.dat --format jsonl | cmp - people.out\n'
(cd "$scratch" && "$mdk" dump copy.dat --format jsonl | cmp - people.out && echo "identical")

say "The sample data set."
step "$make_samples" samples
step "$mdk" info samples/orders.dat
step "$mdk" dump samples/products.ind --from 3 --to 6
step "$mdk" scan samples/customers.dat --where '2 = Oslo' --where '3 >= 100 num'
step "$mdk" scan samples/orders.dat --key 2 --from C00003 --to C00003 --where '3 > 20 num' --packed
step "$mdk" check samples/customers.dat
step "$mdk" check samples/products.ind
step "$mdk" tables samples/sales.ini
step "$mdk" tables samples/meridane.ddf
step "$mdk" columns samples/sales.ini CUSTOMERS
step "$mdk" columns samples/sales.ini ORDERS
step "$mdk" columns samples/meridane.ddf STOCK
