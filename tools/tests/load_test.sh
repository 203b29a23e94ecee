# Loading rows some of which are refused: each refused row is reported with its line and the
# library's message, the good rows go in, and --stop-on-error, --update and the progress bar do
# what they say.
source "$(dirname "$0")/lib.sh"

cat >"$WORK/layout.json" <<'JSON'
{"storage": "slot", "blockSize": 1024, "recordSize": 24, "keyAreaSize": 6,
 "keys": [{"segments": [{"field": "key", "length": 6}]},
          {"unique": true, "segments": [{"field": 1, "length": 8}]}]}
JSON
new_file() {
    rm -f "$WORK/$1"
    "$MDK" create "$WORK/$1" --layout "$WORK/layout.json" >/dev/null
}
keys_of() { "$MDK" dump "$WORK/$1" --format csv | cut -d, -f1 | tr '\n' ' '; }

# line | row | what the report must say about it (empty: the row goes in)
cases=(
    '1|{"key":"r001","fields":["alpha","one"]}|'
    '2|{"key":"r002","fields":[|not a JSON row'
    '3|{"key":"r001","fields":["other","dup"]}|refused key "r001": the primary key #1 already holds this record'"'"'s value: Duplicate key not allowed (code 26)'
    '4|{"key":"r0000004","fields":["long key"]}|File error : Key size invalid (code 12)'
    '5|{"key":"r005","fields":["too long for the twenty-four bytes"]}|File error : Record size invalid (code 13)'
    '6|{"key":"r006","fields":["bad \\q escape"]}|unknown escape'
    '7|{"key":"r007","fields":["gamma"]}|'
    '8|{"key":"r008","fields":["alpha","same name"]}|refused key "r008": unique key #2 already holds this record'"'"'s value in another record: Duplicate key not allowed (code 26)'
    '9|{"key":"r009","fields":["delta"],"extra":1}|unexpected member "extra"'
    '10||'
    '11|{"key":"r011","fields":["epsilon"]}|'
)
for c in "${cases[@]}"; do
    IFS='|' read -r line row want <<<"$c"
    echo "$row"
done >"$WORK/rows.jsonl"

new_file a.dat
run "$MDK" load "$WORK/a.dat" --input "$WORK/rows.jsonl"
expect_status "some rows refused: exit status" 1
expect_contains "some rows refused: counts" "inserted 3, updated 0, refused 7" "$out"
for c in "${cases[@]}"; do
    IFS='|' read -r line row want <<<"$c"
    if [[ -n $want ]]; then
        expect_contains "line $line reported" "rows.jsonl:$line: refused" "$err"
        expect_contains "line $line: why" "$want" "$(grep "rows.jsonl:$line: " <<<"$err")"
    else
        expect_lacks "line $line not reported" "rows.jsonl:$line:" "$err"
    fi
done
expect_eq "good rows kept" "r001 r007 r011 " "$(keys_of a.dat)"
expect_eq "the first r001 kept" "r001,alpha,one" "$("$MDK" get "$WORK/a.dat" r001 --format csv)"
expect_lacks "no progress bar off a terminal" "loading" "$err"
run "$MDK" check "$WORK/a.dat"
expect_status "file sound after refused rows" 0

# Stop at the first refused row.
new_file b.dat
run "$MDK" load "$WORK/b.dat" --input "$WORK/rows.jsonl" --stop-on-error
expect_status "stop on error: exit status" 1
expect_contains "stop on error: counts" "inserted 1, updated 0, refused 1" "$out"
expect_eq "stop on error: rows before it kept" "r001 " "$(keys_of b.dat)"

# Updates: refused without --update, replaced with it; a unique alternate key still refuses.
printf '%s\n' 'r001,alpha,changed' 'r020,zeta' >"$WORK/more.csv"
run "$MDK" load "$WORK/a.dat" --input "$WORK/more.csv"
expect_contains "no update: counts" "inserted 1, updated 0, refused 1" "$out"
expect_contains "no update: the existing key" "more.csv:1: refused key \"r001\": the primary key #1" "$err"
printf '%s\n' 'r001,alpha,changed' 'r021,eta' 'r022,gamma' >"$WORK/more.csv"
run "$MDK" load "$WORK/a.dat" --input "$WORK/more.csv" --update
expect_contains "update: counts" "inserted 1, updated 1, refused 1" "$out"
expect_contains "update: unique key clash reported as the duplicate it is, with its key" \
    "more.csv:3: refused key \"r022\": unique key #2 already holds this record's value in another record: Duplicate key not allowed (code 26)" "$err"
expect_eq "update: replaced" "r001,alpha,changed" "$("$MDK" get "$WORK/a.dat" r001 --format csv)"

# csv rows read from standard input; a broken quote is one refused row.
printf '%s\n' 'r030,"quoted, with comma"' 'r031,"not closed' 'r032,plain' |
    "$MDK" load "$WORK/a.dat" --format csv >"$WORK/out" 2>"$WORK/err"
expect_contains "csv from stdin: counts" "inserted 2, updated 0, refused 1" "$(cat "$WORK/out")"
expect_contains "csv from stdin: line" "stdin:2: refused: a quoted value is not closed" \
    "$(cat "$WORK/err")"
expect_eq "csv from stdin: value with a comma" 'r030,"quoted, with comma"' \
    "$("$MDK" get "$WORK/a.dat" r030 --format csv)"

# Indexed files: numbers past the end and records that exist are refused.
echo '{"kind": "indexed", "recordSize": 10}' >"$WORK/ind.json"
"$MDK" create "$WORK/n.ind" --layout "$WORK/ind.json" >/dev/null
printf '%s\n' '0,a' '1,b' '5,far' '1,again' 'x,bad' '2,c' >"$WORK/n.csv"
run "$MDK" load "$WORK/n.ind" --input "$WORK/n.csv"
expect_contains "indexed: counts" "inserted 3, updated 0, refused 3" "$out"
expect_contains "indexed: past the end" "n.csv:3: refused key \"5\": End of file reached (code 4)" "$err"
expect_contains "indexed: exists" "n.csv:4: refused key \"1\": record 1 exists" "$err"
expect_contains "indexed: not a number" "n.csv:5: refused key \"x\": \"x\" is not a record number" "$err"
run "$MDK" load "$WORK/n.ind" --input <(echo '1,replaced') --format csv --update
expect_contains "indexed: update" "inserted 0, updated 1, refused 0" "$out"

# On a terminal the load draws a progress bar (script(1) gives it one).
if command -v script >/dev/null; then
    new_file t.dat
    for ((i = 0; i < 300; i++)); do printf 't%03d,%d\n' "$i" "$i"; done >"$WORK/t.csv"
    script -qec "'$MDK' load '$WORK/t.dat' --input '$WORK/t.csv'" /dev/null </dev/null \
        >"$WORK/tty" 2>&1
    expect_contains "terminal: progress bar" "loading [" "$(cat "$WORK/tty")"
    expect_contains "terminal: percentage" "100%" "$(cat "$WORK/tty")"
    expect_contains "terminal: counts" "inserted 300, updated 0, refused 0" "$(cat "$WORK/tty")"
fi

finish
