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

# Without --format: the input's extension, else the first line tells (a csv pipe is csv).
for ((i = 0; i < 1000; i++)); do printf 'p%04d,v%d\n' "$i" "$i"; done >"$WORK/p.csv"
for ((i = 0; i < 3; i++)); do printf '{"key":"j%d","fields":["v%d"]}\n' "$i" "$i"; done >"$WORK/j.txt"
cp "$WORK/p.csv" "$WORK/p.data"
cp "$WORK/j.txt" "$WORK/j.jsonl"
# how the rows come | counts
detections=(
    "<p.csv|inserted 1000, updated 0, refused 0"
    "--input p.data|inserted 1000, updated 0, refused 0"
    "<j.txt|inserted 3, updated 0, refused 0"
    "--input j.jsonl|inserted 3, updated 0, refused 0"
)
for d in "${detections[@]}"; do
    IFS='|' read -r how want <<<"$d"
    new_file d.dat
    if [[ $how == "<"* ]]; then
        run "$MDK" load "$WORK/d.dat" <"$WORK/${how#<}"
    else
        run "$MDK" load "$WORK/d.dat" --input "$WORK/${how#--input }"
    fi
    expect_status "format of $how" 0
    expect_contains "format of $how: counts" "$want" "$out"
    expect_lacks "format of $how: nothing refused, nothing said" "first line" "$err"
done

# A thousand rows refused for one reason: five listed, the rest counted; every one with
# --all-refusals.
new_file e.dat
run "$MDK" load "$WORK/e.dat" --format jsonl <"$WORK/p.csv"
expect_status "wrong format: exit status" 1
expect_contains "wrong format: counts" "inserted 0, updated 0, refused 1000" "$out"
expect_eq "wrong format: lines on stderr" 7 "$(grep -c . <<<"$err")"
expect_contains "wrong format: the fifth listed" "stdin:5: refused: not a JSON row" "$err"
expect_lacks "wrong format: the sixth not" "stdin:6:" "$err"
expect_contains "wrong format: the rest counted" \
    "stdin: 995 more rows refused from line 6 on, not listed: not a jsonl row" "$err"
run "$MDK" load "$WORK/e.dat" --format jsonl --all-refusals <"$WORK/p.csv"
expect_eq "--all-refusals: every row" 1000 "$(grep -c ': refused: ' <<<"$err")"
printf '%s\n' '{"key":"x1"}' 'not json' '{"key":"x1"}' '{"key":"x1"}' '{"key":"x1"}' '{"key":"x1"}' \
    '{"key":"x1"}' '{"key":"x1"}' >"$WORK/mixed.jsonl"
run "$MDK" load "$WORK/e.dat" --input "$WORK/mixed.jsonl"
expect_contains "kinds counted apart: counts" "inserted 1, updated 0, refused 7" "$out"
expect_contains "kinds counted apart: another kind listed" "mixed.jsonl:2: refused: not a JSON row" "$err"
expect_contains "kinds counted apart: duplicates past five" \
    "mixed.jsonl: 1 more rows refused from line 8 on, not listed: Duplicate key not allowed (code 26)" "$err"
printf '%s\n' 'q1,a' '{"key":"q2"}' >"$WORK/odd"
run "$MDK" load "$WORK/e.dat" --input "$WORK/odd"
expect_contains "a detected format with refusals: said" \
    "odd: rows read as csv, as the first line showed (--format chooses)" "$err"

# SIGTERM or SIGINT stops the load after the row it is writing: the rows up to the last line
# read are in, the exit status is 128 + the signal, and the report says where to resume.  The
# rows come through a FIFO that stays open, so that the load waits for more when the signal
# comes; the test waits until the 50th row is in.
for signal in TERM INT; do
    new_file s.dat
    rm -f "$WORK/rows.fifo"
    mkfifo "$WORK/rows.fifo"
    set -m  # a job of its own, where SIGINT is not ignored
    "$MDK" load "$WORK/s.dat" --format csv <"$WORK/rows.fifo" >"$WORK/s.out" 2>"$WORK/s.err" &
    loader=$!
    set +m
    exec 6>"$WORK/rows.fifo"
    for ((i = 1; i <= 50; i++)); do printf 's%04d,row %d\n' "$i" "$i" >&6; done
    until "$MDK" get "$WORK/s.dat" s0050 >/dev/null 2>&1; do
        kill -0 "$loader" 2>/dev/null || break
    done
    kill -"$signal" "$loader"
    wait "$loader"
    status=$?
    exec 6>&-
    expect_eq "SIG$signal: exit status" $((128 + $(kill -l "$signal"))) "$status"
    expect_contains "SIG$signal: counts" "inserted 50, updated 0, refused 0" "$(cat "$WORK/s.out")"
    expect_contains "SIG$signal: where it stopped" \
        "s.dat: stopped by SIG$signal after line 50 of stdin" "$(cat "$WORK/s.err")"
    expect_eq "SIG$signal: the rows in" 50 "$("$MDK" dump "$WORK/s.dat" --format csv | grep -c .)"
    run "$MDK" check "$WORK/s.dat"
    expect_status "SIG$signal: sound" 0
done

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
