# The command line: --help with an example on every command, one-record commands, and failures
# that print the library's message and code and exit non-zero.
source "$(dirname "$0")/lib.sh"

commands=(create info dump load get put del scan check tables columns version)
run "$MDK" --help
expect_status "mdk --help" 0
top=$out
for c in "${commands[@]}"; do
    expect_contains "mdk --help lists $c" "  $c " "$top"
    run "$MDK" "$c" --help
    expect_status "$c --help" 0
    expect_contains "$c --help has an example" "Example:" "$out"
    expect_contains "$c --help example runs $c" "mdk $c" "$out"
done
run "$MDK"
expect_status "no command" 2
run "$MDK" frobnicate
expect_status "unknown command" 2
run "$MDK" version
expect_contains "version" "(library 4." "$out"

cat >"$WORK/layout.json" <<'JSON'
{"storage": "slot", "blockSize": 1024, "recordSize": 40, "keyAreaSize": 6,
 "keys": [{"segments": [{"field": "key", "length": 6}]},
          {"unique": true, "segments": [{"field": 1, "length": 8, "options": ["upper"]}]}]}
JSON
F=$WORK/f.dat
run "$MDK" create "$F" --layout "$WORK/layout.json"
expect_contains "create" "created $F: classic keyed file, slot mode, 1024-byte blocks, 2 keys" "$out"

# put, get, del on one record: (command | exit status | what stdout or stderr holds)
steps=(
    "put $F k1 alpha 10|0|inserted key \"k1\""
    "get $F k1 --format csv|0|k1,alpha,10"
    "put $F k1 alpha 11|0|updated key \"k1\""
    "get $F k1 --format jsonl|0|{\"key\":\"k1\",\"fields\":[\"alpha\",\"11\"]}"
    "put $F k1 beta --insert|1|Duplicate key not allowed (code 26)"
    "put $F k2 ALPHA 3|1|unique key #2 already holds this record's value in another record: Duplicate key not allowed (code 26)"
    "put $F k3 gamma --update|1|Invalid key specified (code 3)"
    "put $F k3 --data gamma\\x8a7|0|inserted key \"k3\""
    "get $F --key 2 GAMMA --format csv|0|k3,gamma,7"
    "put $F k1234567 x|1|File error : Key size invalid (code 12)"
    "put $F k4 $(printf 'x%.0s' {1..50})|1|File error : Record size invalid (code 13)"
    "put $F k5 bad\\q|2|unknown escape"
    "del $F k1|0|removed key \"k1\""
    "get $F k1|3|no record with key \"k1\""
    "del $F k1|3|no record with key \"k1\""
    "put $F k4 delta 1|0|inserted key \"k4\""
    "del $F --key 2 delta|0|removed key \"delta\""
    "get $F k4|3|no record with key \"k4\""
    "dump $F --key 3|1|Key number invalid (code 6)"
    "dump $F --from k12345678|1|Length invalid (code 7)"
    "info $WORK/missing.dat|1|File does not exist (code 33)"
    "dump $WORK/layout.json|1|Bad file type -- Not a KEYED file (code 5)"
    "create $F --layout $WORK/layout.json|1|Can't open data file (code 1)"
    "create $WORK/g.dat|2|create needs --layout"
    "scan $F --packed|2|--packed sends the --where conditions as one program"
    "tables $WORK/layout.json|1|no tables"
)
expect_steps "${steps[@]}"
expect_eq "what is left" "k3" "$("$MDK" dump "$F" --format csv | cut -d, -f1 | tr '\n' ' ' | xargs)"

# Layouts the builder refuses: its reason and the code.
bad_layouts=(
    '{"keyAreaSize": 4, "keys": [{"segments": [{"field": "key", "offset": 4, "length": 2}]}]}|layout.keys[0].segments[0]: offset 4 + length 2 reaches past the 4-byte key area: Length invalid (code 7)|1'
    '{"storage": "slot", "compress": true, "recordSize": 10, "keys": [{"segments": [{"field": 1, "length": 2}]}]}|compression needs block mode|1'
    '{"recordSize": 10, "keys": [{"segments": [{"field": 1, "length": 2, "colour": 1}]}]}|layout.keys[0].segments[0]: unknown member "colour"|2'
    '{"recordSize": 10, "keys": [{"segments": [{"field": 1, "length": 2}]}], |not JSON|2'
)
for b in "${bad_layouts[@]}"; do
    IFS='|' read -r json want want_status <<<"$b"
    echo "$json" >"$WORK/bad.json"
    rm -f "$WORK/bad.dat"
    run "$MDK" create "$WORK/bad.dat" --layout "$WORK/bad.json"
    expect_status "layout $json" "$want_status"
    expect_contains "layout $json: why" "$want" "$err"
    [[ ! -e $WORK/bad.dat ]] && pass || fail "layout $json: a file was made"
done

# A record longer than the first read buffer (64 KiB) is read again whole, by dump and by scan.
echo '{"blockSize": 4096, "recordSize": 1000, "keyAreaSize": 4,
       "keys": [{"segments": [{"field": "key", "length": 4}]}]}' >"$WORK/big.json"
"$MDK" create "$WORK/big.dat" --layout "$WORK/big.json" >/dev/null
long=$(head -c 70000 /dev/zero | tr '\0' x)
"$MDK" put "$WORK/big.dat" k1 "$long" tail >/dev/null
"$MDK" put "$WORK/big.dat" k2 short >/dev/null
expect_eq "long record: dump" "k1,$long,tail k2,short" "$("$MDK" dump "$WORK/big.dat" --format csv | xargs)"
expect_eq "long record: scan" "k1,$long,tail" \
    "$("$MDK" scan "$WORK/big.dat" --where '2 = tail' --format csv)"

# del on an indexed file: the library's refusal.
echo '{"kind": "indexed", "recordSize": 8}' >"$WORK/ind.json"
"$MDK" create "$WORK/n.ind" --layout "$WORK/ind.json" >/dev/null
"$MDK" put "$WORK/n.ind" 0 first >/dev/null
run "$MDK" del "$WORK/n.ind" 0
expect_status "del on an indexed file" 1
expect_contains "del on an indexed file: why" "Bad file type -- Not a KEYED file (code 5)" "$err"
run "$MDK" get "$WORK/n.ind" 1
expect_status "get past the end of an indexed file" 3
expect_contains "get past the end" "no record with key \"1\"" "$err"

# info, in text and as JSON.
run "$MDK" info "$F"
for want in "classic keyed file ([Mdnkey])" "records      1 (no maximum)" "slot mode, 1024-byte blocks" \
    "40 bytes of data, key area of 6 bytes" "#2   8 bytes, unique" "8 bytes of field 1 from offset 0, upper"; do
    expect_contains "info: $want" "$want" "$out"
done
run "$MDK" info "$F" --json
for want in '"formatCode": 2' '"maxDataLength": 40' '"keyName": "#2"' '"segField": 255' '"storage": "slot"'; do
    expect_contains "info --json: $want" "$want" "$out"
done

finish
