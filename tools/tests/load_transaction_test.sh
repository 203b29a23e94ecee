# mdk load --transaction (all rows or none) and --commit-every N (a transaction per N input
# rows): what ends up in the file when every row goes in, when one is refused, and when the load
# stops at a refused row.
source "$(dirname "$0")/lib.sh"

cat >"$WORK/layout.json" <<'JSON'
{"blockSize": 1024, "recordSize": 40, "keyAreaSize": 6,
 "keys": [{"segments": [{"field": "key", "length": 6}]},
          {"unique": true, "segments": [{"field": 1, "length": 10}]}]}
JSON
# fresh NAME: a file holding one record, a0.
fresh() {
    rm -f "$WORK/$1"
    "$MDK" create "$WORK/$1" --layout "$WORK/layout.json" >/dev/null
    "$MDK" put "$WORK/$1" a0 zero >/dev/null
}
keys_of() { "$MDK" dump "$WORK/$1" --format csv | cut -d, -f1 | xargs; }
rows() { for ((i = $1; i <= $2; i++)); do printf 'r%03d,name%03d\n' "$i" "$i"; done; }

rows 1 300 >"$WORK/good.csv"
{ rows 1 4; echo 'r005,name002'; rows 6 10; } >"$WORK/bad.csv"  # line 5: a unique name again
all_good="a0 $(rows 1 300 | cut -d, -f1 | xargs)"

# Every row goes in, whichever way.
for opts in "--transaction" "--commit-every 7" "--commit-every 300" "--commit-every 1000"; do
    fresh f.dat
    run "$MDK" load "$WORK/f.dat" --input "$WORK/good.csv" $opts
    expect_status "$opts, good rows" 0
    expect_eq "$opts, good rows: kept" "$all_good" "$(keys_of f.dat)"
    run "$MDK" check "$WORK/f.dat"
    expect_status "$opts, good rows: sound" 0
done
fresh f.dat
run "$MDK" load "$WORK/f.dat" --input "$WORK/good.csv" --transaction
expect_contains "--transaction: says so" "inserted 300, updated 0, refused 0 (in one transaction)" "$out"
fresh f.dat
run "$MDK" load "$WORK/f.dat" --input "$WORK/good.csv" --commit-every 7
expect_contains "--commit-every 7: says so" "inserted 300, updated 0, refused 0 (in 43 transactions of up to 7 rows)" "$out"

# One row refused: --transaction keeps none of them, and the file is as it was (it may have grown
# by blocks nothing uses); --commit-every keeps every row but the refused one.
fresh f.dat
cp "$WORK/f.dat" "$WORK/before.dat"
run "$MDK" load "$WORK/f.dat" --input "$WORK/bad.csv" --transaction
expect_status "--transaction, a row refused" 1
expect_contains "--transaction, a row refused: reported" "bad.csv:5: refused key \"r005\"" "$err"
expect_contains "--transaction, a row refused: rolled back" \
    "rolled back, nothing loaded: refused 1, and the 9 accepted rows are not kept" "$out"
expect_eq "--transaction, a row refused: nothing kept" "a0" "$(keys_of f.dat)"
size=$(stat -c %s "$WORK/before.dat")
cmp -s -n "$size" "$WORK/before.dat" "$WORK/f.dat" && pass ||
    fail "--transaction, a row refused: the file's bytes changed"
run "$MDK" check "$WORK/f.dat"
expect_status "--transaction, a row refused: sound" 0

fresh f.dat
run "$MDK" load "$WORK/f.dat" --input "$WORK/bad.csv" --commit-every 3
expect_status "--commit-every, a row refused" 1
expect_contains "--commit-every, a row refused: counts" \
    "inserted 9, updated 0, refused 1 (in 4 transactions of up to 3 rows)" "$out"
expect_eq "--commit-every, a row refused: the others kept" "a0 r001 r002 r003 r004 r006 r007 r008 r009 r010" \
    "$(keys_of f.dat)"

# Stopping at the refused row: --transaction keeps nothing; --commit-every the rows before it.
fresh f.dat
run "$MDK" load "$WORK/f.dat" --input "$WORK/bad.csv" --transaction --stop-on-error
expect_status "--transaction --stop-on-error" 1
expect_eq "--transaction --stop-on-error: nothing kept" "a0" "$(keys_of f.dat)"
fresh f.dat
run "$MDK" load "$WORK/f.dat" --input "$WORK/bad.csv" --commit-every 3 --stop-on-error
expect_status "--commit-every --stop-on-error" 1
expect_contains "--commit-every --stop-on-error: counts" "inserted 4, updated 0, refused 1" "$out"
expect_eq "--commit-every --stop-on-error: the rows before it kept" "a0 r001 r002 r003 r004" \
    "$(keys_of f.dat)"

# --update inside a transaction.
fresh f.dat
"$MDK" load "$WORK/f.dat" --input "$WORK/good.csv" >/dev/null
rows 1 300 | sed 's/name/NAME/' >"$WORK/upper.csv"
run "$MDK" load "$WORK/f.dat" --input "$WORK/upper.csv" --update --commit-every 50
expect_contains "--update --commit-every" "inserted 0, updated 300, refused 0" "$out"
expect_eq "--update --commit-every: written" "r150,NAME150" "$("$MDK" get "$WORK/f.dat" r150 --format csv)"

# Refused: both options at once, a batch of no rows, and an indexed file.
run "$MDK" load "$WORK/f.dat" --input "$WORK/good.csv" --transaction --commit-every 5
expect_status "both options" 2
run "$MDK" load "$WORK/f.dat" --input "$WORK/good.csv" --commit-every 0
expect_status "--commit-every 0" 2
echo '{"kind": "indexed", "recordSize": 20}' >"$WORK/ind.json"
"$MDK" create "$WORK/n.ind" --layout "$WORK/ind.json" >/dev/null
for opts in "--transaction" "--commit-every 5"; do
    run "$MDK" load "$WORK/n.ind" --format csv --input "$WORK/good.csv" $opts
    expect_status "indexed file, $opts" 2
    expect_contains "indexed file, $opts: why" "classic keyed files only" "$err"
    expect_eq "indexed file, $opts: nothing written" "0" "$("$MDK" dump "$WORK/n.ind" | wc -l)"
done

finish
