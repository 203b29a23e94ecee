# Answers that say what happened: a key that is not there is not an error (status 3, a plain
# message), a duplicate names the key whose uniqueness failed, and an open that fails gives the
# system's reason beside the library's code.
source "$(dirname "$0")/lib.sh"

# Key #2 unique on field 1 (upper-cased), #3 unique on fields 2 and 3 (the second descending),
# #4 with duplicates.
cat >"$WORK/layout.json" <<'JSON'
{"blockSize": 1024, "recordSize": 60, "keyAreaSize": 6,
 "keys": [{"segments": [{"field": "key", "length": 6}]},
          {"unique": true, "segments": [{"field": 1, "length": 8, "options": ["upper"]}]},
          {"unique": true, "segments": [{"field": 2, "length": 3},
                                        {"field": 3, "length": 4, "descending": true}]},
          {"segments": [{"field": 3, "length": 4}]}]}
JSON
F=$WORK/f.dat
"$MDK" create "$F" --layout "$WORK/layout.json" >/dev/null
"$MDK" put "$F" a1 alpha NO 1 >/dev/null
"$MDK" put "$F" a2 beta SE 1 >/dev/null

# command | exit status | what it says
steps=(
    "get $F zz|3|f.dat: no record with key \"zz\""
    "get $F --key 2 ZZ|3|f.dat: no record with key #2 \"ZZ\""
    "del $F zz|3|f.dat: no record with key \"zz\""
    "get $F a1 --format csv|0|a1,alpha,NO,1"
    "put $F a1 x y z --insert|1|the primary key #1 already holds this record's value: Duplicate key not allowed (code 26)"
    "put $F a3 ALPHA DK 2|1|unique key #2 already holds this record's value in another record: Duplicate key not allowed (code 26)"
    "put $F a3 gamma NO 1|1|unique key #3 already holds this record's value in another record"
    "put $F a3 gamma NO 2|0|inserted key \"a3\""
    "put $F a1 alpha NO 1|0|updated key \"a1\""
    "put $F a1 Beta DK 3|1|key \"a1\": unique key #2 already holds this record's value in another record"
    "put $F a2 beta SE 2 --update|0|updated key \"a2\""
    "put $F a2 beta NO 1 --update|1|unique key #3 already holds"
    "put $F a4 other SE 1|0|inserted key \"a4\""
)
expect_steps "${steps[@]}"
expect_eq "what the refusals left" "a1,alpha,NO,1 a2,beta,SE,2 a3,gamma,NO,2 a4,other,SE,1" \
    "$("$MDK" dump "$F" --format csv | xargs)"

# load names the key too, with --update as without.
printf '%s\n' 'a5,ALPHA,FI,9' 'a1,alpha,SE,2' >"$WORK/rows.csv"
run "$MDK" load "$F" --input "$WORK/rows.csv" --update
expect_contains "load: counts" "inserted 0, updated 0, refused 2" "$out"
expect_contains "load: insert clash" "rows.csv:1: refused key \"a5\": unique key #2 already holds" "$err"
expect_contains "load: update clash" "rows.csv:2: refused key \"a1\": unique key #3 already holds" "$err"

# Opens that fail: the library's code, then the system's reason.
mkdir "$WORK/dir.dat"
ln -s loop.b "$WORK/loop.a"
ln -s loop.a "$WORK/loop.b"
run "$MDK" put "$WORK/dir.dat" k x
expect_contains "a directory" "dir.dat: Can't open data file (code 1): Is a directory" "$err"
run "$MDK" info "$WORK/loop.a"
expect_contains "a link loop" "Can't open data file (code 1): Too many levels of symbolic links" "$err"
hold "$F"
run "$MDK" get "$F" a1
expect_status "held exclusively" 1
expect_contains "held exclusively: says" "Can't open data file (code 1): another process holds it exclusively" "$err"
release
if [[ $(id -u) != 0 ]]; then  # root opens whatever the mode bits say
    chmod 400 "$F"
    run "$MDK" put "$F" a9 x
    expect_contains "read-only file: says" "Can't open data file (code 1): Permission denied" "$err"
    chmod 600 "$F"
fi

finish
